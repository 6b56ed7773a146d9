#include "service/config.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "base/strings.h"
#include "db/claims.h"

namespace brivane::service {
namespace {

bool ParseInteger(std::string_view text, std::int64_t* value) {
  text = base::TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, 10);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// "a, b or c"
std::string ChoiceList(const FormField& field) {
  std::string list;
  std::size_t count = 0;
  for (const char* choice : field.choices) count += choice != nullptr;
  std::size_t i = 0;
  for (const char* choice : field.choices) {
    if (!choice) continue;
    if (i > 0) list += i + 1 == count ? " or " : ", ";
    list += choice;
    ++i;
  }
  return list;
}

// "neither a nor b", "none of a, b or c", with the choices' labels.
std::string NoneOf(const FormField& field) {
  std::vector<std::string> labels;
  for (std::size_t i = 0; i < field.choices.size() && field.choices[i]; ++i)
    labels.push_back(field.labels[i] ? field.labels[i] : field.choices[i]);
  if (labels.size() == 2) return "neither " + labels[0] + " nor " + labels[1];
  std::string list = "none of ";
  for (std::size_t i = 0; i < labels.size(); ++i)
    list += (i == 0 ? "" : i + 1 == labels.size() ? " or " : ", ") + labels[i];
  return list;
}

bool HasControl(std::string_view text) {
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

}  // namespace

const FormField* FindFormField(std::string_view key) {
  for (const auto& field : kFormFields)
    if (key == field.key) return &field;
  return nullptr;
}

namespace {

std::int32_t Int32(const base::ConfigSection& section, const char* key) {
  return static_cast<std::int32_t>(base::ReadInteger(section, key));
}

// The pages' own keys.
void ReadAdminKeys(const base::ConfigSection& section, int systemLogLevel, ServiceConfig& c) {
  auto& shown = c.formShown;
  c.logLevel = static_cast<std::int32_t>(section.GetInteger("LogLevel", systemLogLevel));
  shown["LogLevel"] = std::to_string(c.logLevel);
  c.adminUserName = base::ReadString(section, "AdminUserName");
  shown["AdminUserName"] = c.adminUserName;
  std::string error;
  c.adminPassword = base::ReadPassword(section, "AdminPassword", &error);
  if (!error.empty()) c.passwordErrors.push_back(error);
  c.adminPasswordIsDefault = c.adminPassword == kDefaultAdminPassword;
  // A value that is no port refuses the first start; a restart keeps the
  // default rather than listen on the value cut to 16 bits.
  const std::int64_t httpPort = base::ReadInteger(section, "HTTPPort");
  c.httpPort =
      static_cast<std::uint16_t>(httpPort >= 1 && httpPort <= 65535 ? httpPort : kDefaultHttpPort);
  shown["HTTPPort"] = std::to_string(c.httpPort);
  c.certificate = base::ReadString(section, "Certificate");
  c.httpListenAddress = base::ReadString(section, "HTTPListenAddress");
  c.metricsUserName = base::ReadString(section, "MetricsUserName");
  std::string metricsError;
  c.metricsPassword = base::ReadPassword(section, "MetricsPassword", &metricsError);
  if (!metricsError.empty()) c.passwordErrors.push_back(metricsError);
}

void ReadDatabaseKeys(const base::ConfigSection& section, const std::string& previousSubmitQuery,
                      ServiceConfig& c) {
  auto& shown = c.formShown;
  c.dataSource = base::ReadString(section, "DataSource");
  shown["DataSource"] = c.dataSource;
  c.dbUser = base::ReadString(section, "DBUser");
  shown["DBUser"] = c.dbUser;
  std::string error;
  c.dbPassword = base::ReadPassword(section, "DBPassword", &error);
  if (!error.empty()) c.passwordErrors.push_back(error);
  c.dbType = base::AsciiLowered(base::ReadString(section, "DBType"));
  shown["DBType"] = c.dbType;
  c.spUpdateSubmit = base::ReadString(section, "SP_UpdateSubmit");
  c.spDelSubmit = base::ReadString(section, "SP_DelSubmit");
  c.spAddDeliver = base::ReadString(section, "SP_AddDeliver");
  c.spAddStatusReport = base::ReadString(section, "SP_AddStatusReport");
  c.dbCommitBatch = Int32(section, "DBCommitBatch");
  c.dbCommitWait = Int32(section, "DBCommitWait");
  c.connectionString = db::BuildConnectionString(DatabaseSettings(c));
  // 0 or less would never send a row; such a value refuses the first start,
  // and a restart keeps the default.
  c.mtSpeedLimit = Int32(section, "MTSpeedLimit");
  if (c.mtSpeedLimit <= 0) c.mtSpeedLimit = kDefaultMTSpeedLimit;
  c.submitQuery = previousSubmitQuery;
  c.dbTypeSupported = BuildSubmitQuery(c.dbType, c.mtSpeedLimit, &c.submitQuery);
  // An operator's own polling query or procedure (several instances on one
  // database claim their rows this way) replaces the built one.
  c.customSubmitQuery = base::ReadString(section, "SubmitQuery");
  if (!c.customSubmitQuery.empty()) c.submitQuery = c.customSubmitQuery;
  c.claimSubmits = base::ReadBoolean(section, "ClaimSubmits");
  c.instanceId = base::ReadString(section, "InstanceID");
  // A lease shorter than a few passes would let a live instance's claims be
  // taken while it sends them.
  const auto& leaseSetting = base::SettingOf("ClaimLease");
  const std::int64_t lease = base::ReadInteger(section, "ClaimLease");
  c.claimLease = std::chrono::seconds(lease <= 0 ? leaseSetting.defaultNumber
                                                 : std::max(lease, leaseSetting.min));
  const std::int64_t respTimeout = base::ReadInteger(section, "SubmitRespTimeout");
  c.submitRespTimeout = std::chrono::seconds(
      respTimeout <= 0 ? base::SettingOf("SubmitRespTimeout").defaultNumber : respTimeout);
}

void ReadLinkKeys(const base::ConfigSection& section, ServiceConfig& c) {
  auto& shown = c.formShown;
  c.smgAddress = base::ReadString(section, "SMGAddress");
  shown["SMGAddress"] = c.smgAddress;
  c.asiaInfoSMG = base::ReadBoolean(section, "AsiaInfoSMG");
  shown["AsiaInfoSMG"] = c.asiaInfoSMG ? "true" : "false";
  c.spCorpID = base::ReadString(section, "SPCorpID");
  shown["SPCorpID"] = c.spCorpID;
  c.spID = base::ReadString(section, "SPID");
  shown["SPID"] = c.spID;
  c.smgVersion = Int32(section, "SMGVersion");
  shown["SMGVersion"] = std::to_string(c.smgVersion);
  c.terminalIdLength = TerminalIdLength(c.smgVersion);
  c.spLoginName = base::ReadString(section, "SPLoginName");
  shown["SPLoginName"] = c.spLoginName;
  std::string error;
  c.spPassword = base::ReadPassword(section, "SPPassword", &error);
  if (!error.empty()) c.passwordErrors.push_back(error);
  struct Pool {
    const char* portKey;
    std::int32_t* port;
    const char* linksKey;
    std::int32_t* links;
  };
  for (const Pool& pool :
       {Pool{"MOPort", &c.moPort, "MOConnections", &c.moConnections},
        Pool{"MTPort", &c.mtPort, "MTConnections", &c.mtConnections},
        Pool{"MTAndMOPort", &c.mtAndMOPort, "MTAndMOConnections", &c.mtAndMOConnections}}) {
    *pool.port = Int32(section, pool.portKey);
    shown[pool.portKey] = std::to_string(*pool.port);
    *pool.links = Int32(section, pool.linksKey);
    shown[pool.linksKey] = std::to_string(*pool.links);
  }
  c.workThreads = Int32(section, "WorkThreads");
}

void ReadForwardingKeys(const base::ConfigSection& section, ServiceConfig& c) {
  auto& shown = c.formShown;
  c.dialogCarrierID = base::ReadString(section, "DialogCarrierID");
  shown["DialogCarrierID"] = c.dialogCarrierID;
  c.dialogCarrierNAME = base::ReadString(section, "DialogCarrierNAME");
  shown["DialogCarrierNAME"] = c.dialogCarrierNAME;
  const std::int32_t timeoutMs = Int32(section, "MOHTTPQuestTimeout");
  c.moHTTPQuestTimeout = std::chrono::milliseconds(timeoutMs);
  shown["MOHTTPQuestTimeout"] = std::to_string(timeoutMs);
  c.enableHTTPClient = base::ReadBoolean(section, "EnableHTTPClient");
  c.moHTTPVerifyCertificate = base::ReadBoolean(section, "MOHTTPVerifyCertificate");
  shown["EnableHTTPClient"] = c.enableHTTPClient ? "true" : "false";
}

}  // namespace

ServiceConfig ReadServiceConfig(const base::ConfigSection& section, int systemLogLevel,
                                const std::string& previousSubmitQuery) {
  ServiceConfig c;
  ReadAdminKeys(section, systemLogLevel, c);
  ReadDatabaseKeys(section, previousSubmitQuery, c);
  ReadLinkKeys(section, c);
  ReadForwardingKeys(section, c);
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
  const std::string dbType = base::AsciiLowered(dbTypeAnyCase);
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
  const std::string dbType = base::AsciiLowered(dbTypeAnyCase);
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
  const std::int32_t rows =
      base::AsciiLowered(dbType) == "oracle" ? mtSpeedLimit - 1 : mtSpeedLimit;
  return std::max<std::int32_t>(0, rows);
}

bool IsRestartMessage(std::string_view initMsg) {
  return base::StartsWithNoCase(initMsg, "restart");
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
        if (!value || base::TrimBlanks(*value).empty()) {
          fail("a value is required");
        } else if (!ParseInteger(*value, &number)) {
          fail("not a whole number");
        } else if (number < field.min || number > field.max) {
          fail(fmt::format("must be between {} and {}", field.min, field.max));
        } else if (field.shape == base::ValueShape::kEnumeration &&
                   !base::IsChoice(field, std::to_string(number))) {
          fail("must be one of " + ChoiceList(field));
        } else {
          change.value = std::to_string(number);
        }
        break;
      }
      case FieldKind::kString: {
        std::string why;
        std::string text = value ? std::string(base::TrimBlanks(*value)) : std::string();
        if (!value) {
          fail("missing from the form");
        } else if (!IsValidUtf8(text)) {
          fail("not valid UTF-8 text");
        } else if (!base::ConfigSection::CanStore(field.key, text, &why)) {
          fail(why);
        } else if (field.shape == base::ValueShape::kEnumeration && !base::IsChoice(field, text)) {
          fail("must be one of " + ChoiceList(field));
        } else if (field.shape == base::ValueShape::kAddress && !base::IsIPv4Address(text)) {
          fail("not an IPv4 address (like 10.1.2.3)");
        } else {
          if (field.shape == base::ValueShape::kEnumeration) text = base::AsciiLowered(text);
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

// Edits (insert, delete, replace) between two keys, without regard to case.
std::size_t Distance(std::string_view a, std::string_view b) {
  const std::string x = base::AsciiLowered(a);
  const std::string y = base::AsciiLowered(b);
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

// The known key an unknown one most resembles, if it is close (a typo).
std::string Resembling(std::string_view key) {
  std::string best;
  std::size_t bestDistance = 3;
  for (const auto& setting : base::kSettings) {
    std::size_t d = Distance(key, setting.key);
    if (d < bestDistance) {
      bestDistance = d;
      best = setting.key;
    }
  }
  return best;
}

bool IsBooleanText(std::string_view raw) {
  std::string text = base::AsciiLowered(base::TrimBlanks(raw));
  std::int64_t number = 0;
  return text == "true" || text == "yes" || text == "on" || text == "t" || text == "y" ||
         text == "false" || text == "no" || text == "off" || text == "f" || text == "n" ||
         ParseInteger(text, &number);
}

// What is wrong with an integer as the table bounds it.
std::optional<ConfigProblem> CheckInteger(const base::Setting& setting, std::int64_t value) {
  const std::string_view key = setting.key;
  auto problem = [&](bool fatal, std::string text) {
    return ConfigProblem{fatal, 0, setting.key, std::move(text)};
  };
  if (setting.shape == base::ValueShape::kPort && (value < 1 || value > 65535))
    return problem(true, fmt::format("{} is not a port (1-65535)", value));
  if (base::EqualsNoCase(key, "MTSpeedLimit") && value <= 0)
    return problem(true, fmt::format("{} would never send a row; it must be 1 or more", value));
  if (setting.min <= setting.max && setting.max == base::detail::kInt32Max && value < setting.min)
    return problem(false, fmt::format("{} is below the least value {}", value, setting.min));
  if (setting.min <= setting.max && (value < setting.min || value > setting.max))
    return problem(false, fmt::format("{} is outside the {}bounds {}-{}", value,
                                      setting.onForm ? "form's " : "", setting.min, setting.max));
  if (setting.shape == base::ValueShape::kEnumeration &&
      !base::IsChoice(setting, std::to_string(value)))
    return problem(false, fmt::format("{} is {}", value, NoneOf(setting)));
  return std::nullopt;
}

// What is wrong with the stored value of one key, if anything.
std::optional<ConfigProblem> CheckValue(const base::ConfigSection& section,
                                        const base::Setting& setting) {
  const std::string_view key = setting.key;
  auto raw = section.GetRaw(key);
  if (!raw) return std::nullopt;
  std::optional<ConfigProblem> problem;
  auto report = [&](bool fatal, std::string text) {
    problem = ConfigProblem{fatal, 0, setting.key, std::move(text)};
  };
  const std::string shown = raw->size() > 40 ? raw->substr(0, 40) + "..." : *raw;
  switch (setting.kind) {
    case FieldKind::kInteger: {
      std::int64_t value = 0;
      if (!ParseInteger(*raw, &value))
        report(false, "\"" + shown + "\" is not a whole number; the default is used");
      else
        problem = CheckInteger(setting, value);
      break;
    }
    case FieldKind::kBoolean:
      if (!IsBooleanText(*raw))
        report(false, "\"" + shown + "\" is neither true nor false; the default is used");
      break;
    case FieldKind::kPassword: {
      std::string why;
      section.GetPassword(key, "", &why);
      if (!why.empty()) report(false, "cannot be deciphered with brivane.key; read as empty");
      break;
    }
    case FieldKind::kString:
      if (setting.shape == base::ValueShape::kEnumeration && !base::IsChoice(setting, *raw))
        report(false, "\"" + shown + "\" is not supported (" + ChoiceList(setting) +
                          "); no row is polled");
      else if (setting.shape == base::ValueShape::kAddress && !base::IsIPv4Address(*raw))
        report(false, "\"" + shown + "\" is not an IPv4 address (like 10.1.2.3)");
      break;
  }
  if (problem) problem->line = section.LineOf(key);
  return problem;
}

}  // namespace

bool IsKnownKey(std::string_view key) { return base::FindSetting(key) != nullptr; }

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

  for (const auto& setting : base::kSettings) {
    if (auto problem = CheckValue(section, setting)) problems.push_back(std::move(*problem));
  }

  if (base::ReadInteger(section, "MOConnections") <= 0 &&
      base::ReadInteger(section, "MTConnections") <= 0 &&
      base::ReadInteger(section, "MTAndMOConnections") <= 0)
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
