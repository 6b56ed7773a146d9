// End-to-end figures of the real processes (build/brivane, build/brivane-smg
// and a database), using the end-to-end test fixture. Prints, passes or
// fails nothing.
//
//   bench_e2e [--rows N] [--mo N] [--pacing-seconds S] [--pacing-limit L]
//             [--work-threads W] [--links K[,K]...] [--rounds R] [--sqlite]
//             [--mariadb] [--no-mt] [--no-pacing] [--no-mo] [--commit-batch B]
//             [--log-level N] [--env NAME=VALUE]... [--mariadb-flush F]
//
// --links runs the MT and MO figures once per count of links (1,4:
// one link, then four); pacing runs with the first count.
// --mariadb-flush sets the MariaDB server's innodb_flush_log_at_trx_commit
// for the whole run: 1 (the default, the server's own) flushes the log at
// every commit, as a server that must lose nothing runs; 2 (what the tests
// use) leaves it to the OS, and the per-call ceiling becomes the server's CPU.
//
// --log-level sets brivane's LogLevel (2); at 4 each MT run also prints the
// batches brivane's database calls formed (its debug lines), at the cost of
// the per-message lines that level writes.
// --env adds a variable to brivane's environment (MALLOC_ARENA_MAX=2, say).
// --commit-batch sets brivane's DBCommitBatch (calls committed together;
// 1 = each call alone); without it brivane's default holds.
//
// MT throughput: N rows are inserted into Submit before brivane starts,
// with MTSpeedLimit far above what the database allows (50,000), so pacing
// does not bind; the clock runs from the service's start line until every
// row is in SubmitLog and every report in StatusReport. Beside it, in the
// same run and on a fresh database of the same kind with the same N rows, a
// raw ODBC loop makes the same three procedure calls per message
// (UpdateSubmit, DelSubmit, AddStatusReport) on three connections, one
// thread each, as a pipeline, each call committed alone: its rate is the
// per-call ceiling (goal: brivane at least 3 times it).
//
// Pacing: MTSpeedLimit L (500) and a backlog bigger than the window needs;
// the SUBMITs the simulator counts over S seconds (60) after a warm-up,
// per second (goal: within 5 % of L).
//
// MO throughput: brivane-smg sends N MO messages at full speed (mo-load);
// messages stored per second until all are in Deliver, beside a raw loop of
// one uspAddDeliver call per message on one connection (goal: at least
// 2 times it).
//
// Each brivane figure comes with the process's resident memory during the
// run (sampled every 100 ms: average and peak) and the CPU time brivane and
// the simulator used. The machine is shared, so each comparison runs R
// rounds (3), brivane and raw alternating on fresh databases, and prints
// the medians beside every round.

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "db/odbc.h"
#include "db/settings.h"
#include "support/e2e_fixture.h"

