#!/usr/bin/env bash
# Runs clang-tidy (bugprone and performance checks, see .clang-tidy) over the
# driver's sources, using the compile commands of a debug build.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/tidy
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVD_BUILD_TESTS=OFF \
  -DVD_BUILD_BENCHMARKS=OFF > /dev/null
cmake --build "$dir" --target vd_service > /dev/null  # generates the version header
git ls-files 'src/*.cc' | xargs -n 1 clang-tidy -p "$dir" --quiet \
  --extra-arg=-Wno-unknown-warning-option
