#include "support/e2e_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/status_block.h"
#include "base/text.h"
#include "db/odbc.h"
#include "support/odbc_support.h"

namespace brivane::test {
namespace {

constexpr const char* kStartedLine = "信息：网关服务启动！";
constexpr const char* kStartFailedLine = "严重：网关服务启动失败！";
constexpr std::size_t kInsertChunk = 200;
constexpr std::int64_t kDayMs = 86400000;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string Tail(const std::string& text, std::size_t lines) {
  std::size_t at = text.size();
  for (std::size_t n = 0; n <= lines && at > 0; ++n) {
    at = text.rfind('\n', at - 1);
    if (at == std::string::npos) return text;
  }
  return text.substr(at + 1);
}

// "hh:mm:ss.uuu" at `at` as milliseconds since midnight; -1 when malformed.
std::int64_t ClockMs(const std::string& line, std::size_t at) {
  int h = 0, m = 0, s = 0, ms = 0;
  if (line.size() < at + 12 ||
      std::sscanf(line.c_str() + at, "%2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4)
    return -1;
  return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

std::atomic<int> gSystems{0};

}  // namespace

MariaDbServer* SharedMariaDb(std::string* error) {
  static std::unique_ptr<MariaDbServer> server;
  static std::string reason;
  static bool tried = false;
  if (!tried) {
    tried = true;
    auto started = std::make_unique<MariaDbServer>();
    if (started->Start(&reason)) server = std::move(started);
  }
  if (!server && error) *error = "MariaDB server: " + reason;
  return server.get();
}

std::int64_t ElapsedMs(std::int64_t a, std::int64_t b) {
  std::int64_t d = b - a;
  if (d < -kDayMs / 2) d += kDayMs;
  if (d > kDayMs / 2) d -= kDayMs;
  return d;
}

std::string JsonValue(const std::string& json, const std::string& key) {
  const std::string name = "\"" + key + "\":";
  std::size_t at = json.find(name);
  if (at == std::string::npos) return "";
  at += name.size();
  if (at < json.size() && json[at] == '"') {
    std::string value;
    for (std::size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) ++i;
      value += json[i];
    }
    return value;
  }
  const std::size_t end = json.find_first_of(",}", at);
  return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string Ucs2Hex(std::string_view utf8) {
  std::string bytes;
  for (char16_t unit : base::Utf8ToUtf16(utf8)) {
    bytes += static_cast<char>(unit >> 8);
    bytes += static_cast<char>(unit & 0xFF);
  }
  return Hex(bytes);
}

// ------------------------------------------------------------------ DbRow

std::string DbRow::Text(const std::string& column) const {
  auto it = values.find(column);
  if (it == values.end()) {
    ADD_FAILURE() << "no column " << column << " in the result";
    return "";
  }
  return it->second.value_or("");
}

bool DbRow::IsNull(const std::string& column) const {
  auto it = values.find(column);
  if (it == values.end()) {
    ADD_FAILURE() << "no column " << column << " in the result";
    return true;
  }
  return !it->second.has_value();
}

long long DbRow::Int(const std::string& column) const {
  const std::string text = Text(column);
  try {
    return text.empty() ? 0 : std::stoll(text);
  } catch (const std::exception&) {
    ADD_FAILURE() << "column " << column << " is not a number: " << text;
    return 0;
  }
}

// ------------------------------------------------------------------ system

E2eSystem::E2eSystem(E2eOptions options)
    : options_(std::move(options)),
      home_("brivane-e2e"),
      block_("/brivane-e2e-" + std::to_string(getpid()) + "-" + std::to_string(gSystems++)) {}

E2eSystem::~E2eSystem() {
  if (brivane_.Pid() > 0) StopBrivane();
  smg_.Stop();
  {
    std::lock_guard lock(dbMutex_);
    own_.reset();
  }
  if (server_ && !mariaDbName_.empty())
    server_->Execute("DROP DATABASE IF EXISTS `" + mariaDbName_ + "`");
  if (blockMap_) munmap(const_cast<std::uint8_t*>(blockMap_), base::kStatusBlockSize);
  shm_unlink(block_.c_str());
}

bool E2eSystem::Start(std::string* error) { return Prepare(error) && StartBrivane(error); }

bool E2eSystem::CreateDatabase(std::string* error) {
  if (options_.db == DbKind::kSqlite) {
    SqliteDatabase database(home_.File("brivane.db"));
    if (!database.Create(error, options_.schemaFile)) return false;
    if (!options_.extraSchemaSql.empty()) {
      std::string output;
      if (!RunProgram({FindProgram("sqlite3"), "-bail", database.Path(), options_.extraSchemaSql},
                      &output)) {
        if (error) *error = "extra schema SQL failed: " + output;
        return false;
      }
    }
    dataSource_ = database.OdbcDataSource();
    ownConnection_ = dataSource_;
    SetIni("DBType", "sqlite");
    SetIni("DataSource", dataSource_);
    return true;
  }
  server_ = options_.mariaDb ? options_.mariaDb : SharedMariaDb(error);
  if (!server_) return false;
  mariaDbName_ = "e2e_" + std::to_string(getpid()) + "_" + block_.substr(block_.rfind('-') + 1);
  if (!server_->CreateDatabase(mariaDbName_, error, options_.schemaFile)) return false;
  if (!options_.extraSchemaSql.empty()) {
    std::string output;
    if (!server_->Execute(options_.extraSchemaSql, &output, mariaDbName_)) {
      if (error) *error = "extra schema SQL failed: " + output;
      return false;
    }
  }
  dataSource_ = server_->OdbcDataSource(mariaDbName_);
  ownConnection_ = server_->OdbcConnectionString(mariaDbName_);
  SetIni("DBType", "mysql");
  SetIni("DataSource", dataSource_);
  SetIni("DBUser", "root");
  SetIni("DBPassword", "");
  return true;
}

bool E2eSystem::Prepare(std::string* error) {
  if (home_.Path().empty()) {
    if (error) *error = "cannot create a temporary home";
    return false;
  }
  ini_.clear();
  httpPort_ = FreePort();
  SetIni("LogLevel", std::to_string(options_.logLevel));
  SetIni("HTTPPort", std::to_string(httpPort_));
  if (!CreateDatabase(error)) return false;
  try {
    std::lock_guard lock(dbMutex_);
    own_ = std::make_unique<db::Connection>();
    own_->Open(ownConnection_);
  } catch (const db::DbException& e) {
    if (error) *error = std::string("cannot open the test's own connection: ") + e.what();
    return false;
  }

  SmgProcess::Options smg = options_.smg;
  if (smg.logFile.empty()) smg.logFile = home_.File("smg.log");
  options_.smg = smg;
  if (!smg_.Start(smg)) {
    if (error) *error = "brivane-smg did not start: " + ReadFile(smg_.OutputFile());
    return false;
  }
  const std::string port = std::to_string(smg_.Port(0));
  SetIni("MTSpeedLimit", std::to_string(options_.mtSpeedLimit));
  SetIni("SMGAddress", "127.0.0.1");
  SetIni("SMGVersion", std::to_string(smg.version));
  SetIni("SPCorpID", options_.spCorpId);
  SetIni("SPID", options_.spId);
  SetIni("SPLoginName", smg.login);
  SetIni("SPPassword", smg.secret);
  SetIni("MTAndMOPort", port);
  SetIni("MTPort", port);
  SetIni("MOPort", port);
  SetIni("MTAndMOConnections", std::to_string(options_.mtAndMOConnections));
  SetIni("MTConnections", std::to_string(options_.mtConnections));
  SetIni("MOConnections", std::to_string(options_.moConnections));
  SetIni("WorkThreads", std::to_string(options_.workThreads));
  SetIni("EnableHTTPClient", options_.enableHTTPClient ? "1" : "0");
  for (const auto& [key, value] : options_.extraIni) SetIni(key, value);
  WriteIni();
  return true;
}

void E2eSystem::SetIni(const std::string& key, const std::string& value) {
  const std::string lower = Lower(key);
  for (auto& entry : ini_) {
    if (Lower(entry.first) == lower) {
      entry.second = value;
      return;
    }
  }
  ini_.emplace_back(key, value);
}

void E2eSystem::WriteIni() {
  std::string text = "[Parameters]\n";
  for (const auto& [key, value] : ini_) text += key + "=" + value + "\n";
  WriteFile(IniPath(), text);
}

// HTTPPort takes 1 to 65535, so brivane cannot be given port 0: the fixture
// gives it a port found free. When another process took that port before
// brivane bound it, brivane exits at once saying so, and the start is tried
// again on another port.
bool E2eSystem::StartBrivane(std::string* error) {
  constexpr int kAttempts = 3;
  std::map<std::string, std::string> env = options_.brivaneEnv;
  env["BRIVANE_STATUS_BLOCK"] = block_;
  for (int attempt = 1;; ++attempt) {
    WriteIni();
    if (!brivane_.Start({BuiltProgram("brivane"), "run", "--home", home_.Path()},
                        home_.File("brivane.out"), env)) {
      if (error) *error = "cannot start " + BuiltProgram("brivane");
      return false;
    }
    if (WaitStartLine(++startsSeen_, error)) return true;
    if (attempt == kAttempts || !OwnHttpPortTaken()) return false;
    --startsSeen_;
    httpPort_ = FreePort();
    SetIni("HTTPPort", std::to_string(httpPort_));
  }
}

bool E2eSystem::OwnHttpPortTaken() {
  const auto own = std::find_if(ini_.begin(), ini_.end(),
                                [](const auto& entry) { return Lower(entry.first) == "httpport"; });
  return !brivane_.Running() && own != ini_.end() && own->second == std::to_string(httpPort_) &&
         BrivaneRefusedPort(ReadFile(home_.File("brivane.out")), httpPort_);
}

bool E2eSystem::WaitStartLine(std::size_t nth, std::string* error) {
  const std::size_t failedBefore = LogCount(kStartFailedLine);
  bool started = false, failed = false;
  WaitFor(
      [&] {
        started = LogCount(kStartedLine) >= nth;
        failed = LogCount(kStartFailedLine) > failedBefore || !brivane_.Running();
        return started || failed;
      },
      options_.startTimeout, std::chrono::milliseconds(25));
  if (started) return true;
  if (error) {
    *error = failed ? "brivane did not start" : "brivane did not start in time";
    *error +=
        "; output: " + ReadFile(home_.File("brivane.out")) + "; log tail:\n" + Tail(Log(), 25);
  }
  return false;
}

bool E2eSystem::RestartBrivane(std::string* error) {
  if (!brivane_.Running()) {
    if (error) *error = "brivane is not running";
    return false;
  }
  WriteIni();
  brivane_.Signal(SIGHUP);
  return WaitStartLine(++startsSeen_, error);
}

int E2eSystem::StopBrivane(std::chrono::milliseconds grace) {
  if (brivane_.Pid() <= 0) return -1;
  brivane_.Signal(SIGTERM);
  int status = brivane_.Wait(grace);
  if (status == -1) brivane_.Kill();
  return status;
}

bool E2eSystem::BrivaneRunning() { return brivane_.Running(); }

// ------------------------------------------------------------------ database

db::Connection& E2eSystem::Own() {
  if (!own_) throw db::DbException(db::DbError{-1, "08003", "E2eSystem", "not prepared"});
  return *own_;
}

bool E2eSystem::ReopenDatabase(std::string* error) {
  std::lock_guard lock(dbMutex_);
  try {
    own_.reset();
    own_ = std::make_unique<db::Connection>();
    own_->Open(ownConnection_);
    return true;
  } catch (const db::DbException& e) {
    if (error) *error = std::string("cannot open the test's own connection: ") + e.what();
    return false;
  }
}

bool E2eSystem::Exec(const std::string& sql) {
  std::lock_guard lock(dbMutex_);
  try {
    Own().Execute(sql);
    return true;
  } catch (const db::DbException& e) {
    ADD_FAILURE() << "statement failed: " << sql.substr(0, 300) << "\n" << e.what();
    return false;
  }
}

std::vector<DbRow> E2eSystem::Query(const std::string& sql) {
  std::lock_guard lock(dbMutex_);
  std::vector<DbRow> rows;
  try {
    db::Recordset rs = Own().Execute(sql);
    if (rs.RecordCount() > 0) rs.MoveFirst();
    for (; !rs.Eof(); rs.MoveNext()) {
      DbRow row;
      for (const std::string& name : rs.ColumnNames()) {
        if (rs.IsNull(name)) {
          row.values[name] = std::nullopt;
        } else {
          row.values[name] = base::Utf16ToUtf8(rs.GetTextUtf16(name));
        }
      }
      rows.push_back(std::move(row));
    }
  } catch (const db::DbException& e) {
    ADD_FAILURE() << "query failed: " << sql << "\n" << e.what();
  }
  return rows;
}

long long E2eSystem::Scalar(const std::string& sql) {
  std::lock_guard lock(dbMutex_);
  try {
    db::Recordset rs = Own().Execute(sql);
    if (rs.RecordCount() == 0 || rs.FieldCount() == 0) {
      ADD_FAILURE() << "no value from: " << sql;
      return -1;
    }
    rs.MoveFirst();
    const std::string& column = rs.FieldName(0);
    if (rs.IsNull(column)) return 0;
    return std::stoll(base::Utf16ToUtf8(rs.GetTextUtf16(column)));
  } catch (const std::exception& e) {
    ADD_FAILURE() << "query failed: " << sql << "\n" << e.what();
    return -1;
  }
}

bool E2eSystem::WaitScalar(const std::string& sql, long long atLeast,
                           std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Scalar(sql) >= atLeast; }, timeout, std::chrono::milliseconds(50));
}

bool E2eSystem::WaitLoggedAndMarked(long long rows, std::chrono::milliseconds timeout) {
  return WaitScalar("SELECT COUNT(DISTINCT SubmitID) FROM SubmitLog WHERE SMSCount IS NOT NULL",
                    rows, timeout);
}

std::string E2eSystem::Quote(std::string_view text) const {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    // MariaDB reads backslashes in literals as escapes.
    if (c == '\\' && options_.db == DbKind::kMariaDb) out += '\\';
    out += c;
  }
  return out + "'";
}

std::string E2eSystem::ConnectionString() const { return ownConnection_; }

std::vector<std::uint32_t> E2eSystem::InsertSubmits(const std::vector<MtRow>& rows) {
  std::vector<std::uint32_t> ids;
  bool withLinkId = false;
  for (const MtRow& r : rows) withLinkId = withLinkId || r.linkId.has_value();
  for (std::size_t start = 0; start < rows.size(); start += kInsertChunk) {
    const std::size_t end = std::min(rows.size(), start + kInsertChunk);
    std::string sql =
        "INSERT INTO Submit (ServiceId, FeeType, FeeCode, SrcId, Mobile, ISWappush, PushURL, Msg";
    sql += withLinkId ? ", LinkId) VALUES " : ") VALUES ";
    for (std::size_t i = start; i < end; ++i) {
      const MtRow& r = rows[i];
      if (i > start) sql += ",";
      const std::string values[] = {Quote(r.serviceId),
                                    Quote(r.feeType),
                                    Quote(r.feeCode),
                                    r.srcId ? Quote(*r.srcId) : "NULL",
                                    Quote(r.mobile),
                                    r.wapPush ? "1" : "0",
                                    Quote(r.pushUrl),
                                    Quote(r.msg),
                                    r.linkId ? Quote(*r.linkId) : "NULL"};
      sql += '(';
      for (std::size_t k = 0; k < (withLinkId ? 9u : 8u); ++k) {
        if (k > 0) sql += ',';
        sql += values[k];
      }
      sql += ')';
    }
    std::lock_guard lock(dbMutex_);
    try {
      Own().Execute(sql);
      db::Recordset rs =
          Own().Execute(options_.db == DbKind::kSqlite ? "SELECT last_insert_rowid() AS id"
                                                       : "SELECT LAST_INSERT_ID() AS id");
      rs.MoveFirst();
      const auto id = static_cast<std::uint32_t>(rs.GetInt("id"));
      const auto n = static_cast<std::uint32_t>(end - start);
      // SQLite gives the last id of the statement, MariaDB the first.
      const std::uint32_t first = options_.db == DbKind::kSqlite ? id - n + 1 : id;
      for (std::uint32_t k = 0; k < n; ++k) ids.push_back(first + k);
    } catch (const db::DbException& e) {
      ADD_FAILURE() << "insert into Submit failed: " << e.what();
      return ids;
    }
  }
  return ids;
}

// ------------------------------------------------------------------ logs

std::string E2eSystem::Log() const { return ReadFile(home_.File("brivane.log")); }

std::vector<TimedLine> E2eSystem::LogLines(std::string_view part) const {
  std::vector<TimedLine> lines;
  std::istringstream in(Log());
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) == std::string::npos) continue;
    // "yyyy/MM/dd hh:mm:ss.uuu<TAB>text"
    const std::int64_t ms = ClockMs(line, 11);
    const std::size_t tab = line.find('\t');
    if (ms < 0 || tab == std::string::npos) continue;
    lines.push_back({ms, line.substr(tab + 1)});
  }
  return lines;
}