namespace {

using namespace brivane;
using namespace brivane::test;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Settings {
  int rows = 50000;
  int mo = 20000;
  int pacingSeconds = 60;
  int pacingLimit = 500;
  int workThreads = 500;
  int links = 1;  // the run's count, one of linkCounts
  std::vector<int> linkCounts{1, 4};
  int rounds = 3;
  bool sqlite = true;
  bool mariadb = true;
  bool mt = true;
  bool pacing = true;
  bool moRun = true;
  int commitBatch = 0;  // 0: brivane's default
  int logLevel = 2;
  int mariaDbFlush = 1;
  std::map<std::string, std::string> brivaneEnv;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU seconds (user + system) a process has used so far; 0 when unknown.
double CpuSeconds(pid_t pid) {
  if (pid <= 0) return 0;
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char buffer[1024] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  // Fields after the command name (which may hold blanks) start behind ')'.
  const char* p = std::strrchr(buffer, ')');
  if (!p || n == 0) return 0;
  unsigned long utime = 0, stime = 0;
  // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
      2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The database server's pid (MariaDB), or -1 when the database is in
// the process (SQLite).
pid_t DbServerPid(DbKind kind) {
  if (kind != DbKind::kMariaDb) return -1;
  std::string error;
  MariaDbServer* server = SharedMariaDb(&error);
  return server ? server->Pid() : -1;
}

// "; database server N us/message" for CPU seconds used over n messages,
// or nothing without a server process.
std::string ServerCpuText(pid_t dbPid, double seconds, int messages) {
  if (dbPid <= 0 || messages <= 0) return "";
  char text[80];
  std::snprintf(text, sizeof text, "; database server %.2f s (%.0f us/message)", seconds,
                1e6 * seconds / messages);
  return text;
}

// Samples brivane's resident memory while it lives, and the CPU time
// brivane, the simulator and the database server used meanwhile.
class RssSampler {
 public:
  RssSampler(E2eSystem& sys, DbKind kind)
      : sys_(sys),
        dbPid_(DbServerPid(kind)),
        brivaneCpu0_(CpuSeconds(sys.BrivanePid())),
        smgCpu0_(CpuSeconds(sys.Smg().Pid())),
        dbCpu0_(CpuSeconds(dbPid_)) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        const long kb = sys_.ResidentKb();
        if (kb > 0) {
          peak_ = std::max(peak_, kb);
          sum_ += kb;
          ++n_;
        }
        std::this_thread::sleep_for(100ms);
      }
    });
  }
  ~RssSampler() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // messages: what the run handled, for brivane's CPU time per message.
  std::string Text(int messages) {
    Stop();
    if (brivaneCpu_ < 0) {
      brivaneCpu_ = CpuSeconds(sys_.BrivanePid()) - brivaneCpu0_;
      smgCpu_ = CpuSeconds(sys_.Smg().Pid()) - smgCpu0_;
      dbCpu_ = CpuSeconds(dbPid_) - dbCpu0_;
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "RSS avg %.1f MiB, peak %.1f MiB; CPU used: brivane %.2f s (%.0f us/message), "
                  "simulator %.2f s",
                  n_ ? sum_ / static_cast<double>(n_) / 1024 : 0.0, peak_ / 1024.0, brivaneCpu_,
                  messages > 0 ? 1e6 * brivaneCpu_ / messages : 0.0, smgCpu_);
    return text + ServerCpuText(dbPid_, dbCpu_, messages);
  }

 private:
  E2eSystem& sys_;
  const pid_t dbPid_;
  const double brivaneCpu0_;
  const double smgCpu0_;
  const double dbCpu0_;
  double dbCpu_ = 0;
  double brivaneCpu_ = -1;
  double smgCpu_ = 0;
  std::atomic<bool> stop_{false};
  long peak_ = 0;
  long long sum_ = 0;
  long n_ = 0;
  std::thread thread_;
};

