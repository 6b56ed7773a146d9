#include "service/config.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>

#include "db/claims.h"

namespace brivane::service {
namespace {

constexpr const char* kDataSourceHelp =
    "ODBC数据源名称。首先要在ODBC数据源管理器里面"
    "<a href=\"https://www.unixodbc.org/odbcinst.html\" target=\"_blank\" "
    "rel=\"noopener noreferrer\">配置一个VESKA使用的数据源</a>。";

constexpr std::int64_t kNoBound = 0;

std::string_view TrimBlanks(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool ParseInteger(std::string_view text, std::int64_t* value) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, 10);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

std::string LowerAscii(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

bool HasControl(std::string_view text) {
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

}  // namespace

const std::array<FormField, 25> kFormFields = {{
    {"LogLevel", FieldKind::kInteger, 0, 0, 9, "",
     "日志级别。1=严重错误, 2=错误, 3=警告, 4=消息;如果要显示上下行消息记录请设成大于等于3"},
    {"AdminUserName", FieldKind::kString, 25, kNoBound, kNoBound, "", "登录参数配置页面的用户名"},
    {"AdminPassword", FieldKind::kPassword, 25, kNoBound, kNoBound, "", "登录参数配置页面的密码"},
    {"HTTPPort", FieldKind::kInteger, 0, 1, 65535, "", "配置页面的端口号"},
    {"DataSource", FieldKind::kString, 50, kNoBound, kNoBound, "", kDataSourceHelp},
    {"DBUser", FieldKind::kString, 50, kNoBound, kNoBound, "", "数据库用户名"},
    {"DBPassword", FieldKind::kPassword, 50, kNoBound, kNoBound, "", "数据库密码"},
    {"DBType", FieldKind::kString, 50, kNoBound, kNoBound, "",
     "数据库类型。目前支持mssql，mysql或oracle。"},
    {"SMGAddress", FieldKind::kString, 50, kNoBound, kNoBound, "", ""},
    {"AsiaInfoSMG", FieldKind::kBoolean, 0, kNoBound, kNoBound, "", "是否是亚信网关"},
    {"SPCorpID", FieldKind::kString, 6, kNoBound, kNoBound, "", "企业代码"},
    {"SPID", FieldKind::kString, 21, kNoBound, kNoBound, "", "服务号码"},
    {"SMGVersion", FieldKind::kInteger, 0, 32, 100, "", "CMPP2.0协议填32,CMPP3.0协议填48"},
    {"SPLoginName", FieldKind::kString, 50, kNoBound, kNoBound, "",
     "登录网关用户名，一般和企业代码一致"},
    {"SPPassword", FieldKind::kPassword, 50, kNoBound, kNoBound, "", ""},
    {"MOPort", FieldKind::kInteger, 0, 1, 65535, "", ""},
    {"MTPort", FieldKind::kInteger, 0, 1, 65535, "", ""},
    {"MTAndMOPort", FieldKind::kInteger, 0, 1, 65535, "", ""},
    {"MOConnections", FieldKind::kInteger, 0, 0, 255, "个",
     "如果MO和MT连接是分开的，则分别配置MO和MT的网关连接数，同时把MTAndMOConnections配置成0"},
    {"MTConnections", FieldKind::kInteger, 0, 0, 255, "个", ""},
    {"MTAndMOConnections", FieldKind::kInteger, 0, 0, 255, "个", ""},
    {"DialogCarrierID", FieldKind::kString, 50, kNoBound, kNoBound, "", ""},
    {"DialogCarrierNAME", FieldKind::kString, 50, kNoBound, kNoBound, "", ""},
    {"MOHTTPQuestTimeout", FieldKind::kInteger, 0, 3000, 600000, "ms", "value limited(1000-60000)"},
    {"EnableHTTPClient", FieldKind::kBoolean, 0, kNoBound, kNoBound, "", ""},
}};

const FormField* FindFormField(std::string_view key) {
  for (const auto& field : kFormFields)
    if (key == field.key) return &field;
  return nullptr;
}

ServiceConfig ReadServiceConfig(const base::ConfigSection& section, int systemLogLevel,
                                const std::string& previousSubmitQuery) {
  ServiceConfig c;
  auto& shown = c.formShown;
  auto password = [&](const char* key, const char* defaultValue) {
    std::string error;
    std::string clear = section.GetPassword(key, defaultValue, &error);
    if (!error.empty()) c.passwordErrors.push_back(error);
    return clear;
  };
  auto integer = [&](const char* key, std::int64_t defaultValue) {
    return static_cast<std::int32_t>(section.GetInteger(key, defaultValue));
  };

  c.logLevel = integer("LogLevel", systemLogLevel);
  shown["LogLevel"] = std::to_string(c.logLevel);
  c.adminUserName = section.GetString("AdminUserName", "admin");
  shown["AdminUserName"] = c.adminUserName;
  c.adminPassword = password("AdminPassword", kDefaultAdminPassword);
  c.adminPasswordIsDefault = c.adminPassword == kDefaultAdminPassword;
  // A value that is no port refuses the first start; a restart keeps the
  // default rather than listen on the value cut to 16 bits.
  const std::int64_t httpPort = section.GetInteger("HTTPPort", kDefaultHttpPort);
  c.httpPort =
      static_cast<std::uint16_t>(httpPort >= 1 && httpPort <= 65535 ? httpPort : kDefaultHttpPort);
  shown["HTTPPort"] = std::to_string(c.httpPort);
  c.certificate = section.GetString("Certificate", "server.pem");
  c.httpListenAddress = section.GetString("HTTPListenAddress", "");
  c.metricsUserName = section.GetString("MetricsUserName", "");
  c.metricsPassword = password("MetricsPassword", "");

  c.dataSource = section.GetString("DataSource", "");
  shown["DataSource"] = c.dataSource;
  c.dbUser = section.GetString("DBUser", "user_cmpp");
  shown["DBUser"] = c.dbUser;
  c.dbPassword = password("DBPassword", "");
  c.dbType = LowerAscii(section.GetString("DBType", "mssql"));
  shown["DBType"] = c.dbType;
  c.spUpdateSubmit = section.GetString("SP_UpdateSubmit", "uspUpdateSubmitState");
  c.spDelSubmit = section.GetString("SP_DelSubmit", "uspMoveSubmitToLog");
  c.spAddDeliver = section.GetString("SP_AddDeliver", "uspAddDeliver");
  c.spAddStatusReport = section.GetString("SP_AddStatusReport", "uspAddStatusReport");
  c.dbCommitBatch = integer("DBCommitBatch", 100);
  c.dbCommitWait = integer("DBCommitWait", 0);
  c.connectionString = db::BuildConnectionString(DatabaseSettings(c));
  // 0 or less would never send a row; such a value refuses the first start,
  // and a restart keeps the default.
  c.mtSpeedLimit = integer("MTSpeedLimit", kDefaultMTSpeedLimit);
  if (c.mtSpeedLimit <= 0) c.mtSpeedLimit = kDefaultMTSpeedLimit;
  c.submitQuery = previousSubmitQuery;
  c.dbTypeSupported = BuildSubmitQuery(c.dbType, c.mtSpeedLimit, &c.submitQuery);
  // An operator's own polling query or procedure (several instances on one
  // database claim their rows this way) replaces the built one.
  c.customSubmitQuery = section.GetString("SubmitQuery", "");
  if (!c.customSubmitQuery.empty()) c.submitQuery = c.customSubmitQuery;
  c.claimSubmits = section.GetBoolean("ClaimSubmits", false);
  c.instanceId = section.GetString("InstanceID", "");
  // A lease shorter than a few passes would let a live instance's claims be
  // taken while it sends them.
  const std::int64_t lease = section.GetInteger("ClaimLease", 60);
  c.claimLease = std::chrono::seconds(lease <= 0 ? 60 : std::max<std::int64_t>(lease, 5));
  const std::int64_t respTimeout = section.GetInteger("SubmitRespTimeout", 600);
  c.submitRespTimeout = std::chrono::seconds(respTimeout <= 0 ? 600 : respTimeout);

  c.smgAddress = section.GetString("SMGAddress", "0.0.0.0");
  shown["SMGAddress"] = c.smgAddress;
  c.asiaInfoSMG = section.GetBoolean("AsiaInfoSMG", false);
  shown["AsiaInfoSMG"] = c.asiaInfoSMG ? "true" : "false";
  c.spCorpID = section.GetString("SPCorpID", "");
  shown["SPCorpID"] = c.spCorpID;
  c.spID = section.GetString("SPID", "");
  shown["SPID"] = c.spID;
  c.smgVersion = integer("SMGVersion", kDefaultSMGVersion);
  shown["SMGVersion"] = std::to_string(c.smgVersion);
  c.terminalIdLength = TerminalIdLength(c.smgVersion);

  c.spLoginName = section.GetString("SPLoginName", "");
  shown["SPLoginName"] = c.spLoginName;
  c.spPassword = password("SPPassword", "");
  c.moPort = integer("MOPort", 7890);
  shown["MOPort"] = std::to_string(c.moPort);
  c.mtPort = integer("MTPort", 7890);
  shown["MTPort"] = std::to_string(c.mtPort);
  c.mtAndMOPort = integer("MTAndMOPort", 7890);
  shown["MTAndMOPort"] = std::to_string(c.mtAndMOPort);
  c.moConnections = integer("MOConnections", 0);
  shown["MOConnections"] = std::to_string(c.moConnections);
  c.mtConnections = integer("MTConnections", 0);
  shown["MTConnections"] = std::to_string(c.mtConnections);
  c.mtAndMOConnections = integer("MTAndMOConnections", 1);
  shown["MTAndMOConnections"] = std::to_string(c.mtAndMOConnections);
  c.workThreads = integer("WorkThreads", 500);

  c.dialogCarrierID = section.GetString("DialogCarrierID", "");
  shown["DialogCarrierID"] = c.dialogCarrierID;
  c.dialogCarrierNAME = section.GetString("DialogCarrierNAME", "");
  shown["DialogCarrierNAME"] = c.dialogCarrierNAME;
  std::int32_t timeoutMs = integer("MOHTTPQuestTimeout", 10000);
  c.moHTTPQuestTimeout = std::chrono::milliseconds(timeoutMs);
  shown["MOHTTPQuestTimeout"] = std::to_string(timeoutMs);
  c.enableHTTPClient = section.GetBoolean("EnableHTTPClient", false);
  c.moHTTPVerifyCertificate = section.GetBoolean("MOHTTPVerifyCertificate", true);
  shown["EnableHTTPClient"] = c.enableHTTPClient ? "true" : "false";
  return c;
}

std::string InstanceIdOf(const ServiceConfig& config, std::string_view host,
                         std::string_view home) {
  std::string id =
      config.instanceId.empty() ? std::string(host) + ":" + std::string(home) : config.instanceId;
  if (id.size() > db::kInstanceIdMax) {
    std::size_t end = db::kInstanceIdMax;
    // Back off over UTF-8 continuation bytes so no character is split.
    while (end > 0 && (static_cast<unsigned char>(id[end]) & 0xC0) == 0x80) --end;
    id.resize(end);
  }
  return id;
}

std::pair<int, std::string> PollingModeLine(const ServiceConfig& config,
                                            std::string_view instanceId) {
  if (!config.claimSubmits) {
    return {2, fmt::format("信息：MT轮询方式：查询（{}）", config.submitQuery)};
  }
  if (db::SyntaxForDbType(config.dbType) == db::ProcedureSyntax::kInsertIntoView) {
    return {1, fmt::format("严重：ClaimSubmits=1，但DBType={}没有认领过程：不发送任何MT消息！",
                           config.dbType)};
  }
  std::string line = fmt::format("信息：MT轮询方式：认领（{}，InstanceID={}，ClaimLease={}秒）",
                                 db::kClaimSubmitRows, instanceId, config.claimLease.count());
  if (!config.customSubmitQuery.empty()) line += "；SubmitQuery 不再使用";
  return {2, line};
}

bool BuildSubmitQuery(const std::string& dbTypeAnyCase, std::int32_t mtSpeedLimit,
                      std::string* query) {
  const std::string dbType = LowerAscii(dbTypeAnyCase);
  if (dbType == "mysql" || dbType == "postgresql" || dbType == "sqlite") {
    *query = fmt::format("SELECT * FROM Submit WHERE SubmitState = 0 LIMIT {}", mtSpeedLimit);
  } else if (dbType == "oracle") {
    *query = fmt::format("SELECT * FROM \"Submit\" WHERE \"SubmitState\" = 0 AND ROWNUM < {}",
                         mtSpeedLimit);
  } else if (dbType == "mssql") {
    *query = fmt::format("SELECT TOP {} * FROM Submit WHERE SubmitState = 0", mtSpeedLimit);
  } else {
    return false;
  }
  return true;
}

bool BuildSubmitChunkQuery(const std::string& dbTypeAnyCase,
                           const std::optional<std::int64_t>& afterId, std::int32_t rows,
                           std::string* query) {
  const std::string dbType = LowerAscii(dbTypeAnyCase);
  const std::string after = afterId ? fmt::format(" AND SubmitID > {}", *afterId) : "";
  if (dbType == "mysql" || dbType == "postgresql" || dbType == "sqlite") {
    *query = fmt::format("SELECT * FROM Submit WHERE SubmitState = 0{} ORDER BY SubmitID LIMIT {}",
                         after, rows);
  } else if (dbType == "oracle") {
    // ROWNUM is given before ORDER BY sorts, so the limit goes outside.
    *query = fmt::format(
        "SELECT * FROM (SELECT * FROM \"Submit\" WHERE \"SubmitState\" = 0{} ORDER BY "
        "\"SubmitID\") WHERE ROWNUM <= {}",
        afterId ? fmt::format(" AND \"SubmitID\" > {}", *afterId) : "", rows);
  } else if (dbType == "mssql") {
    *query = fmt::format("SELECT TOP {} * FROM Submit WHERE SubmitState = 0{} ORDER BY SubmitID",
                         rows, after);
  } else {
    return false;
  }
  return true;
}

std::int32_t SubmitRowsPerPass(const std::string& dbType, std::int32_t mtSpeedLimit) {
  const std::int32_t rows = LowerAscii(dbType) == "oracle" ? mtSpeedLimit - 1 : mtSpeedLimit;
  return std::max<std::int32_t>(0, rows);
}

bool IsRestartMessage(std::string_view initMsg) {
  constexpr std::string_view kRestart = "restart";
  if (initMsg.size() < kRestart.size()) return false;
  for (std::size_t i = 0; i < kRestart.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(initMsg[i])) != kRestart[i]) return false;
  return true;
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

FormCheck CheckForm(const std::multimap<std::string, std::string>& posted) {
  FormCheck check;
  auto find = [&](const std::string& name) -> const std::string* {
    auto it = posted.find(name);
    return it == posted.end() ? nullptr : &it->second;
  };
  for (const auto& field : kFormFields) {
    FieldChange change;
    change.field = &field;
    const std::string* value = find(field.key);
    auto fail = [&](const std::string& why) {
      check.errors.push_back(std::string(field.key) + ": " + why);
    };
    switch (field.kind) {
      case FieldKind::kInteger: {
        std::int64_t number = 0;
        if (!value || TrimBlanks(*value).empty()) {
          fail("a value is required");
        } else if (!ParseInteger(*value, &number)) {
          fail("not a whole number");
        } else if (number < field.min || number > field.max) {
          fail(fmt::format("must be between {} and {}", field.min, field.max));
        } else {
          change.value = std::to_string(number);
        }
        break;
      }
      case FieldKind::kString: {
        std::string why;
        std::string text = value ? std::string(TrimBlanks(*value)) : std::string();
        if (!value) {
          fail("missing from the form");
        } else if (!IsValidUtf8(text)) {
          fail("not valid UTF-8 text");
        } else if (!base::ConfigSection::CanStore(field.key, text, &why)) {
          fail(why);
        } else {
          change.value = std::move(text);
        }
        break;
      }
      case FieldKind::kPassword: {
        const std::string* clear = find(std::string(field.key) + ".clear");
        if (clear && !clear->empty()) {
          change.action = FieldChange::Action::kClearPassword;
        } else if (!value || value->empty()) {
          change.action = FieldChange::Action::kKeepPassword;
        } else if (value->size() > kMaxPasswordBytes) {
          fail(fmt::format("at most {} bytes", kMaxPasswordBytes));
        } else if (!IsValidUtf8(*value) || HasControl(*value)) {
          fail("control characters or invalid UTF-8");
        } else {
          change.value = *value;
        }
        break;
      }
      case FieldKind::kBoolean: {
        bool on = value && (*value == "true" || *value == "on" || *value == "1");
        change.value = on ? "true" : "false";
        break;
      }
    }
    check.changes.push_back(std::move(change));
  }
  if (!check.Ok()) check.changes.clear();
  return check;
}

}  // namespace brivane::service

namespace brivane::service {

db::DbSettings DatabaseSettings(const ServiceConfig& config) {
  db::DbSettings s;
  s.dataSource = config.dataSource;
  s.dbUser = config.dbUser;
  s.dbPassword = config.dbPassword;
  s.dbType = config.dbType;
  s.spUpdateSubmit = config.spUpdateSubmit;
  s.spDelSubmit = config.spDelSubmit;
  s.spAddDeliver = config.spAddDeliver;
  s.spAddStatusReport = config.spAddStatusReport;
  s.commitBatch.maxCalls = static_cast<std::size_t>(std::max(1, config.dbCommitBatch));
  s.commitBatch.maxWait = std::chrono::milliseconds(std::max(0, config.dbCommitWait));
  return s;
}

}  // namespace brivane::service

namespace brivane::service {
namespace {

// Keys the service reads that the form does not show.
struct OtherKey {
  const char* key;
  FieldKind kind;
};
constexpr OtherKey kOtherKeys[] = {
    {"Certificate", FieldKind::kString},
    {"SP_UpdateSubmit", FieldKind::kString},
    {"SP_DelSubmit", FieldKind::kString},
    {"SP_AddDeliver", FieldKind::kString},
    {"SP_AddStatusReport", FieldKind::kString},
    {"MTSpeedLimit", FieldKind::kInteger},
    {"SubmitQuery", FieldKind::kString},
    {"ClaimSubmits", FieldKind::kBoolean},
    {"InstanceID", FieldKind::kString},
    {"ClaimLease", FieldKind::kInteger},
    {"HTTPListenAddress", FieldKind::kString},
    {"MetricsUserName", FieldKind::kString},
    {"MetricsPassword", FieldKind::kPassword},
    {"MOHTTPVerifyCertificate", FieldKind::kBoolean},
    {"LongSMSMaxParts", FieldKind::kInteger},
    {"DBCommitBatch", FieldKind::kInteger},
    {"DBCommitWait", FieldKind::kInteger},
    {"FlowControlTries", FieldKind::kInteger},
    {"FlowControlPause", FieldKind::kInteger},
    {"LinkSubmitsPerSecond", FieldKind::kInteger},
    {"SocketTimeout", FieldKind::kInteger},
    {"ConnectionTimeout", FieldKind::kInteger},
    {"WorkThreads", FieldKind::kInteger},
    {"ReConnectSMGTimesOnStart", FieldKind::kInteger},
    {"ReConnectSMGInterval", FieldKind::kInteger},
    {"SubmitRespTimeout", FieldKind::kInteger},
};

constexpr const char* kPortKeys[] = {"HTTPPort", "MOPort", "MTPort", "MTAndMOPort"};
constexpr const char* kDbTypes[] = {"mssql", "mysql", "oracle", "postgresql", "sqlite"};

bool SameKey(std::string_view a, std::string_view b) {
  return a.size() == b.size() && LowerAscii(std::string(a)) == LowerAscii(std::string(b));
}

// Edits (insert, delete, replace) between two keys, without regard to case.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::string x = LowerAscii(std::string(a));
  std::string y = LowerAscii(std::string(b));
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[y.size()];
}

template <typename F>
void ForEachKnownKey(F&& f) {
  for (const auto& field : kFormFields) f(field.key, field.kind, &field);
  for (const auto& other : kOtherKeys) f(other.key, other.kind, nullptr);
}

// The known key an unknown one most resembles, if it is close (a typo).
std::string Resembling(std::string_view key) {
  std::string best;
  std::size_t bestDistance = 3;
  ForEachKnownKey([&](const char* known, FieldKind, const FormField*) {
    std::size_t d = Distance(key, known);
    if (d < bestDistance) {
      bestDistance = d;
      best = known;
    }
  });
  return best;
}

bool IsBooleanText(std::string_view raw) {
  std::string text = LowerAscii(std::string(TrimBlanks(raw)));
  std::int64_t number = 0;
  return text == "true" || text == "yes" || text == "on" || text == "t" || text == "y" ||
         text == "false" || text == "no" || text == "off" || text == "f" || text == "n" ||
         ParseInteger(text, &number);
}

}  // namespace

bool IsKnownKey(std::string_view key) {
  bool known = false;
  ForEachKnownKey(
      [&](const char* k, FieldKind, const FormField*) { known = known || SameKey(k, key); });
  return known;
}

std::string FormatProblem(const std::string& path, const ConfigProblem& problem) {
  std::string text = path;
  if (problem.line > 0) text += ":" + std::to_string(problem.line);
  text += problem.fatal ? ": error: " : ": warning: ";
  if (!problem.key.empty()) text += problem.key + ": ";
  return text + problem.text;
}

bool AnyFatal(const std::vector<ConfigProblem>& problems) {
  return std::any_of(problems.begin(), problems.end(),
                     [](const ConfigProblem& p) { return p.fatal; });
}

std::vector<ConfigProblem> CheckConfiguration(const base::ConfigSection& section) {
  std::vector<ConfigProblem> problems;
  auto report = [&](bool fatal, std::string_view key, std::string text) {
    problems.push_back({fatal, section.LineOf(key), std::string(key), std::move(text)});
  };
  for (const auto& finding : section.Findings())
    problems.push_back({false, finding.line, finding.key, finding.text});

  for (const auto& [key, line] : section.KeyLines()) {
    if (IsKnownKey(key)) continue;
    std::string like = Resembling(key);
    problems.push_back(
        {false, line, key,
         "unknown key, ignored" + (like.empty() ? std::string() : "; did you mean " + like + "?")});
  }

  ForEachKnownKey([&](const char* key, FieldKind kind, const FormField* field) {
    auto raw = section.GetRaw(key);
    if (!raw) return;
    std::string shown = raw->size() > 40 ? raw->substr(0, 40) + "..." : *raw;
    switch (kind) {
      case FieldKind::kInteger: {
        std::int64_t value = 0;
        if (!ParseInteger(*raw, &value)) {
          report(false, key, "\"" + shown + "\" is not a whole number; the default is used");
          return;
        }
        const bool port = std::any_of(std::begin(kPortKeys), std::end(kPortKeys),
                                      [&](const char* p) { return SameKey(p, key); });
        if (port && (value < 1 || value > 65535)) {
          report(true, key, fmt::format("{} is not a port (1-65535)", value));
        } else if (SameKey(key, "MTSpeedLimit") && value <= 0) {
          report(true, key, fmt::format("{} would never send a row; it must be 1 or more", value));
        } else if (field && (value < field->min || value > field->max)) {
          report(
              false, key,
              fmt::format("{} is outside the form's bounds {}-{}", value, field->min, field->max));
        } else if (SameKey(key, "SMGVersion") && value != 32 && value != 48) {
          report(false, key, fmt::format("{} is neither 32 (CMPP 2.0) nor 48 (CMPP 3.0)", value));
        }
        return;
      }
      case FieldKind::kBoolean:
        if (!IsBooleanText(*raw))
          report(false, key, "\"" + shown + "\" is neither true nor false; the default is used");
        return;
      case FieldKind::kPassword: {
        std::string why;
        section.GetPassword(key, "", &why);
        if (!why.empty())
          report(false, key, "cannot be deciphered with brivane.key; read as empty");
        return;
      }
      case FieldKind::kString:
        break;
    }
    if (SameKey(key, "DBType")) {
      std::string type = LowerAscii(std::string(TrimBlanks(*raw)));
      if (std::find(std::begin(kDbTypes), std::end(kDbTypes), type) == std::end(kDbTypes))
        report(false, key,
               "\"" + shown +
                   "\" is not supported (mssql, mysql, oracle, postgresql or sqlite); no row is "
                   "polled");
    } else if (SameKey(key, "SMGAddress")) {
      in_addr address{};
      if (inet_pton(AF_INET, std::string(TrimBlanks(*raw)).c_str(), &address) != 1)
        report(false, key, "\"" + shown + "\" is not an IPv4 address (like 10.1.2.3)");
    }
  });

  if (section.GetInteger("MOConnections", 0) <= 0 && section.GetInteger("MTConnections", 0) <= 0 &&
      section.GetInteger("MTAndMOConnections", 1) <= 0)
    report(false, "MTAndMOConnections",
           "MOConnections, MTConnections and MTAndMOConnections are all 0: no link is opened");

  std::stable_sort(problems.begin(), problems.end(),
                   [](const ConfigProblem& a, const ConfigProblem& b) { return a.line < b.line; });
  return problems;
}

std::vector<ConfigProblem> CheckConfigurationFile(const std::string& path, bool named,
                                                  const std::string& keyPath) {
  std::vector<ConfigProblem> problems;
  base::ConfigSection section(path, kSectionName, keyPath);
  std::string error;
  const bool clean = section.Load(&error);
  if (!section.Exists()) {
    if (!clean) {
      problems.push_back({true, 0, "", error});
    } else if (named) {
      problems.push_back({true, 0, "", "the configuration file does not exist"});
    } else {
      problems.push_back({false, 0, "",
                          "the configuration file does not exist; starting on defaults "
                          "(set them on the administration page /Parameters)"});
    }
    return problems;
  }
  problems = CheckConfiguration(section);
  if (!clean) {
    // The reader's first malformed line, when the store's own findings do
    // not already name it.
    const auto where = error.rfind("malformed line ");
    const int line = where == std::string::npos ? 0 : std::atoi(error.c_str() + where + 15);
    const bool covered = std::any_of(problems.begin(), problems.end(),
                                     [&](const ConfigProblem& p) { return p.line == line; });
    if (!covered) {
      auto at = std::find_if(problems.begin(), problems.end(),
                             [&](const ConfigProblem& p) { return p.line > line; });
      problems.insert(at, {false, line, "", "not a key=value line; ignored"});
    }
  }
  return problems;
}

}  // namespace brivane::service
