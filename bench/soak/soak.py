#!/usr/bin/env python3
"""Soak run: brivane against brivane-smg on a SQLite file, MT rows inserted
and MO messages sent at steady rates for a set time. Every --sample seconds
it writes one CSV line: brivane's resident memory, threads, open descriptors,
the status-block counters and the database's counts. At the end it lets the
traffic drain, compares the counters' totals with the database and prints
whether memory, threads and descriptors grew after the first minute.

Started by bench/soak.sh, which installs, builds and plots; run that."""

import argparse
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Smg:
    def __init__(self, port):
        self.port = port

    def command(self, line):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall((line + "\n").encode())
            data = b""
            while not data.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            return data.decode(errors="replace").strip()

    def stats(self):
        reply = self.command("stats")
        out = {}
        for word in reply.split()[1:]:
            key, _, value = word.partition("=")
            out[key] = int(value)
        return out


def proc_sample(pid):
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return rss, threads, fds


def status_counters(brivane, home, env):
    out = subprocess.run([brivane, "status", "--home", home], env=env, capture_output=True,
                         text=True, timeout=10).stdout
    counters = {}
    for line in out.splitlines():
        key, _, value = line.partition(": ")
        if value.isdigit():
            counters[key] = int(value)
    return counters


COUNTERS = ["mo_received", "mo_stored", "submit_handed_over", "submit_written",
            "submit_resp_ok", "submit_result_stored", "report_received", "report_stored"]
DB_COUNTS = {
    "db_submit_waiting": "SELECT COUNT(*) FROM Submit",
    "db_submitlog": "SELECT COUNT(*) FROM SubmitLog",
    "db_statusreport": "SELECT COUNT(*) FROM StatusReport",
    "db_deliver": "SELECT COUNT(*) FROM Deliver",
}


