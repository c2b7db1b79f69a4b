#!/usr/bin/env bash
# Installs what building and testing finish-update needs on Debian 12 ("all", the
# default), or only what the Linux program needs ("linux"). Runs apt-get only as root
# and only when something is missing, so it is safe to run again.
set -euo pipefail

PACKAGES="cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev valgrind
  g++-mingw-w64-x86-64-win32 wine wine64 xvfb xauth xdotool x11-utils fonts-wqy-microhei imagemagick
  hyperfine locales procps python3 googletest"

if [ "${1:-all}" = linux ]; then
  PACKAGES="cmake g++ make libgtest-dev libgmock-dev"
fi

missing=""
for package in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing Debian packages:$missing (run as root, or install them)" >&2
    exit 1
  fi
  echo "setup: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing
fi
