#!/usr/bin/env bash
# The test command: installs what is missing, builds the release tree and a
# sanitizer tree, runs every test of the release tree and the unit and fuzz
# replay tests under AddressSanitizer and UndefinedBehaviorSanitizer.
# Extra arguments go to both ctest runs (for example: -R Codec). Without
# them it also runs the package test (scripts/package_test.sh: build the .deb,
# install it, check it, purge it), which needs root as on CI; set
# BRIVANE_SKIP_PACKAGE_TEST=1 to leave it out elsewhere.
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
if [ $# -eq 0 ]; then
  if [ "${BRIVANE_SKIP_PACKAGE_TEST:-0}" = 1 ]; then
    echo "== Debian package test: skipped (BRIVANE_SKIP_PACKAGE_TEST=1)"
  else
    echo "== Debian package test"
    bash scripts/package_test.sh || status=1
  fi
fi
exit $status
