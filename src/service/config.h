#pragma once
// Every configuration key the service host reads, the values derived from
// them, and the description of the administration form: which keys it
// shows, in which order, with which bounds and help texts, and how a posted
// form is checked. Pure functions over a ConfigSection; no logging here —
// the caller writes the lines (unsupported DBType, undecipherable passwords)
// at the point of its start sequence where they belong.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/config_store.h"
#include "base/settings_table.h"
#include "db/settings.h"

namespace brivane::service {

inline constexpr const char* kSectionName = "Parameters";
inline constexpr const char* kProcessName = "brivane";
inline constexpr const char* kManufacturer = "quillark";
inline constexpr int kVersionMajor = 7;
inline constexpr int kVersionMinor = 1;
inline constexpr int kBuildNumber = 0;
inline constexpr const char* kDefaultAdminPassword = base::kDefaultAdminPasswordText;
inline constexpr int kDefaultHttpPort = static_cast<int>(base::SettingOf("HTTPPort").defaultNumber);
// CMPP 3.0, for the links and for the width of terminal ids alike.
inline constexpr int kDefaultSMGVersion = static_cast<int>(base::kDefaultSMGVersionNumber);
inline constexpr int kDefaultMTSpeedLimit =
    static_cast<int>(base::SettingOf("MTSpeedLimit").defaultNumber);
// The threshold of the system log before the store has been read: LogLevel
// defaults to it at the first start, and to the last value read afterwards.
inline constexpr int kInitialLogLevel = static_cast<int>(base::SettingOf("LogLevel").defaultNumber);
// Clear passwords longer than this are refused by the form; the enciphered
// form must still fit one line of the store.
inline constexpr std::size_t kMaxPasswordBytes = 64;

using FieldKind = base::FieldKind;
using FormField = base::Setting;

// The form's fields in the order they are shown: the head of the settings
// table.
inline constexpr std::span<const FormField> kFormFields{base::kSettings.data(),
                                                        base::kFormFieldCount};
const FormField* FindFormField(std::string_view key);

// A number's default in the settings table, for the fields below.
constexpr std::int32_t TableDefault(std::string_view key) {
  return static_cast<std::int32_t>(base::SettingOf(key).defaultNumber);
}

struct ServiceConfig {
  int logLevel = kInitialLogLevel;
  std::string adminUserName;
  std::string adminPassword;  // clear
  bool adminPasswordIsDefault = false;
  std::uint16_t httpPort = kDefaultHttpPort;  // the default when the stored value is no port
  // The address the pages listen on; empty: all addresses. Not on the
  // form: a wrong one typed there would lock the administrator out.
  std::string httpListenAddress;
  // The scrape credential: it opens /metrics and no other page. Unset
  // (either empty) leaves /metrics to the administrator's login only.
  std::string metricsUserName;
  std::string metricsPassword;  // clear
  std::string certificate;
  std::string dataSource;
  std::string dbUser;
  std::string dbPassword;  // clear
  std::string dbType;
  std::string spUpdateSubmit;
  std::string spDelSubmit;
  std::string spAddDeliver;
  std::string spAddStatusReport;
  // Calls of one callback connection committed together, at most; and how
  // long a batch waits to fill (ms). 1 = each call commits alone.
  std::int32_t dbCommitBatch = TableDefault("DBCommitBatch");
  std::int32_t dbCommitWait = TableDefault("DBCommitWait");
  std::string connectionString;
  std::int32_t mtSpeedLimit = kDefaultMTSpeedLimit;
  std::string submitQuery;
  bool dbTypeSupported = true;
  // SubmitQuery: when set, the polling query as it stands (text beginning
  // with "SELECT ", or the name of a procedure that returns the rows), used
  // in place of the one built from DBType and MTSpeedLimit.
  std::string customSubmitQuery;
  // ClaimSubmits: several instances share the Submit table; each pass
  // claims its rows through the shipped claiming procedure for InstanceID
  // (empty: host name and home directory), claims lasting ClaimLease.
  bool claimSubmits = false;
  std::string instanceId;
  std::chrono::seconds claimLease{TableDefault("ClaimLease")};
  std::chrono::seconds submitRespTimeout{TableDefault("SubmitRespTimeout")};
  std::string smgAddress;
  bool asiaInfoSMG = false;
  std::string spCorpID;
  std::string spID;
  std::int32_t smgVersion = kDefaultSMGVersion;
  std::int32_t terminalIdLength = 21;
  std::string spLoginName;
  std::string spPassword;  // clear
  std::int32_t moPort = TableDefault("MOPort");
  std::int32_t mtPort = TableDefault("MTPort");
  std::int32_t mtAndMOPort = TableDefault("MTAndMOPort");
  std::int32_t moConnections = TableDefault("MOConnections");
  std::int32_t mtConnections = TableDefault("MTConnections");
  std::int32_t mtAndMOConnections = TableDefault("MTAndMOConnections");
  std::int32_t workThreads = TableDefault("WorkThreads");
  std::string dialogCarrierID;
  std::string dialogCarrierNAME;
  std::chrono::milliseconds moHTTPQuestTimeout{TableDefault("MOHTTPQuestTimeout")};
  bool enableHTTPClient = false;
  // Not on the form: turning certificate checks off is a decision for the
  // file, next to the route it is made for.
  bool moHTTPVerifyCertificate = true;

