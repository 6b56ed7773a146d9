#!/usr/bin/env bash
# The package test: builds the .deb (scripts/package.sh, lintian included),
# installs it with dpkg, checks what it installed (programs, user, modes,
# conffiles, `brivane check-config` on the installed configuration as the
# service's user, `systemd-analyze verify` on the unit, the logrotate rule)
# and purges it, whatever failed before. Needs root (CI runs it on a
# throwaway machine) and refuses to touch a machine where brivane is already
# installed or /etc/brivane exists.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package test: FAIL: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  fail "needs root (it installs and purges the package); set BRIVANE_SKIP_PACKAGE_TEST=1 to skip it in scripts/test.sh"
fi
if dpkg-query -W -f='${Status}' brivane 2>/dev/null | grep -q 'installed'; then
  fail "brivane is already installed here; not touching it"
fi
[ -e /etc/brivane ] && fail "/etc/brivane exists; not touching it"
[ -e /var/lib/brivane ] && fail "/var/lib/brivane exists; not touching it"

deb=$(scripts/package.sh | tail -n 1)
[ -f "$deb" ] || fail "no package built"

purge() {
  if dpkg-query -W -f='${Status}' brivane 2>/dev/null | grep -q 'installed\|config-files'; then
    dpkg --purge brivane >/dev/null || echo "package test: purge failed" >&2
  fi
}
trap purge EXIT

dpkg -i "$deb" || fail "dpkg -i $deb"

check() {  # description, command...
  local what=$1
  shift
  if ! "$@"; then fail "$what"; fi
  echo "package test: ok: $what"
}

mode_owner() { stat -c '%a %U:%G' "$1"; }

check "programs installed" test -x /usr/bin/brivane -a -x /usr/bin/brivane-smg
check "brivane --version runs" /usr/bin/brivane --version
check "system user brivane" test "$(getent passwd brivane | cut -d: -f3)" -lt 1000
check "configuration not world-readable" test "$(mode_owner /etc/brivane/brivane.ini)" = "640 brivane:brivane"
check "configuration directory writable by the service only" test "$(mode_owner /etc/brivane)" = "750 brivane:brivane"
check "home owned by the service" test "$(mode_owner /var/lib/brivane)" = "750 brivane:brivane"
check "log directory" test -d /var/log/brivane
check "log link in the home" test "$(readlink /var/lib/brivane/brivane.log)" = /var/log/brivane/brivane.log
check "schema files and outcome views" test -f /usr/share/brivane/schema/mysql.sql -a -f /usr/share/brivane/schema/postgresql.sql \
  -a -f /usr/share/brivane/schema/mysql-outcome.sql -a -f /usr/share/brivane/schema/postgresql-outcome.sql
check "configuration is a conffile" grep -qx ' */etc/brivane/brivane.ini [0-9a-f]*' \
  <(dpkg-query -W -f='${Conffiles}\n' brivane)
check "logrotate rule is a conffile" grep -q '/etc/logrotate.d/brivane' \
  <(dpkg-query -W -f='${Conffiles}\n' brivane)
check "check-config on the installed configuration" \
  runuser -u brivane -- /usr/bin/brivane check-config --home /var/lib/brivane --config /etc/brivane/brivane.ini
check "systemd-analyze verify" systemd-analyze verify /lib/systemd/system/brivane.service
if command -v logrotate >/dev/null; then
  check "logrotate reads the rule" logrotate --debug /etc/logrotate.d/brivane
fi

# The service starts as its user from the installed files: on an empty
# database setting it stays up with its pages, and stops on SIGTERM.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
conf=$(mktemp -d)
printf '[Parameters]\nHTTPPort=%s\nMTAndMOConnections=0\nMTConnections=1\nSMGAddress=127.0.0.1\nMTPort=1\nDBType=sqlite\n' "$port" >"$conf/brivane.ini"
chown -R brivane:brivane "$conf"
BRIVANE_STATUS_BLOCK=/brivane-package-test runuser -u brivane -- \
  /usr/bin/brivane run --home /var/lib/brivane --config "$conf/brivane.ini" >"$conf/out" 2>&1 &
pid=$!
up=0
for _ in $(seq 1 100); do
  if curl -ksf "https://127.0.0.1:$port/welcome.html" >/dev/null; then up=1; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" || true
rm -f /dev/shm/brivane-package-test
[ "$up" -eq 1 ] || { cat "$conf/out" >&2; rm -rf "$conf"; fail "the installed service did not answer on its port"; }
echo "package test: ok: the installed service ran as brivane and answered"
check "log written through the link" test -s /var/log/brivane/brivane.log
rm -rf "$conf"

trap - EXIT
dpkg --purge brivane >/dev/null || fail "dpkg --purge"
check "purge removed the programs" test ! -e /usr/bin/brivane
check "purge removed configuration, state and log" test ! -e /etc/brivane -a ! -e /var/lib/brivane -a ! -e /var/log/brivane
echo "package test: PASS"
