#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --preset linux -j "$(nproc 2>/dev/null || echo 2)"
# The Linux program under valgrind; everything but the Wine tests again with the
# sanitizers; the fuzz target for a bounded time (about a minute).
scripts/valgrind-check.sh build/linux
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan -j "$(nproc 2>/dev/null || echo 2)"
ctest --preset linux-asan -j "$(nproc 2>/dev/null || echo 2)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"
ctest --preset fuzz
