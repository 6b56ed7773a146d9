#!/usr/bin/env bash
# Prints the path of the SQLite ODBC driver (libsqliteodbc), or fails with a
# line on stderr. Used by scripts/demo.sh and bench/soak.sh.
set -euo pipefail
for d in /usr/lib/x86_64-linux-gnu/odbc /usr/lib/aarch64-linux-gnu/odbc /usr/lib/odbc /usr/lib64; do
  if [ -f "$d/libsqlite3odbc.so" ]; then
    echo "$d/libsqlite3odbc.so"
    exit 0
  fi
done
echo "the SQLite ODBC driver (libsqliteodbc) is missing" >&2
exit 1
