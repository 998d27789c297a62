#!/usr/bin/env bash
# Sets everything up and runs the whole test suite:
#   1. installs the missing Debian packages (scripts/setup.sh),
#   2. builds the driver, its tests and benchmarks with AddressSanitizer and
#      UndefinedBehaviorSanitizer, warnings as errors, and runs every test
#      (the end-to-end tests of tests/e2e start the built VolterDirectDrv),
#   3. builds the fuzz targets with Clang and gives each a short bounded run,
#   4. builds the tests again with ThreadSanitizer and runs them,
#   5. cross-builds the Windows target (MinGW-w64) and runs every unit suite
#      under Wine in a throwaway WINEPREFIX in a new temporary directory; the
#      configure step prints what the Windows build leaves out and why.
# Set VD_SKIP_FUZZ=1, VD_SKIP_TSAN=1 or VD_SKIP_WINDOWS=1 to leave step 3, 4 or
# 5 out.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1 sanitizer=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVD_SANITIZE="$sanitizer" -DVD_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite build/asan address,undefined
if [ "${VD_SKIP_FUZZ:-0}" != "1" ]; then
  ./scripts/fuzz.sh
fi
if [ "${VD_SKIP_TSAN:-0}" != "1" ]; then
  run_suite build/tsan thread -DVD_BUILD_BENCHMARKS=OFF
fi
if [ "${VD_SKIP_WINDOWS:-0}" != "1" ]; then
  ./scripts/test-windows.sh
fi