// One prepared procedure call with its parameters bound once to fixed
// buffers: what a hand-written caller does at best.
class RawCall {
 public:
  RawCall(SQLHDBC dbc, const std::string& sql, const std::string& kinds) : kinds_(kinds) {
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_);
    std::u16string text = base::Utf8ToUtf16(sql);
    ok_ = SQL_SUCCEEDED(SQLPrepareW(stmt_, reinterpret_cast<SQLWCHAR*>(text.data()),
                                    static_cast<SQLINTEGER>(text.size())));
    texts_.resize(kinds.size());
    ints_.resize(kinds.size());
    indicators_.resize(kinds.size());
    for (std::size_t n = 0; n < kinds.size(); ++n) {
      const auto position = static_cast<SQLUSMALLINT>(n + 1);
      if (kinds[n] == 't') {
        ok_ = ok_ && SQL_SUCCEEDED(SQLBindParameter(stmt_, position, SQL_PARAM_INPUT, SQL_C_WCHAR,
                                                    SQL_WVARCHAR, kText, 0, texts_[n].data(),
                                                    sizeof texts_[n], &indicators_[n]));
      } else {
        ok_ = ok_ &&
              SQL_SUCCEEDED(SQLBindParameter(stmt_, position, SQL_PARAM_INPUT, SQL_C_SLONG,
                                             SQL_INTEGER, 0, 0, &ints_[n], 0, &indicators_[n]));
      }
    }
  }
  ~RawCall() { SQLFreeHandle(SQL_HANDLE_STMT, stmt_); }
  RawCall(const RawCall&) = delete;
  RawCall& operator=(const RawCall&) = delete;

  bool Ok() const { return ok_; }
  void Text(std::size_t n, std::u16string_view value) {
    const std::size_t units = std::min<std::size_t>(value.size(), kText);
    std::memcpy(texts_[n].data(), value.data(), units * 2);
    indicators_[n] = static_cast<SQLLEN>(units * 2);
  }
  void Int(std::size_t n, SQLINTEGER value) {
    ints_[n] = value;
    indicators_[n] = 0;
  }
  bool Call() {
    const SQLRETURN rc = SQLExecute(stmt_);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) return false;
    while (SQL_SUCCEEDED(SQLMoreResults(stmt_))) {
    }
    SQLFreeStmt(stmt_, SQL_CLOSE);
    return true;
  }

 private:
  static constexpr std::size_t kText = 64;
  std::string kinds_;
  SQLHSTMT stmt_ = nullptr;
  bool ok_ = false;
  std::vector<std::array<char16_t, kText>> texts_;
  std::vector<SQLINTEGER> ints_;
  std::vector<SQLLEN> indicators_;
};

// One ODBC connection of its own.
class RawConnection {
 public:
  explicit RawConnection(const std::string& connectionString) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::u16string cs = base::Utf8ToUtf16(connectionString);
    ok_ = SQL_SUCCEEDED(SQLDriverConnectW(dbc_, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()),
                                          static_cast<SQLSMALLINT>(cs.size()), nullptr, 0, nullptr,
                                          SQL_DRIVER_NOPROMPT));
  }
  ~RawConnection() {
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  bool Ok() const { return ok_; }
  SQLHDBC Handle() const { return dbc_; }

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  bool ok_ = false;
};

// A queue of ids between two pipeline stages.
class IdQueue {
 public:
  void Push(std::uint32_t id) {
    {
      std::lock_guard lock(mutex_);
      ids_.push_back(id);
    }
    cv_.notify_one();
  }
  std::uint32_t Pop() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return !ids_.empty(); });
    const std::uint32_t id = ids_.front();
    ids_.pop_front();
    return id;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::uint32_t> ids_;
};

// InnoDB's row-lock waits so far (MariaDB only): "waits / ms waited".
std::string RowLockWaits(DbKind kind) {
  if (kind != DbKind::kMariaDb) return "";
  std::string error, output;
  MariaDbServer* server = SharedMariaDb(&error);
  if (!server ||
      !server->Execute("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                       "VARIABLE_NAME IN ('INNODB_ROW_LOCK_WAITS', 'INNODB_ROW_LOCK_TIME') "
                       "ORDER BY VARIABLE_NAME DESC",
                       &output))
    return "?";
  for (char& c : output)
    if (c == '\n') c = ' ';
  return output;
}

// Sets innodb_flush_log_at_trx_commit on the shared server and says so.
bool SetMariaDbFlush(int flush) {
  std::string error, output;
  MariaDbServer* server = SharedMariaDb(&error);
  if (!server) {
    std::fprintf(stderr, "bench_e2e: %s\n", error.c_str());
    return false;
  }
  if (!server->Execute("SET GLOBAL innodb_flush_log_at_trx_commit = " + std::to_string(flush),
                       &output)) {
    std::fprintf(stderr, "bench_e2e: cannot set the log flush: %s\n", output.c_str());
    return false;
  }
  std::printf("MariaDB: innodb_flush_log_at_trx_commit = %d%s\n", flush,
              flush == 1 ? " (log flushed at every commit)" : "");
  return true;
}

std::vector<MtRow> Rows(int n) {
  std::vector<MtRow> rows(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    MtRow& r = rows[static_cast<std::size_t>(i)];
    r.mobile = "138" + std::to_string(10000000 + i);
    r.msg = "Benchmark message number " + std::to_string(i) + ", plain ASCII text.";
  }
  return rows;
}