def db_counts(db):
    con = sqlite3.connect(db, timeout=30)
    try:
        return {k: con.execute(q).fetchone()[0] for k, q in DB_COUNTS.items()}
    finally:
        con.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--home", required=True)
    ap.add_argument("--schema", required=True)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--minutes", type=float, default=10)
    ap.add_argument("--mt-rate", type=int, default=800, help="MT rows inserted per second")
    ap.add_argument("--mo-rate", type=int, default=800, help="MO messages sent per second")
    ap.add_argument("--sample", type=float, default=10)
    ap.add_argument("--csv", required=True)
    a = ap.parse_args()

    home = a.home
    os.makedirs(home, exist_ok=True)
    db = os.path.join(home, "brivane.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    subprocess.run(["sqlite3", db], stdin=open(a.schema), check=True, stdout=subprocess.DEVNULL)

    smg_port, ctl_port, http_port = free_port(), free_port(), free_port()
    with open(os.path.join(home, "odbc.ini"), "w") as f:
        f.write(f"[brivane_soak]\nDriver = {a.driver}\nDatabase = {db}\nTimeout = 30000\n"
                "SyncPragma = NORMAL\n")
    with open(os.path.join(home, "brivane.ini"), "w") as f:
        f.write(f"""[Parameters]
LogLevel = 2
HTTPPort = {http_port}
DataSource = brivane_soak
DBType = sqlite
MTSpeedLimit = {max(2 * a.mt_rate, 100)}
SMGAddress = 127.0.0.1
SMGVersion = 48
SPCorpID = 901234
SPID = 10661234
SPLoginName = 900001
SPPassword = 888888
MTAndMOPort = {smg_port}
MTAndMOConnections = 4
WorkThreads = 16
""")
    env = dict(os.environ)
    env["ODBCINI"] = os.path.join(home, "odbc.ini")
    env["BRIVANE_STATUS_BLOCK"] = f"brivane-soak-{os.getpid()}"

    smg = subprocess.Popen([os.path.join(a.build, "brivane-smg"), "--port", str(smg_port),
                            "--control-port", str(ctl_port), "--version", "48", "--login",
                            "900001", "--secret", "888888", "--report-delay-ms", "200",
                            "--quiet"], stdout=open(os.path.join(home, "smg.out"), "w"),
                           stderr=subprocess.STDOUT)
    brivane_bin = os.path.join(a.build, "brivane")
    brivane = None
    try:
        deadline = time.time() + 20
        while "READY" not in open(os.path.join(home, "smg.out")).read():
            if time.time() > deadline or smg.poll() is not None:
                sys.exit("soak: the simulator did not start")
            time.sleep(0.1)
        brivane = subprocess.Popen([brivane_bin, "run", "--home", home], env=env,
                                   stdout=open(os.path.join(home, "brivane.out"), "w"),
                                   stderr=subprocess.STDOUT)
        ctl = Smg(ctl_port)
        deadline = time.time() + 60
        while ctl.stats().get("logins", 0) < 4:
            if time.time() > deadline or brivane.poll() is not None:
                sys.exit("soak: brivane did not log in; see " + home)
            time.sleep(0.2)

        duration = a.minutes * 60
        stop = threading.Event()
        inserted = [0]

        def feed_mt():
            con = sqlite3.connect(db, timeout=30)
            con.execute("PRAGMA busy_timeout = 30000")
            tick = 0.1
            per_tick = a.mt_rate * tick
            owed = 0.0
            start = time.monotonic()
            n = 0
            while not stop.is_set():
                owed += per_tick
                batch = int(owed)
                owed -= batch
                rows = [("SOAK", "01", "000000", "1380013%04d" % ((n + i) % 10000),
                         "soak %d" % (n + i)) for i in range(batch)]
                with con:
                    con.executemany("INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg)"
                                    " VALUES (?, ?, ?, ?, ?)", rows)
                n += batch
                inserted[0] = n
                n_ticks = (time.monotonic() - start) / tick
                time.sleep(max(0.0, (int(n_ticks) + 1) * tick - (time.monotonic() - start)))
            con.close()

        mo_count = int(a.mo_rate * duration)
        t0 = time.monotonic()
        feeder = threading.Thread(target=feed_mt, daemon=True)
        feeder.start()
        if a.mo_rate > 0:
            ctl.command(f"mo-load {a.mo_rate} {mo_count} 13900139000 10661234 stamp")

        header = ["t_s", "rss_kb", "threads", "fds", "mt_inserted"] + COUNTERS + \
            list(DB_COUNTS) + ["smg_submits", "smg_reports_acked", "smg_mo_acked"]
        rows = []
        with open(a.csv, "w") as out:
            out.write(",".join(header) + "\n")

            def sample():
                t = time.monotonic() - t0
                rss, threads, fds = proc_sample(brivane.pid)
                c = status_counters(brivane_bin, home, env)
                d = db_counts(db)
                s = ctl.stats()
                row = [round(t, 1), rss, threads, fds, inserted[0]] + \
                    [c.get(k, 0) for k in COUNTERS] + [d[k] for k in DB_COUNTS] + \
                    [s.get("submits", 0), s.get("reports_acked", 0), s.get("mo_acked", 0)]
                rows.append(row)
                out.write(",".join(str(v) for v in row) + "\n")
                out.flush()
                print(" ".join(f"{h}={v}" for h, v in zip(header, row)), flush=True)

            next_t = 0.0
            while time.monotonic() - t0 < duration:
                if brivane.poll() is not None:
                    sys.exit("soak: brivane ended during the run; see " + home)
                if time.monotonic() - t0 >= next_t:
                    sample()
                    next_t += a.sample
                time.sleep(0.2)
            stop.set()
            feeder.join()
            ctl.command("mo-load 0 0")
            # Drain: every row out, every report and MO stored, counters still.
            deadline = time.time() + 300
            last = None
            while time.time() < deadline:
                d = db_counts(db)
                c = status_counters(brivane_bin, home, env)
                s = ctl.stats()
                now = (d, c.get("report_stored"), c.get("mo_stored"), s.get("reports_acked"))
                if d["db_submit_waiting"] == 0 and now == last:
                    break
                last = now
                time.sleep(3)
            sample()

        final = rows[-1]
        col = {h: i for i, h in enumerate(header)}
        print("\n== totals after the drain")
        checks = [
            ("MT rows inserted = SubmitLog rows", final[col["mt_inserted"]],
             final[col["db_submitlog"]]),
            ("submit_result_stored = SubmitLog rows", final[col["submit_result_stored"]],
             final[col["db_submitlog"]]),
            ("simulator SUBMITs = submit_written", final[col["smg_submits"]],
             final[col["submit_written"]]),
            ("report_stored = StatusReport rows", final[col["report_stored"]],
             final[col["db_statusreport"]]),
            ("reports acknowledged = StatusReport rows", final[col["smg_reports_acked"]],
             final[col["db_statusreport"]]),
            ("mo_stored = Deliver rows", final[col["mo_stored"]], final[col["db_deliver"]]),
            ("MO acknowledged = Deliver rows", final[col["smg_mo_acked"]],
             final[col["db_deliver"]]),
        ]
        ok = True
        for what, x, y in checks:
            same = x == y
            ok &= same
            print(f"  {'ok  ' if same else 'DIFF'} {what}: {x} / {y}")

        print("\n== growth after the first minute (steady part)")
        steady = [r for r in rows[:-1] if r[col["t_s"]] >= 60]
        if len(steady) >= 2:
            for name in ("rss_kb", "threads", "fds"):
                values = [r[col[name]] for r in steady]
                first, last_v, peak = values[0], values[-1], max(values)
                print(f"  {name}: at 1 min {first}, at the end {last_v}, peak {peak}, "
                      f"min {min(values)}")
            secs = steady[-1][col["t_s"]] - steady[0][col["t_s"]]
            for name, key in (("MT rows/s", "db_submitlog"), ("reports/s", "db_statusreport"),
                              ("MO/s", "db_deliver")):
                rate = (steady[-1][col[key]] - steady[0][col[key]]) / secs if secs else 0
                print(f"  {name} stored over the steady part: {rate:.0f}")
        print("\nCSV:", a.csv)
        return 0 if ok else 1
    finally:
        for p in (brivane, smg):
            if p is not None and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        try:
            os.unlink("/dev/shm/" + env["BRIVANE_STATUS_BLOCK"])
        except OSError:
            pass


if __name__ == "__main__":
    sys.exit(main())
