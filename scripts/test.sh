#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: all suites on the
# Linux build (the Wine stage included), the Linux program under valgrind, everything
# but the Wine tests again with the sanitizers, and the fuzz target for about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

# Runs ctest with the given preset and keeps its closing line for the summary.
run_ctest() {
  ctest --preset "$1" -j "$jobs" | tee -a "$summary"
}

scripts/setup.sh
scripts/build.sh
run_ctest linux
scripts/valgrind-check.sh build/linux
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan -j "$jobs"
run_ctest linux-asan
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
run_ctest fuzz

# One line for all the suites: "tests passed, N tests failed out of T" from each run.
sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$summary" |
  awk '{ failed += $1; total += $2 } END { printf "suites: %d passed, %d failed\n", total - failed, failed }'
