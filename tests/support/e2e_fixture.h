#pragma once
// E2eSystem: the whole system for an end-to-end test, as real processes on
// 127.0.0.1: a database (a SQLite file, or a database of its own on a MariaDB
// server the test program shares), a brivane-smg simulator and build/brivane
// with its own temporary home, brivane.ini, HTTPS port and status block.
// Around them it offers what end-to-end tests need: rows inserted into
// `Submit`, queries on the database, waits with deadlines, the simulator's
// per-PDU log and brivane.log as timed lines, the status block and the
// service's resident memory. Everything is stopped by pid (and the MariaDB
// database dropped, the status block unlinked) when the object dies.
//
// Typical use:
//   E2eOptions o;
//   o.mtSpeedLimit = 50;
//   o.extraIni["SubmitRespTimeout"] = "2";
//   E2eSystem sys(o);
//   std::string error;
//   ASSERT_TRUE(sys.Start(&error)) << error;
//   auto ids = sys.InsertSubmits({MtRow{.msg = "hello"}});
//   EXPECT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 1, 20s));
//
// Threads: one test thread drives the processes. The database helpers take
// a lock of their own, so a second thread (a benchmark's sampler) may query
// while the first inserts. Failing database helpers add a gtest failure
// naming the statement and the driver's message.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/mariadb_server.h"
#include "support/process.h"
#include "support/smg_process.h"

namespace brivane::db {
class Connection;
}

namespace brivane::test {

enum class DbKind { kSqlite, kMariaDb };

// The test program's one MariaDB server, started on first call (about two
// seconds) and stopped at exit. Null with the reason in *error when it
// cannot start; a test then fails with that reason.
MariaDbServer* SharedMariaDb(std::string* error);

struct E2eOptions {
  DbKind db = DbKind::kSqlite;
  // The server for kMariaDb; null means SharedMariaDb(). Each system creates
  // (and at its end drops) a database of its own on it.
  MariaDbServer* mariaDb = nullptr;
  // The schema; empty means schema/sqlite.sql or schema/mysql.sql.
  std::string schemaFile;
  // Statements run after the schema with the database's command-line client
  // (several statements, triggers and DELIMITER work there), e.g. to give
  // `Submit` another shape.
  std::string extraSchemaSql;
  // The simulator. Its version is also brivane's SMGVersion; its log goes
  // to <home>/smg.log unless smg.logFile says otherwise (with smg.quiet it
  // writes no per-PDU lines, for load).
  SmgProcess::Options smg;
  // Links: all three pools use the simulator's first port.
  int mtAndMOConnections = 1;
  int mtConnections = 0;
  int moConnections = 0;
  int mtSpeedLimit = 20;
  int workThreads = 16;
  // 3 or 4 writes the per-message lines ("MT消息|", "MT应答|", "上行消息|").
  int logLevel = 4;
  bool enableHTTPClient = false;
  std::string spCorpId = "901234";
  std::string spId = "10661234";
  // Further [Parameters] keys; a key named here (any case) replaces the
  // fixture's own value, e.g. {"SubmitRespTimeout", "2"}.
  std::map<std::string, std::string> extraIni;
  // Environment of the brivane process besides its status-block name (for
  // example LD_PRELOAD for fault injection).
  std::map<std::string, std::string> brivaneEnv;
  // Deadline of each start: the simulator's READY, then brivane until it
  // logs that the service started (its links logged in).
  std::chrono::milliseconds startTimeout{30000};
};

// One row for `Submit`. Texts are UTF-8; the database stores them as Unicode.
struct MtRow {
  std::string mobile = "13800138000";
  std::string msg;
  std::optional<std::string> srcId;  // NULL when not set
  std::string serviceId = "E2E";
  std::string feeType = "01";
  std::string feeCode = "000000";
  bool wapPush = false;
  std::string pushUrl;
  // Inserted only when some row of the batch sets it; the table must then
  // have the column.
  std::optional<std::string> linkId;
};

// One row of a query result, by column name as the query names it. Texts
// are UTF-8.
struct DbRow {
  std::map<std::string, std::optional<std::string>> values;
  // The text of a column, "" for NULL; a missing column fails the test.
  std::string Text(const std::string& column) const;
  bool IsNull(const std::string& column) const;
  long long Int(const std::string& column) const;
};

// A timed line of the simulator's log or of brivane.log. Times are
// milliseconds since local midnight; use ElapsedMs to subtract them.
struct TimedLine {
  std::int64_t msOfDay = 0;
  std::string text;
};

// b - a in milliseconds for two msOfDay values less than 12 hours apart
// (a run across midnight included).
std::int64_t ElapsedMs(std::int64_t a, std::int64_t b);

// A PDU the simulator received, from its "rx" log lines.
struct SmgPdu {
  std::int64_t msOfDay = 0;
  std::uint32_t conn = 0;
  std::uint32_t commandId = 0;
  std::uint32_t sequenceId = 0;
  std::uint32_t length = 0;
};

inline constexpr std::uint32_t kCmdSubmit = 0x00000004;

// The value of "key" in one JSON object line of the simulator's `submits`
// list (strings without their quotes, numbers as text); "" when absent.
std::string JsonValue(const std::string& json, const std::string& key);
// Upper-case hex of bytes, as the simulator prints Msg_Content.
std::string Hex(std::string_view bytes);
// A UTF-8 text as big-endian UCS-2, in hex.
std::string Ucs2Hex(std::string_view utf8);

class E2eSystem {
 public:
  explicit E2eSystem(E2eOptions options = {});
  ~E2eSystem();
  E2eSystem(const E2eSystem&) = delete;
  E2eSystem& operator=(const E2eSystem&) = delete;

