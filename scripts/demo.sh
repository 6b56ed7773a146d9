#!/usr/bin/env bash
# The main job on the embedded default: a SQLite database, the bundled SMG
# simulator and brivane, with sample messages flowing both ways.
#
#   scripts/demo.sh [--keep] [--home DIR]
#
# Installs what is missing, builds, creates the database from
# schema/sqlite.sql in the demo home, writes odbc.ini and brivane.ini there,
# starts brivane-smg and brivane, inserts MT rows (ASCII, Chinese, a
# 400-character text, a WAP Push), has the simulator answer with status
# reports and send an MO message, and prints what arrived in SubmitLog,
# StatusReport and Deliver. --keep leaves both processes running.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

keep=0
home="$root/demo-home"
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=1 ;;
    --home) home="$2"; shift ;;
    *) echo "usage: scripts/demo.sh [--keep] [--home DIR]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target brivane brivane-smg

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
driver=$(bash scripts/sqlite_odbc_driver.sh)

mkdir -p "$home"
db="$home/brivane.db"
rm -f "$db" "$db-wal" "$db-shm"
sqlite3 "$db" < schema/sqlite.sql >/dev/null

smg_port=$(free_port)
ctl_port=$(free_port)
http_port=$(free_port)

cat > "$home/odbc.ini" <<INI
[brivane_demo]
Driver = $driver
Database = $db
Timeout = 10000
SyncPragma = NORMAL
INI

cat > "$home/brivane.ini" <<INI
[Parameters]
LogLevel = 3
HTTPPort = $http_port
DataSource = brivane_demo
DBType = sqlite
MTSpeedLimit = 20
SMGAddress = 127.0.0.1
SMGVersion = 48
SPCorpID = 901234
SPID = 10661234
SPLoginName = 900001
SPPassword = 888888
MTAndMOPort = $smg_port
MTAndMOConnections = 2
WorkThreads = 16
INI

export ODBCINI="$home/odbc.ini"
export BRIVANE_STATUS_BLOCK="brivane-demo-$$"

build/brivane-smg --port "$smg_port" --control-port "$ctl_port" --version 48 \
  --login 900001 --secret 888888 --report-delay-ms 300 --log "$home/smg.log" \
  > "$home/smg.out" 2>&1 &
smg_pid=$!
build/brivane run --home "$home" > "$home/brivane.out" 2>&1 &
brivane_pid=$!

stop_all() {
  if [ "$keep" = 0 ]; then
    kill "$brivane_pid" 2>/dev/null || true
    kill "$smg_pid" 2>/dev/null || true
    wait "$brivane_pid" 2>/dev/null || true
    wait "$smg_pid" 2>/dev/null || true
  fi
}
trap stop_all EXIT

smg_cmd() {
  python3 - "$ctl_port" "$1" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
s.sendall((sys.argv[2] + "\n").encode())
data = b""
while True:
    chunk = s.recv(65536)
    if not chunk:
        break
    data += chunk
    if data.endswith(b"\n") and not data.startswith(b"OK n="):
        break
print(data.decode(errors="replace").strip())
PY
}

wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
  local limit=$1 what=$2; shift 2
  for _ in $(seq 1 $((limit * 10))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "demo: timed out waiting for $what" >&2
  tail -20 "$home/brivane.log" >&2 || true
  return 1
}

wait_for 30 "the simulator" grep -q READY "$home/smg.out"
logged_in() { smg_cmd stats | grep -q 'logins=[1-9]'; }
wait_for 60 "brivane to log in" logged_in

# brivane writes the same file meanwhile: wait for its lock instead of
# failing at once, as the sqlite3 tool does by default.
sql() { sqlite3 -cmd ".timeout 10000" "$@"; }

long_text=$(python3 -c 'print("".join(chr(ord("a") + i % 26) for i in range(400)))')
sql "$db" <<SQL
INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES ('DEMO', '01', '000000', '13800138000', 'Hello from BRIVANE');
INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES ('DEMO', '01', '000000', '13800138001', '你好，这是一条中文短信');
INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES ('DEMO', '01', '000000', '13800138002', '$long_text');
INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, ISWappush, PushURL, Msg) VALUES ('DEMO', '01', '000000', '13800138003', 1, 'wap.example.com/news', 'Breaking news');
SQL

# The hand-over mark (MsgFmt, SMSCount) may land just after the answer.
all_logged() { [ "$(sql "$db" 'SELECT COUNT(DISTINCT SubmitID) FROM SubmitLog WHERE SMSCount IS NOT NULL')" -ge 4 ]; }
wait_for 60 "the four MT rows in SubmitLog" all_logged

# An MO message from a subscriber: "hi, 你好" in UCS-2.
smg_cmd "mo 13900139000 10661234 8 00680069002c00204f60597d" >/dev/null
mo_stored() { [ "$(sql "$db" 'SELECT COUNT(*) FROM Deliver')" -ge 1 ]; }
wait_for 30 "the MO message in Deliver" mo_stored
reports() { [ "$(sql "$db" 'SELECT COUNT(*) FROM StatusReport')" -ge 4 ]; }
wait_for 30 "the status reports" reports

echo
echo "== SubmitLog (MT rows with the SMG's answer)"
sql -header -column "$db" "SELECT SubmitID, Mobile, MsgFmt, SMSCount, MsgId, SubmitResult, substr(Msg, 1, 24) AS Msg FROM SubmitLog ORDER BY SubmitID"
echo
echo "== StatusReport"
sql -header -column "$db" "SELECT ReportID, MsgId, SubmitState, Mobile, SubmitTime, DoneTime FROM StatusReport ORDER BY ReportID"
echo
echo "== Deliver (MO messages)"
sql -header -column "$db" "SELECT DeliverID, Mobile, Msg, SPNumber, MsgId, ServiceId, PKTotal FROM Deliver ORDER BY DeliverID"
echo
echo "Admin pages: https://127.0.0.1:$http_port/Parameters  (user admin, password quillark; self-signed certificate)"
echo "Log: $home/brivane.log    Status: BRIVANE_STATUS_BLOCK=$BRIVANE_STATUS_BLOCK build/brivane status"
if [ "$keep" = 1 ]; then
  echo "Left running: brivane pid $brivane_pid, brivane-smg pid $smg_pid (control port $ctl_port)"
fi
