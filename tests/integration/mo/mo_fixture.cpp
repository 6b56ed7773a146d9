#include "mo_fixture.h"

#include <iconv.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>

#include "base/status_block.h"

namespace brivane::test {
namespace {

// Field and row separators the sqlite3 program puts between values; texts
// that could hold anything are selected as hex.
constexpr char kFieldSep[] = "\x1f";
constexpr char kRowSep[] = "\x1e";

std::string Convert(std::string_view text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in(text), out(text.size() * 4 + 16, '\0');
  char* inp = in.data();
  char* outp = out.data();
  std::size_t inLeft = in.size(), outLeft = out.size();
  std::size_t rc = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return {};
  out.resize(out.size() - outLeft);
  return out;
}

std::vector<std::string> Split(const std::string& text, const std::string& sep) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + sep.size();
  }
}

long ToLong(const std::string& s) {
  try {
    return s.empty() ? 0 : std::stol(s);
  } catch (const std::exception&) {
    return -999999;
  }
}

std::string UniqueBlockName() {
  static std::atomic<int> n{0};
  return "/brivane-mo-" + std::to_string(getpid()) + "-" + std::to_string(n++);
}

}  // namespace

std::string HexOf(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::string BytesOfHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::string Ucs2BeOf(std::string_view utf8) { return Convert(utf8, "UTF-16BE", "UTF-8"); }
std::string GbkOf(std::string_view utf8) { return Convert(utf8, "GBK", "UTF-8"); }

void MoEndToEnd::SetUp() {
  home_ = std::make_unique<TempDir>("brivane-mo");
  db_ = std::make_unique<SqliteDatabase>(home_->File("brivane.db"));
  std::string error;
  ASSERT_TRUE(db_->Create(&error)) << error;
  sqlite3_ = FindProgram("sqlite3");
  ASSERT_FALSE(sqlite3_.empty());
  ASSERT_FALSE(OdbcDriverLibrary("libsqlite3odbc.so").empty())
      << "the SQLite ODBC driver (libsqliteodbc) is missing";
  ASSERT_TRUE(app_.Running()) << "the application receiver could not listen";
  SmgProcess::Options options;
  options.version = 48;
  options.logFile = home_->File("smg.log");
  ASSERT_TRUE(smg_.Start(options)) << ReadFile(smg_.OutputFile());
  block_ = UniqueBlockName();
}

void MoEndToEnd::TearDown() {
  if (brivane_.Pid() > 0) {
    int status = brivane_.Stop(std::chrono::seconds(15));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "brivane did not stop cleanly (status " << status << ")\n"
        << Diagnostics();
  }
  smg_.Stop();
  shm_unlink(block_.c_str());
  if (HasFailure()) std::cerr << Diagnostics();
}

void MoEndToEnd::AddRoute(int serviceId, const std::string& spNumber, const std::string& path,
                          int enableRoute, const std::string& serviceCode) {
  Sql("INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, PostInterface, "
      "EnableRoute) VALUES (" +
      std::to_string(serviceId) + ", '" + serviceCode + "', '01', '000000', '" + spNumber + "', '" +
      app_.Url(path) + "', " + std::to_string(enableRoute) + ")");
}

bool MoEndToEnd::StartBrivane(const std::map<std::string, std::string>& keys, bool waitStarted) {
  httpPort_ = FreePort();
  std::map<std::string, std::string> ini = {
      {"LogLevel", "4"},
      {"HTTPPort", std::to_string(httpPort_)},
      {"DataSource", db_->OdbcDataSource()},
      {"DBType", "sqlite"},
      {"SMGAddress", "127.0.0.1"},
      {"SMGVersion", "48"},
      {"SPLoginName", "900001"},
      {"SPPassword", "888888"},
      {"SPCorpID", "901234"},
      {"SPID", "10661234"},
      {"MTAndMOPort", std::to_string(smg_.Port())},
      {"MTAndMOConnections", "1"},
      {"WorkThreads", "16"},
      {"EnableHTTPClient", "1"},
      {"DialogCarrierID", "46000"},
      {"DialogCarrierNAME", "A&B"},
      {"MOHTTPQuestTimeout", "5000"},
  };
  for (const auto& [key, value] : keys) ini[key] = value;
  std::string text = "[Parameters]\n";
  for (const auto& [key, value] : ini) text += key + "=" + value + "\n";
  WriteFile(home_->File("brivane.ini"), text);
  if (!brivane_.Start({BuiltProgram("brivane"), "run", "--home", home_->Path()},
                      home_->File("brivane.out"), {{"BRIVANE_STATUS_BLOCK", block_}}))
    return false;
  if (!waitStarted) return brivane_.Running();
  return WaitFor([&] { return !brivane_.Running() || Counter(base::kStarted) == 1; }, kWait) &&
         brivane_.Running() && smg_.WaitStat("logins", 1, kWait);
}

bool MoEndToEnd::RestartBrivane() {
  const long logins = smg_.Stats()["logins"];
  // The restart clears the started flag before it logs in again; wait for
  // the new login, then for the flag.
  brivane_.Signal(SIGHUP);
  return smg_.WaitStat("logins", logins + 1, kWait) &&
         WaitFor([&] { return Counter(base::kStarted) == 1; }, kWait) && brivane_.Running();
}

std::vector<std::vector<std::string>> MoEndToEnd::Sql(const std::string& sql) {
  std::string output;
  const bool ok = RunProgram({sqlite3_, "-batch", "-noheader", "-separator", kFieldSep, "-newline",
                              kRowSep, "-cmd", ".timeout 10000", db_->Path(), sql},
                             &output);
  EXPECT_TRUE(ok) << sql << "\n" << output;
  std::vector<std::vector<std::string>> rows;
  if (!ok) return rows;
  for (const std::string& line : Split(output, kRowSep)) {
    if (line.empty()) continue;
    rows.push_back(Split(line, kFieldSep));
  }
  return rows;
}

std::vector<DeliverRow> MoEndToEnd::Delivers() {
  std::vector<DeliverRow> out;
  for (const auto& f :
       Sql("SELECT hex(Mobile), hex(Msg), hex(SPNumber), hex(LinkId), hex(MsgId), ResponseCode, "
           "hex(ResponseInfo), hex(ReplyBody), ServiceId, PKTotal, hex(ServiceCode) FROM Deliver "
           "ORDER BY DeliverID")) {
    if (f.size() != 11) {
      ADD_FAILURE() << "unexpected Deliver row with " << f.size() << " fields";
      continue;
    }
    DeliverRow r;
    r.mobile = BytesOfHex(f[0]);
    r.msg = BytesOfHex(f[1]);
    r.spNumber = BytesOfHex(f[2]);
    r.linkId = BytesOfHex(f[3]);
    r.msgId = BytesOfHex(f[4]);
    r.responseCode = ToLong(f[5]);
    r.responseInfo = BytesOfHex(f[6]);
    r.replyBody = BytesOfHex(f[7]);
    r.serviceId = ToLong(f[8]);
    r.pkTotal = ToLong(f[9]);
    r.serviceCode = BytesOfHex(f[10]);
    out.push_back(std::move(r));
  }
  return out;
}

bool MoEndToEnd::WaitDelivers(std::size_t atLeast, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        auto rows = Sql("SELECT COUNT(*) FROM Deliver");
        return !rows.empty() && ToLong(rows[0][0]) >= static_cast<long>(atLeast);
      },
      timeout, std::chrono::milliseconds(50));
}

