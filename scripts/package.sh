#!/usr/bin/env bash
# Builds the Debian package in its own release tree (build-deb/, no tests,
# no benchmarks) and checks it with lintian. Prints the package's path as
# the last line of its output.
#   scripts/package.sh [--build-dir DIR] [--no-lintian]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-deb
lint=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --no-lintian) lint=0; shift ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

jobs=${BRIVANE_JOBS:-$(nproc)}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBRIVANE_TESTS=OFF -DBRIVANE_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j"$jobs"
rm -rf "$build_dir/package"
(cd "$build_dir" && cpack -G DEB >/dev/null)

deb=$(find "$build_dir/package" -maxdepth 1 -name 'brivane_*.deb' | head -n 1)
if [ -z "$deb" ]; then
  echo "package.sh: cpack made no .deb in $build_dir/package" >&2
  exit 1
fi
if [ "$lint" -eq 1 ]; then
  # Errors fail the build; warnings are shown.
  lintian --fail-on error --tag-display-limit 0 "$deb" >&2
fi
echo "$deb"