std::u16string U(const std::string& text) { return base::Utf8ToUtf16(text); }

const char* DbName(DbKind kind) { return kind == DbKind::kSqlite ? "SQLite (WAL)" : "MariaDB"; }

E2eOptions BaseOptions(DbKind kind, const Settings& s) {
  E2eOptions o;
  o.db = kind;
  o.smg.quiet = true;       // no per-PDU log lines in the simulator
  o.logLevel = s.logLevel;  // 2: no per-message lines in brivane.log
  o.workThreads = s.workThreads;
  o.mtAndMOConnections = s.links;
  o.startTimeout = 60s;
  if (s.commitBatch > 0) o.extraIni["DBCommitBatch"] = std::to_string(s.commitBatch);
  for (const auto& [key, value] : s.brivaneEnv) o.brivaneEnv[key] = value;
  return o;
}

// The raw pipeline: UpdateSubmit on one connection, DelSubmit on a second,
// AddStatusReport on a third, each in its own thread. Messages per second.
double RawMtRate(E2eSystem& sys, const std::vector<std::uint32_t>& ids) {
  const auto syntax = db::SyntaxForDbType(sys.Kind() == DbKind::kSqlite ? "sqlite" : "mysql");
  RawConnection ca(sys.ConnectionString()), cb(sys.ConnectionString()), cc(sys.ConnectionString());
  if (!ca.Ok() || !cb.Ok() || !cc.Ok()) return 0;
  RawCall update(ca.Handle(), db::ProcedureCallText("uspUpdateSubmitState", 3, syntax), "iii");
  RawCall del(cb.Handle(), db::ProcedureCallText("uspMoveSubmitToLog", 3, syntax), "iti");
  RawCall report(cc.Handle(), db::ProcedureCallText("uspAddStatusReport", 5, syntax), "ttttt");
  if (!update.Ok() || !del.Ok() || !report.Ok()) return 0;
  IdQueue toDel, toReport;
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::thread a([&] {
    for (std::uint32_t id : ids) {
      update.Int(0, static_cast<SQLINTEGER>(id));
      update.Int(1, 0);
      update.Int(2, 1);
      if (!update.Call()) ++failures;
      toDel.Push(id);
    }
  });
  std::thread b([&] {
    for (std::size_t n = 0; n < ids.size(); ++n) {
      const std::uint32_t id = toDel.Pop();
      del.Int(0, static_cast<SQLINTEGER>(id));
      del.Text(1, U(std::to_string(14129138657927430144ull + id)));
      del.Int(2, 0);
      if (!del.Call()) ++failures;
      toReport.Push(id);
    }
  });
  std::thread c([&] {
    for (std::size_t n = 0; n < ids.size(); ++n) {
      const std::uint32_t id = toReport.Pop();
      report.Text(0, U(std::to_string(14129138657927430144ull + id)));
      report.Text(1, u"DELIVRD");
      report.Text(2, U("138" + std::to_string(10000000 + id)));
      report.Text(3, u"2612080512");
      report.Text(4, u"2612080513");
      if (!report.Call()) ++failures;
    }
  });
  a.join();
  b.join();
  c.join();
  const double elapsed = Seconds(Clock::now() - start);
  if (failures > 0) std::printf("  (raw loop: %d calls failed)\n", failures.load());
  return static_cast<double>(ids.size()) / elapsed;
}

