#!/usr/bin/env bash
# Soak benchmark: brivane with the bundled SMG simulator on a SQLite file,
# steady MT and MO traffic for a set time (ten minutes by default), sampled
# every ten seconds into a CSV (resident memory, threads, open descriptors,
# status-block counters, database counts) and drawn as a PNG. At the end the
# counters' totals are compared with the database.
#
#   bench/soak.sh [--minutes N] [--mt-rate R] [--mo-rate R] [--out DIR]
#
# Writes DIR/soak.csv and DIR/soak.png (DIR defaults to build/soak). Exits
# non-zero when a counter's total does not match the database.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

out="$root/build/soak"
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$2"; shift ;;
    --minutes|--mt-rate|--mo-rate|--sample) args+=("$1" "$2"); shift ;;
    *) echo "usage: bench/soak.sh [--minutes N] [--mt-rate R] [--mo-rate R] [--sample S] [--out DIR]" >&2
       exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target brivane brivane-smg

driver=$(bash scripts/sqlite_odbc_driver.sh)

mkdir -p "$out"
status=0
python3 bench/soak/soak.py --build "$root/build" --home "$out/home" \
  --schema "$root/schema/sqlite.sql" --driver "$driver" --csv "$out/soak.csv" \
  ${args[@]+"${args[@]}"} || status=$?
if [ -s "$out/soak.csv" ]; then
  gnuplot -e "csv='$out/soak.csv'; png='$out/soak.png'" bench/soak/plot.gp
  echo "Plot: $out/soak.png"
fi
exit $status
