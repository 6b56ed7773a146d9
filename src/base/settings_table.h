#pragma once
// Every key of the [Parameters] section, once: its kind, default, bounds,
// unit, help text, whether the administration form shows it and the values
// an enumeration allows. Readers take their defaults from here, the form is
// drawn and checked from here, and the configuration check and the
// operator's guide are held to it. Constant data and pure functions; any
// thread may use them.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/strings.h"

namespace brivane::base {

class ConfigSection;

// How a value is stored and read.
enum class FieldKind { kInteger, kString, kPassword, kBoolean };

// What a value must look like beyond its kind.
enum class ValueShape {
  kPlain,
  kEnumeration,  // one of `choices` (compared without regard to case)
  kAddress,      // a dotted IPv4 address
  kPort,         // 1-65535; any other value refuses the start
  kPath,         // a file name, relative to the home
};

inline constexpr std::size_t kMaxChoices = 6;

struct Setting {
  const char* key;
  FieldKind kind;
  ValueShape shape;
  std::int64_t defaultNumber;  // integers and switches (0/1)
  const char* defaultText;     // texts and passwords
  // Integers: the bounds the form enforces and the check reports (min > max:
  // none).
  std::int64_t min;
  std::int64_t max;
  const char* unit;  // shown after the field, may be empty
  bool onForm;
  int width;  // input width of texts on the form
  // The form's help text (HTML of ours). It must not contradict the guide.
  const char* helpHtml;
  std::array<const char*, kMaxChoices> choices;  // enumerations; unused ones null
  std::array<const char*, kMaxChoices> labels;   // what the form shows for each choice
};

// The defaults a reader needs as constants.
inline constexpr const char* kDefaultAdminPasswordText = "quillark";
inline constexpr std::int64_t kDefaultSMGVersionNumber = 48;

namespace detail {

inline constexpr std::int64_t kPortMax = 65535;
inline constexpr std::int64_t kInt32Max = 2147483647;
// Integers without bounds of their own.
inline constexpr std::int64_t kNoMin = 1;
inline constexpr std::int64_t kNoMax = 0;

inline constexpr const char* kDataSourceHelp =
    "ODBC数据源名称。首先要在ODBC数据源管理器里面"
    "<a href=\"https://www.unixodbc.org/odbcinst.html\" target=\"_blank\" "
    "rel=\"noopener noreferrer\">配置一个VESKA使用的数据源</a>。";

inline constexpr std::array<const char*, kMaxChoices> kNone{};

inline constexpr Setting Make(const char* key, FieldKind kind, ValueShape shape, bool onForm,
                              const char* help) {
  Setting s{};
  s.key = key;
  s.kind = kind;
  s.shape = shape;
  s.defaultText = "";
  s.min = kNoMin;
  s.max = kNoMax;
  s.unit = "";
  s.onForm = onForm;
  s.helpHtml = help;
  return s;
}
inline constexpr Setting Integer(const char* key, std::int64_t def, std::int64_t min,
                                 std::int64_t max, const char* unit, bool onForm, const char* help,
                                 ValueShape shape = ValueShape::kPlain) {
  Setting s = Make(key, FieldKind::kInteger, shape, onForm, help);
  s.defaultNumber = def;
  s.min = min;
  s.max = max;
  s.unit = unit;
  return s;
}
inline constexpr Setting Text(const char* key, const char* def, bool onForm, int width,
                              const char* help, ValueShape shape = ValueShape::kPlain) {
  Setting s = Make(key, FieldKind::kString, shape, onForm, help);
  s.defaultText = def;
  s.width = width;
  return s;
}
inline constexpr Setting Password(const char* key, const char* def, int width, const char* help,
                                  bool onForm = true) {
  Setting s = Make(key, FieldKind::kPassword, ValueShape::kPlain, onForm, help);
  s.defaultText = def;
  s.width = width;
  return s;
}
inline constexpr Setting Switch(const char* key, bool def, bool onForm, const char* help) {
  Setting s = Make(key, FieldKind::kBoolean, ValueShape::kPlain, onForm, help);
  s.defaultNumber = def ? 1 : 0;
  return s;
}
inline constexpr Setting Choices(Setting s, std::array<const char*, kMaxChoices> choices,
                                 std::array<const char*, kMaxChoices> labels) {
  s.shape = ValueShape::kEnumeration;
  s.choices = choices;
  s.labels = labels;
  return s;
}

}  // namespace detail

// Every key, the form's in the order the form shows them, then the others.
inline constexpr std::array<Setting, 51> kSettings = {{
    // The form's fields, in the order it shows them.
    detail::Integer(
        "LogLevel", 3, 0, 9, "", true,
        "日志级别。1=严重错误, 2=错误, 3=警告, 4=消息;如果要显示上下行消息记录请设成大于等于3"),
    detail::Text("AdminUserName", "admin", true, 25, "登录参数配置页面的用户名"),
    detail::Password("AdminPassword", kDefaultAdminPasswordText, 25, "登录参数配置页面的密码"),
    detail::Integer("HTTPPort", 8900, 1, detail::kPortMax, "", true, "配置页面的端口号",
                    ValueShape::kPort),
    detail::Text("DataSource", "", true, 50, detail::kDataSourceHelp),
    detail::Text("DBUser", "user_cmpp", true, 50, "数据库用户名"),
    detail::Password("DBPassword", "", 50, "数据库密码"),
    detail::Choices(detail::Text("DBType", "mssql", true, 50,
                                 "数据库类型。目前支持mssql，mysql，oracle，postgresql或sqlite。"),
                    {"mssql", "mysql", "oracle", "postgresql", "sqlite"},
                    {"mssql", "mysql", "oracle", "postgresql", "sqlite"}),
    detail::Text("SMGAddress", "0.0.0.0", true, 50, "网关的IPv4地址（如10.1.2.3），不能填主机名",
                 ValueShape::kAddress),
    detail::Switch("AsiaInfoSMG", false, true, "是否是亚信网关"),
    detail::Text("SPCorpID", "", true, 6, "企业代码"),
    detail::Text("SPID", "", true, 21, "服务号码"),
    detail::Choices(detail::Integer("SMGVersion", kDefaultSMGVersionNumber, 32, 100, "", true,
                                    "CMPP2.0协议填32,CMPP3.0协议填48"),
                    {"32", "48"}, {"32 (CMPP 2.0)", "48 (CMPP 3.0)"}),
    detail::Text("SPLoginName", "", true, 50, "登录网关用户名，一般和企业代码一致"),
    detail::Password("SPPassword", "", 50, ""),
    detail::Integer("MOPort", 7890, 1, detail::kPortMax, "", true, "", ValueShape::kPort),
    detail::Integer("MTPort", 7890, 1, detail::kPortMax, "", true, "", ValueShape::kPort),
    detail::Integer("MTAndMOPort", 7890, 1, detail::kPortMax, "", true, "", ValueShape::kPort),
    detail::Integer(
        "MOConnections", 0, 0, 255, "个", true,
        "如果MO和MT连接是分开的，则分别配置MO和MT的网关连接数，同时把MTAndMOConnections配置成0"),
    detail::Integer("MTConnections", 0, 0, 255, "个", true, ""),
    detail::Integer("MTAndMOConnections", 1, 0, 255, "个", true, ""),
    detail::Text("DialogCarrierID", "", true, 50, ""),
    detail::Text("DialogCarrierNAME", "", true, 50, ""),
    detail::Integer("MOHTTPQuestTimeout", 10000, 3000, 600000, "ms", true,
                    "转发一条MO消息（HTTP POST）允许的毫秒数(3000-600000)"),
    detail::Switch("EnableHTTPClient", false, true, ""),

    // Keys of the file only.
    detail::Text("HTTPListenAddress", "", false, 0, ""),
    detail::Text("Certificate", "server.pem", false, 0, "", ValueShape::kPath),
    detail::Text("MetricsUserName", "", false, 0, ""),
    detail::Password("MetricsPassword", "", 0, "", false),
    detail::Text("SP_UpdateSubmit", "uspUpdateSubmitState", false, 0, ""),
    detail::Text("SP_DelSubmit", "uspMoveSubmitToLog", false, 0, ""),
    detail::Text("SP_AddDeliver", "uspAddDeliver", false, 0, ""),
    detail::Text("SP_AddStatusReport", "uspAddStatusReport", false, 0, ""),
    detail::Integer("MTSpeedLimit", 20, 1, detail::kInt32Max, "", false, ""),
    detail::Text("SubmitQuery", "", false, 0, ""),
    detail::Switch("ClaimSubmits", false, false, ""),
    detail::Text("InstanceID", "", false, 0, ""),
    detail::Integer("ClaimLease", 60, 5, detail::kInt32Max, "s", false, ""),
    detail::Integer("SocketTimeout", 25, 10, 60, "s", false, ""),
    detail::Integer("ConnectionTimeout", 1800, detail::kNoMin, detail::kNoMax, "s", false, ""),
    detail::Integer("WorkThreads", 500, detail::kNoMin, detail::kNoMax, "", false, ""),
    detail::Integer("ReConnectSMGTimesOnStart", 3, detail::kNoMin, detail::kNoMax, "", false, ""),
    detail::Integer("ReConnectSMGInterval", 3, detail::kNoMin, detail::kNoMax, "ms", false, ""),
    detail::Integer("SubmitRespTimeout", 600, 1, 86400, "s", false, ""),
    detail::Integer("DBCommitBatch", 100, 1, 10000, "", false, ""),
    detail::Integer("DBCommitWait", 0, 0, 1000, "ms", false, ""),
    detail::Integer("FlowControlTries", 3, 1, 20, "", false, ""),
    detail::Integer("FlowControlPause", 1000, 1, 30000, "ms", false, ""),
    detail::Integer("LinkSubmitsPerSecond", 0, 0, 100000, "", false, ""),
    detail::Integer("LongSMSMaxParts", 10000, 1, 1000000, "", false, ""),
    detail::Switch("MOHTTPVerifyCertificate", true, false, ""),
}};

namespace detail {
// By index rather than by pointer: sanitizer builds cannot compare pointers
// into the table in a constant expression.
constexpr std::size_t IndexOf(std::string_view key) {
  std::size_t i = 0;
  while (i < kSettings.size() && !EqualsNoCase(kSettings[i].key, key)) ++i;
  return i;
}
}  // namespace detail

// The entry of a key (compared without regard to case, as the store reads
// keys); nullptr for a key the service does not read.
constexpr const Setting* FindSetting(std::string_view key) {
  const std::size_t i = detail::IndexOf(key);
  return i < kSettings.size() ? &kSettings[i] : nullptr;
}

// The entry of a key the code reads. A key missing from the table is a bug
// of ours: it fails the build where the key is constant, and throws
// std::logic_error otherwise.
constexpr const Setting& SettingOf(std::string_view key) {
  const std::size_t i = detail::IndexOf(key);
  if (i == kSettings.size())
    throw std::logic_error("no setting in the table for a key the code reads");
  return kSettings[i];
}

// The form's fields come first in the table.
inline constexpr std::size_t kFormFieldCount = [] {
  std::size_t n = 0;
  while (n < kSettings.size() && kSettings[n].onForm) ++n;
  return n;
}();
static_assert(
    [] {
      for (std::size_t i = kFormFieldCount; i < kSettings.size(); ++i)
        if (kSettings[i].onForm) return false;
      return true;
    }(),
    "the form's fields come first in the settings table");

// True when `value` is one of the setting's choices (without regard to case).
bool IsChoice(const Setting& setting, std::string_view value);
bool IsIPv4Address(std::string_view text);

// The default as the file would hold it: "" for an empty text, "true" or
// "false" for a switch.
std::string DefaultText(const Setting& setting);

// Reads a key with the table's default.
std::int64_t ReadInteger(const ConfigSection& section, std::string_view key);
std::string ReadString(const ConfigSection& section, std::string_view key);
bool ReadBoolean(const ConfigSection& section, std::string_view key);
// *error gets "Key: reason" when the stored value cannot be deciphered.
std::string ReadPassword(const ConfigSection& section, std::string_view key,
                         std::string* error = nullptr);

}  // namespace brivane::base
