#!/usr/bin/env bash
# Benchmark of finish-update: what a successful run costs beyond its 500 ms pause,
# against the cheapest baselines, on Linux and under Wine; the same with a 1 KiB and
# a 4 GiB sparse file; peak memory; stripped sizes; imported DLLs; instruction count.
# Builds what it needs and prints one Markdown table on standard output (progress
# goes to standard error). Every figure is measured in this run. It is a benchmark,
# not a test: targets are reported, never enforced.
#
#   bench/run.sh                    31 rounds per case, 2-3 minutes
#   BENCH_RUNS=61 bench/run.sh      more rounds, steadier medians
#   BENCH_NO_BUILD=1 bench/run.sh   no setup or build: measures the programs as built
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rounds=${BENCH_RUNS:-31}
out=$root/build/bench
prefix=$root/build/bench-wine-prefix
runs=$out/run
linux_program=$root/build/linux/finish-update
windows_program=$root/build/windows/finish-update.exe
large=$((4 * 1024 * 1024 * 1024))
small=1024
timeout_ms=20000
mkdir -p "$out" "$runs"
wine_started=0
# On the way out: stops our Wine server and removes the 4 GiB sparse files, which
# take no space but would fill a disk if anyone copied the build folder.
finish() {
  if [ $wine_started = 1 ]; then wineserver -k 2>/dev/null || true; fi
  rm -f "$runs"/*-large/*.bin
}
trap finish EXIT

say() { echo "bench: $*" >&2; }
load() { cut -d' ' -f1 /proc/loadavg; }

# --- Build -----------------------------------------------------------------------
if [ "${BENCH_NO_BUILD:-0}" = 1 ]; then
  say "BENCH_NO_BUILD=1: measuring the programs as they are built now"
else
  say "setup and build (log: build/bench/build.log)"
  if ! { scripts/setup.sh && scripts/build.sh; } >"$out/build.log" 2>&1; then
    tail -n 30 "$out/build.log" >&2
    say "build failed"
    exit 1
  fi
fi
for program in "$linux_program" "$windows_program"; do
  [ -f "$program" ] || { say "missing $program"; exit 1; }
done
# Succeeds when target $1 is missing or older than source $2.
stale() { [ ! -x "$1" ] || [ "$2" -nt "$1" ]; }
if stale "$out/bench-timer" bench/bench-timer.cpp; then
  g++ -std=c++17 -O2 -Wall -Wextra bench/bench-timer.cpp -o "$out/bench-timer"
fi
if stale "$out/standin-app" tests/fixtures/standin-app.cpp; then
  g++ -std=c++17 -O2 tests/fixtures/standin-app.cpp -o "$out/standin-app"
fi
if stale "$out/standin-app.exe" tests/fixtures/standin-app.cpp; then
  x86_64-w64-mingw32-g++ -std=c++17 -O2 -static tests/fixtures/standin-app.cpp -o "$out/standin-app.exe"
fi
if stale "$out/start-only.exe" bench/start-only.cpp || stale "$out/start-imports.exe" bench/start-only.cpp; then
  x86_64-w64-mingw32-g++ -O2 -Wall -Wextra -static -s bench/start-only.cpp -o "$out/start-only.exe"
  x86_64-w64-mingw32-g++ -O2 -Wall -Wextra -static -s -DIMPORT_USER32_SHLWAPI bench/start-only.cpp \
    -o "$out/start-imports.exe" -lshlwapi
fi

# --- Machine ---------------------------------------------------------------------
cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
kernel=$(uname -sr)
wine_version=$(WINEDEBUG=-all wine --version 2>/dev/null)
filesystem=$(findmnt -n -o FSTYPE -T "$runs")
load_start=$(load)

# --- Linux: overhead against a shell, and against file size ------------------------
mkdir -p "$runs/linux-small" "$runs/linux-large"
say "Linux: $rounds rounds of sh baseline / finish-update 1 KiB / finish-update 4 GiB sparse"
linux_figures=$(BENCH_SAMPLES=$out/samples-linux.txt "$out/bench-timer" "$rounds" 1 $timeout_ms \
  sh-baseline "$runs/linux-small" replace $small /bin/sh -c 'mv -f new.bin old.bin || exit 1; "$0" &' "$out/standin-app" \; \
  linux-small "$runs/linux-small" replace $small "$linux_program" new.bin old.bin "$out/standin-app" \; \
  linux-large "$runs/linux-large" replace $large "$linux_program" new.bin old.bin "$out/standin-app" \;)

# --- Linux: peak memory of the program's own image (VmHWM at exit) -----------------
say "Linux: peak memory, 3 runs with each file size"
peak_kib=0
for attempt in 1 2 3; do
  for folder_size in "linux-small $small" "linux-large $large"; do
    read -r folder size <<<"$folder_size"
    kib=$("$out/bench-timer" peak $timeout_ms "$runs/$folder" "$size" "$linux_program" new.bin old.bin "$out/standin-app")
    kib=${kib#peak_kib=}
    if [ "$kib" -gt "$peak_kib" ]; then peak_kib=$kib; fi
  done
done

# --- Linux: instruction count of one run with each file size -----------------------
# Runs the Linux program once under callgrind in folder $1 (names of one length, so
# that only the file size differs) on files of $2 bytes; prints the instructions of
# the whole process, then those of main (inclusive).
count_instructions() {
  local folder=$runs/$1
  mkdir -p "$folder"
  rm -f "$folder"/*
  printf N >"$folder/new.bin" && truncate -s "$2" "$folder/new.bin"
  printf O >"$folder/old.bin" && truncate -s "$2" "$folder/old.bin"
  (cd "$folder" && exec valgrind --tool=callgrind --callgrind-out-file="$folder/callgrind.out.%p" \
    "$linux_program" new.bin old.bin "$out/standin-app" >"$folder/valgrind.log" 2>&1) &
  local pid=$!
  if ! wait $pid || [ -e "$folder/new.bin" ]; then
    cat "$folder/valgrind.log" >&2
    say "the run under callgrind failed"
    return 1
  fi
  local file=$folder/callgrind.out.$pid
  sed -n 's/^summary: //p' "$file"
  callgrind_annotate --inclusive=yes "$file" | awk -v program="[$linux_program]" \
    '$NF == program && $0 ~ /:main / && !found { gsub(",", "", $1); print $1; found = 1 }'
}
say "Linux: one run under callgrind with each file size"
read -r -d '' instructions_small main_small < <(count_instructions callgrind-small $small) || true
read -r -d '' instructions_large main_large < <(count_instructions callgrind-large $large) || true
if [ -z "$main_small" ] || [ -z "$main_large" ]; then
  say "no instruction counts from callgrind"
  exit 1
fi

# --- Windows under a warm Wine -----------------------------------------------------
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One display setting for the server's whole life: none.
unset DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  say "creating the Wine prefix build/bench-wine-prefix (about 20 s, once)"
  wineboot -i >"$out/wineboot.log" 2>&1 && wineserver -w
fi
wineserver -k 2>/dev/null || true
wineserver -p
wine_started=1
windows_standin='Z:'$(printf '%s' "$out/standin-app.exe" | tr / '\\')
mkdir -p "$runs/windows-small" "$runs/windows-large"
# The first program in a prefix starts Wine's own services; that happens here, not
# in a measured run.
(cd "$runs/windows-small" && wine "$out/start-only.exe" "$windows_standin" >/dev/null 2>&1)
say "Windows: $rounds rounds of start-only.exe / start-imports.exe / finish-update.exe 1 KiB / 4 GiB sparse"
windows_figures=$(BENCH_SAMPLES=$out/samples-windows.txt "$out/bench-timer" "$rounds" 1 $timeout_ms \
  windows-baseline "$runs/windows-small" start 1 wine "$out/start-only.exe" "$windows_standin" \; \
  windows-imports "$runs/windows-small" start 1 wine "$out/start-imports.exe" "$windows_standin" \; \
  windows-small "$runs/windows-small" replace $small wine "$windows_program" new.bin old.bin "$windows_standin" \; \
  windows-large "$runs/windows-large" replace $large wine "$windows_program" new.bin old.bin "$windows_standin" \;)
load_end=$(load)

# --- Sizes and imports ---------------------------------------------------------------
strip -o "$out/finish-update.stripped" "$linux_program"
x86_64-w64-mingw32-strip -o "$out/finish-update.stripped.exe" "$windows_program"
linux_size=$(stat -c %s "$out/finish-update.stripped")
windows_size=$(stat -c %s "$out/finish-update.stripped.exe")
dlls=$(x86_64-w64-mingw32-objdump -p "$windows_program" | awk '/DLL Name:/ { print $3 }')
foreign=""
for dll in $dlls; do
  # A system DLL is one Windows itself provides, as Wine provides it in system32.
  find "$prefix/drive_c/windows/system32" -maxdepth 1 -iname "$dll" | grep -q . || foreign="$foreign $dll"
done

# --- Table -------------------------------------------------------------------------
figures="$linux_figures
$windows_figures"
for name in sh-baseline linux-small linux-large windows-baseline windows-imports windows-small windows-large; do
  if ! printf '%s\n' "$figures" | grep -q "^$name runs=$rounds failed=0 "; then
    say "case $name had failed runs; see the messages above"
    exit 1
  fi
done
# Prints the value of key $2 in the figures line of case $1.
value() {
  printf '%s\n' "$figures" | awk -v name="$1" -v key="$2" \
    '$1 == name { for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) print kv[2] } }'
}
# Prints awk expression $1 formatted by printf format $2.
calc() { awk "BEGIN { printf \"$2\", $1 }"; }
# Prints the whole number $1 with its digits in groups of three.
group() { echo "$1" | sed -e ':a' -e 's/\B[0-9]\{3\}\>/,&/' -e 'ta'; }
# Prints "yes" or "no" for awk condition $1.
met() { calc "($1) ? \"yes\" : \"no\"" '%s'; }
# Prints "median ms (IQR q1–q3)" of case $1 less $2 ms.
ms() {
  calc "$(value "$1" median_us) / 1000 - $2, $(value "$1" q1_us) / 1000 - $2, $(value "$1" q3_us) / 1000 - $2" \
    '%.2f ms (IQR %.2f–%.2f)'
}
# Prints the median over rounds of (case $3 - case $2) in samples file $1, in ms with
# a sign: the two runs of one round ran close together, under much the same load.
paired_difference() {
  awk -v a="$2" -v b="$3" '$2 == a { x[$1] = $3 } $2 == b { y[$1] = $3 }
    END { for (r in x) if (r in y) print (y[r] - x[r]) / 1000 }' "$1" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%+.2f ms", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# Prints the awk expression for the median overhead beyond the pause of case $1, in ms.
over() { echo "($(value "$1" median_us) / 1000 - 500)"; }
# Prints the awk expression for the median wall time of case $1, in ms.
wall() { echo "($(value "$1" median_us) / 1000)"; }

linux_ratio=$(calc "$(over linux-small) / $(wall sh-baseline)" '%.2f')
windows_ratio=$(calc "$(over windows-small) / $(wall windows-baseline)" '%.2f')
imports_ratio=$(calc "$(over windows-small) / $(wall windows-imports)" '%.2f')
linux_size_ratio=$(calc "$(over linux-large) / $(over linux-small)" '%.3f')
windows_size_ratio=$(calc "$(over windows-large) / $(over windows-small)" '%.3f')
instructions_ratio=$(calc "$instructions_large / $instructions_small" '%.4f')
rusage_kib=$(value linux-small rss_max_kib)
if [ "$(value linux-large rss_max_kib)" -gt "$rusage_kib" ]; then rusage_kib=$(value linux-large rss_max_kib); fi
in_range() { echo "$1 >= 0.95 && $1 <= 1.05"; }

cat <<EOF
| Figure | Measured | Target | Met |
|---|---|---|---|
| Machine | $cpu, $cores cores, $kernel, $wine_version, $filesystem | | |
| Method | $rounds alternating rounds per case after 1 warm-up round; medians (interquartile range); load average $load_start at start, $load_end at end | | |
| Linux: finish-update, overhead beyond the 500 ms pause | $(ms linux-small 500) | | |
| Linux: baseline, sh renames the file with mv and starts the stand-in | $(ms sh-baseline 0) | | |
| Linux: overhead ratio to the baseline | $linux_ratio | ≤ 1.2 | $(met "$linux_ratio <= 1.2") |
| Windows (warm Wine): finish-update.exe, overhead beyond the pause | $(ms windows-small 500) | | |
| Windows (warm Wine): baseline, start-only.exe starts the stand-in | $(ms windows-baseline 0) | | |
| Windows: overhead ratio to the baseline | $windows_ratio | ≤ 1.2 | $(met "$windows_ratio <= 1.2") |
| Windows, for comparison: start-only.exe built to import USER32 and SHLWAPI too | $(ms windows-imports 0); finish-update.exe's overhead is $imports_ratio times this | | |
| Linux: overhead, 4 GiB sparse file / 1 KiB file | $(calc "$(over linux-large)" '%.2f') ms / $(calc "$(over linux-small)" '%.2f') ms = $linux_size_ratio; median per-round difference $(paired_difference "$out/samples-linux.txt" linux-small linux-large) | 1 ± 0.05 | $(met "$(in_range "$linux_size_ratio")") |
| Linux: instructions, 4 GiB sparse file / 1 KiB file (callgrind) | $(group "$instructions_large") / $(group "$instructions_small") = $instructions_ratio | 1 ± 0.05 | $(met "$(in_range "$instructions_ratio")") |
| Windows: overhead, 4 GiB sparse file / 1 KiB file | $(calc "$(over windows-large)" '%.2f') ms / $(calc "$(over windows-small)" '%.2f') ms = $windows_size_ratio; median per-round difference $(paired_difference "$out/samples-windows.txt" windows-small windows-large) | 1 ± 0.05 | $(met "$(in_range "$windows_size_ratio")") |
| Linux: peak RSS of finish-update | $(calc "$peak_kib / 1024" '%.2f') MiB (VmHWM at exit, largest of 6 runs); getrusage, largest of the timed runs: $(calc "$rusage_kib / 1024" '%.2f') MiB | ≤ 2 MiB | $(met "$peak_kib <= 2048 && $rusage_kib <= 2048") |
| Linux: finish-update, stripped | $linux_size bytes ($(calc "$linux_size / 1024" '%.1f') KiB) | | |
| Windows: finish-update.exe, stripped | $windows_size bytes ($(calc "$windows_size / 1024" '%.1f') KiB) | ≤ 64 KiB | $(met "$windows_size <= 65536") |
| Windows: imported DLLs | $(echo $dlls | sed 's/ /, /g') | system DLLs only | $([ -z "$foreign" ] && echo yes || echo "no:$foreign") |
| Linux: instructions of one successful run, 1 KiB file (callgrind) | $(group "$instructions_small") in all, process start included; $(group "$main_small") in main | | |
EOF