  // Prepare, then StartBrivane.
  bool Start(std::string* error);
  // The database with its schema, the fixture's own connection, the
  // simulator (until READY) and brivane.ini; brivane is not started.
  bool Prepare(std::string* error);
  // Starts brivane with the current brivane.ini and waits until it logged
  // that the service started (its SMG links are logged in). False with the
  // reason (and the log's tail) when it failed, exited or took too long.
  bool StartBrivane(std::string* error);
  // SIGHUP: the in-place restart; waits until the next start line.
  bool RestartBrivane(std::string* error);
  // SIGTERM and waits for the process (SIGKILL after `grace`); the wait
  // status as waitpid gives it, -1 when it had to be killed.
  int StopBrivane(std::chrono::milliseconds grace = std::chrono::seconds(30));
  bool BrivaneRunning();
  pid_t BrivanePid() const { return brivane_.Pid(); }

  // brivane.ini: a key's value for the next (re)start; WriteIni writes the
  // file (StartBrivane does too).
  void SetIni(const std::string& key, const std::string& value);
  void WriteIni();
  std::string IniPath() const { return home_.File("brivane.ini"); }

  SmgProcess& Smg() { return smg_; }
  // The HTTPS port of brivane's pages.
  int HttpPort() const { return httpPort_; }
  const E2eOptions& Options() const { return options_; }
  const TempDir& Home() const { return home_; }

  // ---- database (the fixture's own connection) ----
  // A statement; false (and a test failure) when it fails.
  bool Exec(const std::string& sql);
  std::vector<DbRow> Query(const std::string& sql);
  // The first column of the first row as a number; -1 (and a test failure)
  // on error or without rows.
  long long Scalar(const std::string& sql);
  // Waits until Scalar(sql) >= atLeast; false at the deadline.
  bool WaitScalar(const std::string& sql, long long atLeast, std::chrono::milliseconds timeout);
  // Waits until `rows` rows are in SubmitLog with their hand-over mark
  // (MsgFmt, SMSCount). The mark is stored on another connection than the
  // SMG's answer and the reports, so it may land after both.
  bool WaitLoggedAndMarked(long long rows, std::chrono::milliseconds timeout);
  // Inserts the rows (in statements of up to 200 rows each) and returns
  // their SubmitIDs in order. Only the fixture inserts into `Submit`, so the
  // ids of one statement are consecutive.
  std::vector<std::uint32_t> InsertSubmits(const std::vector<MtRow>& rows);
  // Opens the fixture's own connection again, for a test that restarted
  // the database server under it. False with the driver's message.
  bool ReopenDatabase(std::string* error);
  // 'text' quoted for this database's SQL.
  std::string Quote(std::string_view text) const;
  DbKind Kind() const { return options_.db; }
  // The DataSource brivane.ini holds (DSN-less).
  const std::string& DataSource() const { return dataSource_; }
  // A complete connection string (with Uid/Pwd) for connections of a
  // caller's own, such as a benchmark's.
  std::string ConnectionString() const;

  // ---- logs ----
  std::string Log() const;
  // brivane.log lines containing `part`, in order.
  std::vector<TimedLine> LogLines(std::string_view part) const;
  std::size_t LogCount(std::string_view part) const;
  bool WaitLog(std::string_view part, std::size_t count, std::chrono::milliseconds timeout) const;
  // The PDUs the simulator received (0 = every command), from its log.
  std::vector<SmgPdu> SmgReceived(std::uint32_t commandId = 0) const;
  std::string SmgLogPath() const;
  // The `submits` list of the simulator from index `from` on, one JSON
  // object per line.
  std::vector<std::string> SmgSubmits(std::size_t from = 0);

  // ---- the process ----
  // A 32-bit field of brivane's status block (offsets in base/status_block.h);
  // 0 while the block does not exist.
  std::uint32_t StatusField(std::size_t offset);
  // brivane's resident memory in KiB (VmRSS); 0 when it does not run.
  long ResidentKb() const;
  const std::string& StatusBlockName() const { return block_; }

 private:
  bool CreateDatabase(std::string* error);
  bool WaitStartLine(std::size_t nth, std::string* error);
  // brivane exited because another process held the HTTPS port the fixture
  // picked for it.
  bool OwnHttpPortTaken();
  db::Connection& Own();

  E2eOptions options_;
  TempDir home_;
  std::string block_;
  int httpPort_ = 0;
  std::vector<std::pair<std::string, std::string>> ini_;  // [Parameters] in order
  std::string dataSource_;
  std::string ownConnection_;
  MariaDbServer* server_ = nullptr;
  std::string mariaDbName_;
  SmgProcess smg_;
  ChildProcess brivane_;
  std::size_t startsSeen_ = 0;
  mutable std::mutex dbMutex_;
  std::unique_ptr<db::Connection> own_;
  const volatile std::uint8_t* blockMap_ = nullptr;
};

}  // namespace brivane::test
