#!/usr/bin/env bash
# Takes the screenshots of the usage box and of an error box again and puts them into
# docs/ (docs/usage-box.png, docs/error-box.png), for the README. Runs the box tests
# under Xvfb from the Linux build tree (build/linux), which must be configured, with
# the Windows programs built (scripts/build.sh does both). No input needed.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/linux
ctest --test-dir "$build" -L wine -R '^wine\.box\.' --output-on-failure
mkdir -p docs
for name in usage-box error-box; do
  cp "$build/tests/wine/screenshots/$name.png" "docs/$name.png"
  echo "docs/$name.png"
done
