#!/usr/bin/env bash
# A long fuzzing run of one target (not part of the tests): builds the
# libFuzzer binaries with clang in build-fuzz/, runs the target on a copy of
# its committed corpus for RUNS executions (ten million by default), and
# merges what it found into tests/fuzz/<target>/corpus (only inputs that add
# coverage are kept). A finding stops the run; the crashing input is left in
# build-fuzz/findings/<target>/.
#
#   scripts/fuzz.sh TARGET [RUNS]      TARGET: decoder receive long_sms ini form
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh TARGET [RUNS]}
runs=${2:-10000000}
corpus="tests/fuzz/$target/corpus"
[ -d "$corpus" ] || { echo "fuzz: no target $target" >&2; exit 2; }

bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DBRIVANE_FUZZ=ON \
  -DBRIVANE_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$target"

work="build-fuzz/work/$target"
findings="build-fuzz/findings/$target"
rm -rf "$work"
mkdir -p "$work" "$findings"
cp "$corpus"/* "$work"/

extra=()
# The receive target's input is a whole stream of PDUs.
[ "$target" = receive ] && extra+=(-max_len=16386)

"build-fuzz/tests/fuzz/$target/fuzz_$target" -runs="$runs" -print_final_stats=1 \
  -artifact_prefix="$findings/" ${extra[@]+"${extra[@]}"} "$work"
"build-fuzz/tests/fuzz/$target/fuzz_$target" -merge=1 ${extra[@]+"${extra[@]}"} "$corpus" "$work"
echo "fuzz: $target clean after $runs executions; corpus: $(ls "$corpus" | wc -l) files"
