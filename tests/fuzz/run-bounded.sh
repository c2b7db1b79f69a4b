#!/usr/bin/env bash
# Runs the fuzz target for a bounded time on a scratch copy of the seed corpus, so
# that the repository is not written, and prints the figures. On a finding, prints
# the input that caused it (the input is text: see fuzz-run.cpp).
#   run-bounded.sh <fuzz target> <seed corpus folder> <dictionary> <seconds>
set -euo pipefail
target=$(realpath "$1") corpus=$(realpath "$2") dictionary=$(realpath "$3") seconds=$4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/finish-update-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp -r "$corpus" "$scratch/corpus"
mkdir "$scratch/findings"
cd "$scratch"   # the program writes its run log into the current directory
status=0
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -dict="$dictionary" -artifact_prefix="$scratch/findings/" corpus >"$scratch/fuzz.log" 2>&1 || status=$?
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|INFO: seed corpus|cov: .*corp:' "$scratch/fuzz.log" | tail -n 6 || true
if [ "$status" -ne 0 ]; then
  tail -n 60 "$scratch/fuzz.log"
  for finding in "$scratch"/findings/*; do
    [ -e "$finding" ] || continue
    echo "finding $(basename "$finding"), as C string:"
    od -An -c -v "$finding"
  done
  exit "$status"
fi