// Per procedure, from brivane's debug lines ("NAME|batch of N calls, held
// the connection H ms, oldest waited W ms;"): the batches formed, their
// mean and largest size, and the mean time held and waited.
void PrintBatches(const E2eSystem& sys) {
  struct Sum {
    long batches = 0, calls = 0, largest = 0;
    double heldMs = 0, waitedMs = 0;
  };
  std::map<std::string, Sum> sums;
  for (const TimedLine& line : sys.LogLines("|batch of ")) {
    const std::size_t at = line.text.find("|batch of ");
    const std::string name = line.text.substr(0, at);
    long n = 0;
    double held = 0, waited = 0;
    if (std::sscanf(line.text.c_str() + at,
                    "|batch of %ld calls, held the connection %lf ms, oldest waited %lf ms", &n,
                    &held, &waited) != 3)
      continue;
    Sum& sum = sums[name];
    ++sum.batches;
    sum.calls += n;
    sum.largest = std::max(sum.largest, n);
    sum.heldMs += held;
    sum.waitedMs += waited;
  }
  if (sums.empty()) std::printf("           no batch lines (LogLevel below 4?)\n");
  for (const auto& [name, sum] : sums)
    std::printf(
        "           %s: %ld batches, %ld calls, %.1f calls a batch (largest %ld), held the "
        "connection %.2f ms a batch, oldest call waited %.2f ms\n",
        name.c_str(), sum.batches, sum.calls, static_cast<double>(sum.calls) / sum.batches,
        sum.largest, sum.heldMs / sum.batches, sum.waitedMs / sum.batches);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// One brivane run: messages per second end to end, 0 when it failed.
double BrivaneMtRun(DbKind kind, const Settings& s) {
  std::string error;
  E2eOptions o = BaseOptions(kind, s);
  o.mtSpeedLimit = 50000;
  E2eSystem sys(o);
  if (!sys.Prepare(&error)) {
    std::printf("  cannot prepare: %s\n", error.c_str());
    return 0;
  }
  if (sys.InsertSubmits(Rows(s.rows)).size() != static_cast<std::size_t>(s.rows)) {
    std::printf("  insert failed\n");
    return 0;
  }
  if (!sys.StartBrivane(&error)) {
    std::printf("  brivane did not start: %s\n", error.c_str());
    return 0;
  }
  RssSampler sampler(sys, kind);
  const std::string locksBefore = RowLockWaits(kind);
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(60 + s.rows / 100);
  long long logged = 0, reports = 0;
  double loggedAt = 0;
  while (Clock::now() < deadline) {
    logged = sys.Scalar("SELECT COUNT(*) FROM SubmitLog");
    if (logged >= s.rows && loggedAt == 0) loggedAt = Seconds(Clock::now() - start);
    reports = sys.Scalar("SELECT COUNT(*) FROM StatusReport");
    if (logged >= s.rows && reports >= s.rows) break;
    std::this_thread::sleep_for(100ms);
  }
  const double elapsed = Seconds(Clock::now() - start);
  const std::string rss = sampler.Text(s.rows);
  if (logged < s.rows || reports < s.rows) {
    std::printf("  unfinished after %.1f s: SubmitLog %lld, StatusReport %lld\n", elapsed, logged,
                reports);
    return 0;
  }
  const double rate = s.rows / elapsed;
  std::printf(
      "  brivane: %.0f messages/s (all in SubmitLog after %.2f s, all reports after %.2f s)\n",
      rate, loggedAt, elapsed);
  std::printf("           %s\n", rss.c_str());
  if (kind == DbKind::kMariaDb)
    std::printf("           InnoDB row-lock waits / ms waited: before %s, after %s\n",
                locksBefore.c_str(), RowLockWaits(kind).c_str());
  if (s.logLevel >= 4) PrintBatches(sys);
  const long long failed = sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult <> 0");
  if (failed != 0) {
    std::string results;
    for (const DbRow& r : sys.Query("SELECT SubmitResult, COUNT(*) AS n FROM SubmitLog WHERE "
                                    "SubmitResult <> 0 GROUP BY SubmitResult"))
      results += " " + r.Text("SubmitResult") + ":" + r.Text("n");
    auto stats = sys.Smg().Stats();
    std::printf(
        "           %lld rows recorded with a result other than 0 (result:rows%s); simulator: "
        "logins %ld, write failures %ld; ERROR lines in brivane.log: %zu\n",
        failed, results.c_str(), stats["logins"], stats["write_failures"], sys.LogCount("ERROR|"));
  }
  return rate;
}

double RawMtRun(DbKind kind, const Settings& s) {
  std::string error;
  E2eSystem sys(BaseOptions(kind, s));
  if (!sys.Prepare(&error)) {
    std::printf("  cannot prepare the raw run: %s\n", error.c_str());
    return 0;
  }
  const auto ids = sys.InsertSubmits(Rows(s.rows));
  const pid_t dbPid = DbServerPid(kind);
  const double cpu0 = CpuSeconds(dbPid);
  const double rate = RawMtRate(sys, ids);
  std::printf("  raw ODBC pipeline: %.0f messages/s%s\n", rate,
              ServerCpuText(dbPid, CpuSeconds(dbPid) - cpu0, s.rows).c_str());
  return rate;
}

// Runs `rounds` rounds of a brivane run and its raw ceiling, alternating,
// and prints the medians and the ratio per round against the goal (%).
template <typename Brivane, typename Raw>
void CompareRounds(int rounds, Brivane&& brivaneRun, Raw&& rawRun, const char* brivaneUnit,
                   const char* rawUnit, int goalPercent) {
  std::vector<double> brivane, raw, ratios;
  for (int round = 1; round <= rounds; ++round) {
    std::printf(" round %d\n", round);
    const double b = brivaneRun();
    const double r = rawRun();
    if (b > 0) brivane.push_back(b);
    if (r > 0) raw.push_back(r);
    if (b > 0 && r > 0) ratios.push_back(b / r);
  }
  std::printf(
      "  median: brivane %.0f %s, raw %.0f %s, brivane / raw %.0f %%"
      " (per round %.0f..%.0f %%; goal >= %d %%)\n",
      Median(brivane), brivaneUnit, Median(raw), rawUnit, 100 * Median(ratios),
      ratios.empty() ? 0 : 100 * *std::min_element(ratios.begin(), ratios.end()),
      ratios.empty() ? 0 : 100 * *std::max_element(ratios.begin(), ratios.end()), goalPercent);
}

void MtThroughput(DbKind kind, const Settings& s) {
  std::printf(
      "\n== MT throughput, %s: %d rows, MTSpeedLimit 50000, %d links, WorkThreads %d, %d rounds\n"
      "   (raw: UpdateSubmit, DelSubmit, AddStatusReport per message, 3 connections, 3 threads)\n",
      DbName(kind), s.rows, s.links, s.workThreads, s.rounds);
  CompareRounds(
      s.rounds, [&] { return BrivaneMtRun(kind, s); }, [&] { return RawMtRun(kind, s); },
      "messages/s", "messages/s", 300);
}

void Pacing(const Settings& s) {
  std::printf("\n== Pacing, SQLite (WAL): MTSpeedLimit %d, window %d s\n", s.pacingLimit,
              s.pacingSeconds);
  E2eOptions o = BaseOptions(DbKind::kSqlite, s);
  o.mtSpeedLimit = s.pacingLimit;
  E2eSystem sys(o);
  std::string error;
  if (!sys.Prepare(&error)) {
    std::printf("  cannot prepare: %s\n", error.c_str());
    return;
  }
  constexpr int kWarmUpSeconds = 3;
  const int backlog = s.pacingLimit * (s.pacingSeconds + kWarmUpSeconds + 5);
  sys.InsertSubmits(Rows(backlog));
  if (!sys.StartBrivane(&error)) {
    std::printf("  brivane did not start: %s\n", error.c_str());
    return;
  }
  RssSampler sampler(sys, DbKind::kSqlite);
  std::this_thread::sleep_for(std::chrono::seconds(kWarmUpSeconds));
  const auto t0 = Clock::now();
  const long first = sys.Smg().Stats()["submits"];
  std::vector<long> perSecond;
  long last = first;
  for (int i = 1; i <= s.pacingSeconds; ++i) {
    std::this_thread::sleep_until(t0 + std::chrono::seconds(i));
    const long now = sys.Smg().Stats()["submits"];
    perSecond.push_back(now - last);
    last = now;
  }
  const double elapsed = Seconds(Clock::now() - t0);
  const double rate = (last - first) / elapsed;
  const auto [lo, hi] = std::minmax_element(perSecond.begin(), perSecond.end());
  std::printf("  %ld SUBMITs in %.1f s: %.1f segments/s = %.1f %% of %d (goal within 5 %%)\n",
              last - first, elapsed, rate, 100 * rate / s.pacingLimit, s.pacingLimit);
  std::printf("  per-second counts between %ld and %ld; %s\n", *lo, *hi,
              sampler.Text(static_cast<int>(last - first)).c_str());
  if (sys.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitState = 0") == 0)
    std::printf("  (the backlog ran dry: the figure is too low)\n");
}

// The raw MO ceiling: one uspAddDeliver per message on one connection, with
// the parameters brivane binds for a single ASCII message.
double RawMoRate(E2eSystem& sys, int n) {
  const auto syntax = db::SyntaxForDbType(sys.Kind() == DbKind::kSqlite ? "sqlite" : "mysql");
  RawConnection connection(sys.ConnectionString());
  if (!connection.Ok()) return 0;
  RawCall add(connection.Handle(), db::ProcedureCallText("uspAddDeliver", 11, syntax),
              "tttttittiit");
  if (!add.Ok()) return 0;
  int failures = 0;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    add.Text(0, U("139" + std::to_string(10000000 + i)));
    add.Text(1, U("MO load " + std::to_string(i + 1)));
    add.Text(2, u"10661234");
    add.Text(3, u"");
    add.Text(4, U(std::to_string(14129138657927430144ull + static_cast<unsigned>(i))));
    add.Int(5, 0);
    add.Text(6, u"");
    add.Text(7, u"");
    add.Int(8, -1);
    add.Int(9, 1);
    add.Text(10, u"");
    if (!add.Call()) ++failures;
  }
  const double elapsed = Seconds(Clock::now() - start);
  if (failures > 0) std::printf("  (raw loop: %d calls failed)\n", failures);
  return n / elapsed;
}

double BrivaneMoRun(DbKind kind, const Settings& s) {
  E2eSystem sys(BaseOptions(kind, s));
  std::string error;
  if (!sys.Start(&error)) {
    std::printf("  cannot start: %s\n", error.c_str());
    return 0;
  }
  RssSampler sampler(sys, kind);
  const auto start = Clock::now();
  if (sys.Smg().Command("mo-load 1000000 " + std::to_string(s.mo)).rfind("OK", 0) != 0) {
    std::printf("  mo-load refused\n");
    return 0;
  }
  const auto deadline = start + std::chrono::seconds(60 + s.mo / 100);
  long long stored = 0;
  double sentAt = 0;
  while (Clock::now() < deadline) {
    if (sentAt == 0 && sys.Smg().Stats()["mo_acked"] >= s.mo)
      sentAt = Seconds(Clock::now() - start);
    stored = sys.Scalar("SELECT COUNT(*) FROM Deliver");
    if (stored >= s.mo) break;
    std::this_thread::sleep_for(100ms);
  }
  const double elapsed = Seconds(Clock::now() - start);
  const std::string rss = sampler.Text(s.mo);
  if (stored < s.mo) {
    std::printf("  unfinished after %.1f s: %lld stored\n", elapsed, stored);
    return 0;
  }
  const double rate = s.mo / elapsed;
  std::printf("  brivane: %.0f MO stored/s (all answered after %.2f s, all stored after %.2f s)\n",
              rate, sentAt, elapsed);
  std::printf("           %s\n", rss.c_str());
  return rate;
}

double RawMoRun(DbKind kind, const Settings& s) {
  std::string error;
  E2eSystem raw(BaseOptions(kind, s));
  if (!raw.Prepare(&error)) {
    std::printf("  cannot prepare the raw run: %s\n", error.c_str());
    return 0;
  }
  const pid_t dbPid = DbServerPid(kind);
  const double cpu0 = CpuSeconds(dbPid);
  const double rate = RawMoRate(raw, s.mo);
  std::printf("  raw ODBC loop: %.0f calls/s%s\n", rate,
              ServerCpuText(dbPid, CpuSeconds(dbPid) - cpu0, s.mo).c_str());
  return rate;
}

void MoThroughput(DbKind kind, const Settings& s) {
  std::printf(
      "\n== MO throughput, %s: %d messages (mo-load at full speed), %d links, WorkThreads %d, "
      "%d rounds\n   (raw: one uspAddDeliver per message on one connection)\n",
      DbName(kind), s.mo, s.links, s.workThreads, s.rounds);
  CompareRounds(
      s.rounds, [&] { return BrivaneMoRun(kind, s); }, [&] { return RawMoRun(kind, s); }, "MO/s",
      "calls/s", 200);
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  bool onlySqlite = false, onlyMariaDb = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
    if (a == "--rows")
      s.rows = next();
    else if (a == "--mo")
      s.mo = next();
    else if (a == "--pacing-seconds")
      s.pacingSeconds = next();
    else if (a == "--pacing-limit")
      s.pacingLimit = next();
    else if (a == "--work-threads")
      s.workThreads = next();
    else if (a == "--links" && i + 1 < argc) {
      s.linkCounts.clear();
      for (const char* p = argv[++i];;) {
        char* end = nullptr;
        const long n = std::strtol(p, &end, 10);
        if (end == p || n < 1) break;
        s.linkCounts.push_back(static_cast<int>(n));
        if (*end != ',') break;
        p = end + 1;
      }
      if (s.linkCounts.empty()) s.linkCounts.push_back(1);
    } else if (a == "--rounds")
      s.rounds = std::max(1, next());
    else if (a == "--sqlite")
      onlySqlite = true;
    else if (a == "--mariadb")
      onlyMariaDb = true;
    else if (a == "--no-mt")
      s.mt = false;
    else if (a == "--no-pacing")
      s.pacing = false;
    else if (a == "--no-mo")
      s.moRun = false;
    else if (a == "--commit-batch")
      s.commitBatch = next();
    else if (a == "--log-level")
      s.logLevel = next();
    else if (a == "--mariadb-flush")
      s.mariaDbFlush = next();
    else if (a == "--env" && i + 1 < argc && std::strchr(argv[i + 1], '=')) {
      const std::string setting = argv[++i];
      const std::size_t equals = setting.find('=');
      s.brivaneEnv[setting.substr(0, equals)] = setting.substr(equals + 1);
    } else {
      std::fprintf(
          stderr,
          "usage: bench_e2e [--rows N] [--mo N] [--pacing-seconds S] [--pacing-limit L]\n"
          "                 [--work-threads W] [--links K[,K]...] [--rounds R] [--sqlite]\n"
          "                 [--mariadb] [--no-mt] [--no-pacing] [--no-mo]\n"
          "                 [--commit-batch B] [--log-level N] [--env NAME=VALUE]...\n"
          "                 [--mariadb-flush F]\n");
      return 2;
    }
  }
  if (onlySqlite || onlyMariaDb) {
    s.sqlite = onlySqlite;
    s.mariadb = onlyMariaDb;
  }
  std::printf("bench_e2e: %u processors\n", std::thread::hardware_concurrency());
  std::vector<DbKind> kinds;
  if (s.sqlite) kinds.push_back(DbKind::kSqlite);
  if (s.mariadb) {
    kinds.push_back(DbKind::kMariaDb);
    if (!SetMariaDbFlush(s.mariaDbFlush)) return 1;
  }
  for (std::size_t i = 0; i < s.linkCounts.size(); ++i) {
    s.links = s.linkCounts[i];
    if (s.mt)
      for (DbKind k : kinds) MtThroughput(k, s);
    if (i == 0 && s.pacing && s.sqlite) Pacing(s);
    if (s.moRun)
      for (DbKind k : kinds) MoThroughput(k, s);
  }
  return 0;
}
