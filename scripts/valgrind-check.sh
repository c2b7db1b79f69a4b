#!/usr/bin/env bash
# Runs the Linux program under valgrind twice, each in a scratch folder of its own: a
# run that finishes an update and starts the stand-in application, and a run that
# finds nothing to update and fails all four attempts. Any memory error or leak fails
# the check, and so does an exit status other than the one the run should give.
#   scripts/valgrind-check.sh [build folder, default build/linux]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/linux}")
program=$build/finish-update
standin=$build/tests/standin-app
scratch=$(mktemp -d "${TMPDIR:-/tmp}/finish-update-valgrind.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Runs the program under valgrind in folder $2 and checks its exit status is $1.
run_checked() {
  local expected=$1 folder=$2 status=0
  # No display: the boxes go to standard error instead of waiting for a click.
  (cd "$folder" && env -u DISPLAY -u WAYLAND_DISPLAY valgrind -q --error-exitcode=99 \
    --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --child-silent-after-fork=yes \
    "$program") >"$folder/valgrind.log" 2>&1 || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "valgrind-check: exit status $status in $(basename "$folder"), expected $expected" >&2
    cat "$folder/valgrind.log" >&2
    exit 1
  fi
}

# A run that updates: the new copy and the old file in resources/, the stand-in as
# the application.
updating=$scratch/updating
mkdir -p "$updating/resources"
printf 'new copy' >"$updating/resources/app1.txt"
printf 'old file' >"$updating/resources/app.asar"
cp "$standin" "$updating/quillbrook.exe"
run_checked 0 "$updating"
[ "$(cat "$updating/resources/app.asar")" = "new copy" ] || { echo "valgrind-check: not updated" >&2; exit 1; }
for _ in $(seq 50); do
  [ -e "$updating/standin-started.txt" ] && break
  sleep 0.1
done
[ -e "$updating/standin-started.txt" ] || { echo "valgrind-check: the application did not start" >&2; exit 1; }

# A run that fails: neither file, so every attempt fails and the boxes are shown.
failing=$scratch/failing
mkdir -p "$failing"
run_checked 1 "$failing"
grep -q "retryCount: 3" "$failing/autoUpdate_log.txt" || { echo "valgrind-check: not four attempts" >&2; exit 1; }
echo "valgrind-check: an updating run (status 0) and a failing run (status 1), no errors or leaks"
