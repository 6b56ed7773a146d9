#!/usr/bin/env bash
# The test command: installs what is missing, checks the formatting, builds
# the release tree (warnings are errors), a sanitizer tree and a clang
# ThreadSanitizer tree (which also checks the lock annotations, again with
# warnings as errors), runs every test of the release tree, the unit and fuzz
# replay tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# unit tests and the link and MT-poller integration tests under
# ThreadSanitizer.
# Extra arguments go to the ctest runs (for example: -R Codec). Without
# them it also runs the package test (scripts/package_test.sh: build the .deb,
# install it, check it, purge it), which needs root as on CI; set
# BRIVANE_SKIP_PACKAGE_TEST=1 to leave it out elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${BRIVANE_JOBS:-$(nproc)}

# The formatting rules are those of one clang-format release: another
# release formats some constructs differently, so it is not accepted.
echo "== format check"
if ! clang-format --version | grep -q 'version 14\.'; then
  echo "format check: clang-format 14 is required, found: $(clang-format --version)" >&2
  exit 1
fi
find src tests bench tools \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z |
  xargs -0 clang-format --dry-run -Werror

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRIVANE_WERROR=ON -DBRIVANE_BENCH=ON >/dev/null
cmake --build build -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBRIVANE_SANITIZE=ON -DBRIVANE_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

# clang, so -Wthread-safety checks the lock annotations in the same build.
# A tree configured earlier with another compiler is started afresh: CMake
# would otherwise drop the options below when it resets the compiler.
if [ -f build-tsan/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' build-tsan/CMakeCache.txt; then
  rm -rf build-tsan
fi
cmake -S . -B build-tsan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIVANE_TSAN=ON -DBRIVANE_WERROR=ON -DBRIVANE_BENCH=OFF >/dev/null
# Only what runs under it below (every src library is among their
# dependencies, so the analysis sees all of src); unit_tests is every unit
# test program.
cmake --build build-tsan -j"$jobs" --target unit_tests integration_links \
  integration_mt_poller brivane-smg

status=0
echo "== release build: all tests"
(cd build && ctest --output-on-failure -j"$jobs" "$@") || status=1
echo "== sanitizer build: unit and fuzz replay tests"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs" -L 'unit|fuzz' "$@") || status=1
echo "== ThreadSanitizer build: unit tests, link and MT-poller integration tests"
tsan_options="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
(cd build-tsan && TSAN_OPTIONS="$tsan_options" \
  ctest --output-on-failure -j"$jobs" -L unit "$@") || status=1
if [ $# -eq 0 ]; then
  for t in tests/integration/links/integration_links tests/integration/mt_poller/integration_mt_poller; do
    (cd build-tsan && TSAN_OPTIONS="$tsan_options" timeout 900 "./$t") || status=1
  done
fi
if [ $# -eq 0 ]; then
  if [ "${BRIVANE_SKIP_PACKAGE_TEST:-0}" = 1 ]; then
    echo "== Debian package test: skipped (BRIVANE_SKIP_PACKAGE_TEST=1)"
  else
    echo "== Debian package test"
    bash scripts/package_test.sh || status=1
  fi
fi
exit $status
