#!/usr/bin/env bash
# Builds the Linux program and runs it on a copy of the example application folder,
# then shows what happened: the run log, the replaced file and the started application.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc 2>/dev/null || echo 2)" --target finish-update standin-app >/dev/null

folder=build/example
rm -rf "$folder"
mkdir -p "$folder"
cp -R example/app/. "$folder"/
cp build/linux/tests/standin-app "$folder"/quillbrook.exe

echo "== Before: $folder"
ls -l "$folder" "$folder"/resources | sed 's/^/   /'
echo "   resources/app.asar: $(cat "$folder"/resources/app.asar)"

echo "== Running finish-update in $folder (no arguments: the fixed names)"
status=0
(cd "$folder" && ../linux/finish-update) || status=$?
echo "   exit status: $status"

# The application is started, not waited for: give it a moment to write its record.
for _ in $(seq 50); do [ -f "$folder"/standin-started.txt ] && break; sleep 0.1; done

echo "== Run log ($folder/autoUpdate_log.txt)"
sed 's/^/   /' "$folder"/autoUpdate_log.txt
echo "== After"
ls -l "$folder"/resources | sed 's/^/   /'
echo "   resources/app.asar: $(cat "$folder"/resources/app.asar)"
echo "== The started application's record ($folder/standin-started.txt)"
if [ -f "$folder"/standin-started.txt ]; then
  sed 's/^/   /' "$folder"/standin-started.txt
else
  echo "   (the application did not start)"
fi
exit "$status"
