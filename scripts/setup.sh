#!/usr/bin/env bash
# Installs every Debian package the build, the run and the tests need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake pkg-config make libssl-dev libcpp-httplib-dev libspdlog-dev libfmt-dev
  libinih-dev libcli11-dev libcurl4-openssl-dev unixodbc-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format
  # the Debian package (scripts/package.sh)
  dpkg-dev lintian
  # run
  unixodbc libsqliteodbc odbc-mariadb odbc-postgresql sqlite3 openssl curl
  # fuzzing
  clang libclang-rt-14-dev
  # tests
  mariadb-server postgresql chromium fonts-wqy-microhei python3 procps iproute2 logrotate
  # benchmarks (the soak run's plot)
  gnuplot-nox
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

# The MariaDB and PostgreSQL packages start system servers; the tests start
# their own on private ports and sockets, so the packaged ones are not needed.
for service in mariadb postgresql; do
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$service" 2>/dev/null; then
    $SUDO systemctl stop "$service" || true
  fi
done