std::uint32_t MoEndToEnd::Counter(std::size_t offset) {
  base::ServiceStatusBlock block;
  if (block.OpenReadOnly(block_) != 0) return 0;
  return block.Get(offset);
}

bool MoEndToEnd::WaitCounter(std::size_t offset, std::uint32_t atLeast,
                             std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Counter(offset) >= atLeast; }, timeout);
}

bool MoEndToEnd::SendMo(const std::string& src, const std::string& dest, int fmt,
                        std::string_view content, const std::string& service,
                        const std::string& linkId) {
  std::string line = "mo " + src + " " + dest + " " + std::to_string(fmt) + " " + HexOf(content);
  if (!service.empty() || !linkId.empty()) line += " " + (service.empty() ? "SVC" : service);
  if (!linkId.empty()) line += " " + linkId;
  const std::string reply = smg_.Command(line);
  EXPECT_EQ(reply.rfind("OK seq=", 0), 0u) << line << " -> " << reply;
  return reply.rfind("OK seq=", 0) == 0;
}

std::string MoEndToEnd::Log() const { return ReadFile(home_->File("brivane.log")); }

std::string MoEndToEnd::Diagnostics() const {
  auto tail = [](const std::string& text) {
    return text.size() > 6000 ? text.substr(text.size() - 6000) : text;
  };
  return "---- brivane.log (end)\n" + tail(Log()) + "\n---- brivane.out\n" +
         tail(ReadFile(home_->File("brivane.out"))) + "\n---- smg.log (end)\n" +
         tail(ReadFile(home_->File("smg.log"))) + "\n";
}

}  // namespace brivane::test
