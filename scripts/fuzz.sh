#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang, AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each one over its seed corpus.
#   scripts/fuzz.sh            a bounded smoke run (what the test command does)
#   scripts/fuzz.sh 600        each target for 600 seconds
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
dir=${VD_FUZZ_BUILD_DIR:-build/fuzz}
jobs=$(nproc 2>/dev/null || echo 2)

CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVD_SANITIZE=address,undefined -DVD_WERROR=ON -DVD_BUILD_TESTS=OFF \
  -DVD_BUILD_BENCHMARKS=OFF -DVD_BUILD_FUZZERS=ON
cmake --build "$dir" -j "$jobs"

for source in fuzz/*_fuzz.cc; do
  name=$(basename "$source" .cc)
  corpus=fuzz/corpus/${name%_fuzz}
  work=$(mktemp -d)
  cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  if [ -n "$seconds" ]; then
    limit=(-max_total_time="$seconds")
  else
    limit=(-runs=20000 -seed=1)  # the same inputs on every run
  fi
  echo "fuzz: $name"
  "$dir/$name" "${limit[@]}" -max_len=4096 -timeout=10 -print_final_stats=0 "$work" 2>&1 | tail -n 1
  rm -rf "$work"
done