std::size_t E2eSystem::LogCount(std::string_view part) const {
  const std::string log = Log();
  std::size_t n = 0;
  for (std::size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
  return n;
}

bool E2eSystem::WaitLog(std::string_view part, std::size_t count,
                        std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return LogCount(part) >= count; }, timeout, std::chrono::milliseconds(25));
}

std::string E2eSystem::SmgLogPath() const { return options_.smg.logFile; }

std::vector<SmgPdu> E2eSystem::SmgReceived(std::uint32_t commandId) const {
  std::vector<SmgPdu> pdus;
  std::istringstream in(ReadFile(SmgLogPath()));
  for (std::string line; std::getline(in, line);) {
    // "hh:mm:ss.uuu rx conn=N cmd=0xXXXXXXXX seq=N len=N"
    if (line.compare(12, 4, " rx ") != 0) continue;
    SmgPdu pdu;
    pdu.msOfDay = ClockMs(line, 0);
    if (pdu.msOfDay < 0 ||
        std::sscanf(line.c_str() + 16, "conn=%u cmd=0x%x seq=%u len=%u", &pdu.conn, &pdu.commandId,
                    &pdu.sequenceId, &pdu.length) != 4)
      continue;
    if (commandId == 0 || pdu.commandId == commandId) pdus.push_back(pdu);
  }
  return pdus;
}

std::vector<std::string> E2eSystem::SmgSubmits(std::size_t from) {
  std::vector<std::string> lines = smg_.CommandLines("submits " + std::to_string(from));
  if (lines.empty() || lines.front().rfind("OK", 0) != 0) {
    ADD_FAILURE() << "the simulator's submit list is not available";
    return {};
  }
  lines.erase(lines.begin());
  return lines;
}

// ------------------------------------------------------------------ process

std::uint32_t E2eSystem::StatusField(std::size_t offset) {
  if (!blockMap_) {
    const int fd = shm_open(block_.c_str(), O_RDONLY, 0);
    if (fd < 0) return 0;
    void* p = mmap(nullptr, base::kStatusBlockSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return 0;
    blockMap_ = static_cast<const volatile std::uint8_t*>(p);
  }
  if (offset + 4 > base::kStatusBlockSize) return 0;
  std::uint32_t value = 0;
  std::memcpy(&value, const_cast<const std::uint8_t*>(blockMap_) + offset, sizeof value);
  return value;
}

long E2eSystem::ResidentKb() const {
  if (brivane_.Pid() <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(brivane_.Pid()) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace brivane::test