  // What each form field shows, by key; password fields show nothing.
  std::map<std::string, std::string> formShown;
  // "Key: reason" for each password key whose stored value could not be
  // deciphered (its clear value is then empty).
  std::vector<std::string> passwordErrors;
};

// Reads every key in the order of the start sequence. systemLogLevel is the
// default of LogLevel; previousSubmitQuery is kept when DBType is unknown.
ServiceConfig ReadServiceConfig(const base::ConfigSection& section, int systemLogLevel,
                                const std::string& previousSubmitQuery);

// The database gateway's settings from the keys just read.
db::DbSettings DatabaseSettings(const ServiceConfig& config);

// The polling query for DBType (compared without regard to case); false for
// a type it does not know, leaving *query alone.
bool BuildSubmitQuery(const std::string& dbType, std::int32_t mtSpeedLimit, std::string* query);

// The same waiting rows as the polling query, read a chunk at a time in
// SubmitID order so a pass never holds more than one chunk: the query for at
// most `rows` rows whose SubmitID is above *afterId (all waiting rows when
// afterId is null). False for a DBType it does not know.
bool BuildSubmitChunkQuery(const std::string& dbType, const std::optional<std::int64_t>& afterId,
                           std::int32_t rows, std::string* query);

// The rows one pass of the polling query takes at most (Oracle's ROWNUM
// form takes one fewer than MTSpeedLimit).
std::int32_t SubmitRowsPerPass(const std::string& dbType, std::int32_t mtSpeedLimit);

constexpr std::int32_t TerminalIdLength(std::int32_t smgVersion) {
  return smgVersion <= 32 ? 21 : 32;
}

// The instance id claims are made for: InstanceID when set, else
// "<host>:<home>". Cut to the 255 bytes the claim columns hold, at a
// character boundary.
std::string InstanceIdOf(const ServiceConfig& config, std::string_view host, std::string_view home);

// The start-up line that says how MT rows are taken, and its level: 1 when
// claiming was asked for a DBType without a claiming procedure (no row is
// taken then), 2 otherwise.
std::pair<int, std::string> PollingModeLine(const ServiceConfig& config,
                                            std::string_view instanceId);

// True when the first seven characters are "restart" in any case.
bool IsRestartMessage(std::string_view initMsg);

// One checked field of a posted form.
struct FieldChange {
  enum class Action { kSet, kKeepPassword, kClearPassword };
  const FormField* field = nullptr;
  Action action = Action::kSet;
  std::string value;  // normalised text to store (clear text for passwords)
};

struct FormCheck {
  std::vector<std::string> errors;   // each begins with the field's key
  std::vector<FieldChange> changes;  // one per form field, in form order
  bool Ok() const { return errors.empty(); }
};

// Checks every field of a posted form (name -> value, first one wins):
// integers within their bounds, enumerations one of their choices, IPv4
// addresses, texts that the store keeps unchanged and are valid UTF-8,
// passwords at most kMaxPasswordBytes. An empty password
// keeps the stored one unless "<key>.clear" is posted. An absent check box
// is false.
FormCheck CheckForm(const std::multimap<std::string, std::string>& posted);

bool IsValidUtf8(std::string_view text);

// One thing wrong with the configuration file, as `brivane check-config`
// and the start report it. A fatal one makes the start refuse: the service
// could not work with it.
struct ConfigProblem {
  bool fatal = false;
  int line = 0;     // from 1; 0 where no line applies (the file itself, an absent key)
  std::string key;  // empty where no key applies
  std::string text;
};

// "path:line: error|warning: Key: text", the line and key left out where
// they do not apply.
std::string FormatProblem(const std::string& path, const ConfigProblem& problem);

// Every key the service reads, the form's and the others.
bool IsKnownKey(std::string_view key);

// What is wrong with the keys of a loaded store: the store's findings
// (repeated keys, cut lines, stray lines), unknown keys (with the known key
// it most resembles), values that are not numbers or switches, values
// outside the form's bounds, an unsupported DBType, an SMGAddress that is not
// an IPv4 address, passwords that do not decipher; fatal: a port outside
// 1-65535, an MTSpeedLimit of 0 or less.
std::vector<ConfigProblem> CheckConfiguration(const base::ConfigSection& section);

// Loads and checks the file. named: the operator named it (--config); such
// a file that does not exist is fatal, while a missing default file starts
// on defaults (the form's first run) and is only reported. A file that
// exists but cannot be read is fatal either way.
std::vector<ConfigProblem> CheckConfigurationFile(const std::string& path, bool named,
                                                  const std::string& keyPath);

bool AnyFatal(const std::vector<ConfigProblem>& problems);

}  // namespace brivane::service
