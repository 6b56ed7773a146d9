#!/usr/bin/env bash
# The test command: installs what is missing, builds the release tree and a
# sanitizer tree, runs every test of the release tree and the unit and fuzz
# replay tests under AddressSanitizer and UndefinedBehaviorSanitizer.
# Extra arguments go to both ctest runs (for example: -R Codec).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${BRIVANE_JOBS:-$(nproc)}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBRIVANE_SANITIZE=ON -DBRIVANE_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

status=0
echo "== release build: all tests"
(cd build && ctest --output-on-failure -j"$jobs" "$@") || status=1
echo "== sanitizer build: unit and fuzz replay tests"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs" -L 'unit|fuzz' "$@") || status=1
exit $status
