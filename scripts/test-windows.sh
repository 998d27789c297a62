#!/usr/bin/env bash
# The Windows part of the test suite: cross-builds the driver, kernel-sim and
# every unit suite with MinGW-w64 (warnings as errors) into build/windows and
# runs the suites under Wine. Wine gets a WINEPREFIX of its own in a new
# temporary directory, which goes again at the end together with its
# wineserver; the user's own prefix is never touched. Prints how long the
# build and the run took.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
wine_bin=/usr/lib/wine
start=$SECONDS

cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Debug -DVD_WERROR=ON
cmake --build build/windows -j "$jobs"
built=$SECONDS

wine_home=$(mktemp -d "${TMPDIR:-/tmp}/vd-wine.XXXXXX")
export WINEPREFIX="$wine_home/prefix"
export WINEDEBUG=-all
# No Mono or Gecko: the suites need neither, and they would be downloaded.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wine_bin/wineserver" -k 2>/dev/null || true
  rm -rf "$wine_home"
}
trap cleanup EXIT

"$wine_bin/wine64" wineboot --init >/dev/null 2>&1
# A new prefix can come out of wineboot with two service control managers
# (services.exe), each with its own services: the suites' service tests would
# install into one and look into the other. Once the prefix's wineserver has
# ended, the next start has one.
"$wine_bin/wineserver" -w
(cd build/windows && ctest --output-on-failure -j "$jobs")
echo "windows: build $((built - start)) s, prefix and unit suites under Wine $((SECONDS - built)) s"
