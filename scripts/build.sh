#!/usr/bin/env bash
# Builds both programs: build/linux/finish-update and build/windows/finish-update.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
