#include "db/settings.h"

#include <cctype>

#include "base/strings.h"

namespace brivane::db {
namespace {

constexpr std::string_view kMask = "******";

bool IsPasswordKey(std::string_view key) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  };
  key = trim(key);
  return base::EqualsNoCase(key, "pwd") || base::EqualsNoCase(key, "password");
}

}  // namespace

std::string QuoteOdbcValue(std::string_view value) {
  if (value.find_first_of(";{}") == std::string_view::npos) return std::string(value);
  std::string quoted = "{";
  for (char c : value) {
    quoted += c;
    if (c == '}') quoted += '}';
  }
  quoted += '}';
  return quoted;
}

std::string WithNetworkTimeouts(const std::string& connectionString, std::string_view dbType) {
  if (dbType != "mysql") return connectionString;
  std::string upper = connectionString;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string text = connectionString;
  if (!text.empty() && text.back() != ';') text += ';';
  const std::string seconds = std::to_string(kMysqlNetworkTimeoutSeconds);
  for (const char* key : {"CONN_TIMEOUT", "READ_TIMEOUT", "WRITE_TIMEOUT"}) {
    if (upper.find(std::string(key) + "=") == std::string::npos)
      text += key + ("=" + seconds + ";");
  }
  return text;
}

std::string BuildConnectionString(const DbSettings& settings) {
  std::string text;
  if (settings.dataSource.find('=') != std::string::npos) {
    text = settings.dataSource;
    if (text.back() != ';') text += ';';
  } else {
    text = "DSN=" + QuoteOdbcValue(settings.dataSource) + ";";
  }
  text += "Uid=" + QuoteOdbcValue(settings.dbUser) + ";";
  text += "Pwd=" + QuoteOdbcValue(settings.dbPassword) + ";";
  return text;
}

std::string MaskPasswords(std::string_view text) {
  // Walks "key=value;" pairs; a value starting with '{' runs to the
  // matching '}' (a doubled "}}" stands for one brace inside it).
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t eq = text.find('=', i);
    std::size_t semi = text.find(';', i);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      // A piece without '=': copy it up to and including its ';'.
      std::size_t end = semi == std::string_view::npos ? text.size() : semi + 1;
      out.append(text.substr(i, end - i));
      i = end;
      continue;
    }
    std::string_view key = text.substr(i, eq - i);
    std::size_t valueStart = eq + 1;
    std::size_t valueEnd = valueStart;
    if (valueEnd < text.size() && text[valueEnd] == '{') {
      ++valueEnd;
      while (valueEnd < text.size()) {
        if (text[valueEnd] == '}') {
          if (valueEnd + 1 < text.size() && text[valueEnd + 1] == '}') {
            valueEnd += 2;
            continue;
          }
          ++valueEnd;
          break;
        }
        ++valueEnd;
      }
    }
    valueEnd = std::min(text.find(';', valueEnd), text.size());
    out.append(key);
    out += '=';
    if (IsPasswordKey(key)) {
      out.append(kMask);
    } else {
      out.append(text.substr(valueStart, valueEnd - valueStart));
    }
    if (valueEnd < text.size()) out += ';';
    i = valueEnd + 1;
  }
  return out;
}

std::string SettingsFailureLine(const DbSettings& settings) {
  std::string line = "数据库异常：数据库连接失败，连接=";
  line += MaskPasswords(BuildConnectionString(settings));
  line += ";数据源=";
  line += settings.dataSource.find('=') != std::string::npos ? MaskPasswords(settings.dataSource)
                                                             : settings.dataSource;
  line += ";用户名=";
  line += settings.dbUser;
  line += ";密码=";
  line += kMask;
  return line;
}

ProcedureSyntax SyntaxForDbType(std::string_view dbType) {
  return dbType == "sqlite" ? ProcedureSyntax::kInsertIntoView : ProcedureSyntax::kOdbcCall;
}

}  // namespace brivane::db
