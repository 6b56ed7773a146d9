#include "base/settings_table.h"

#include <arpa/inet.h>

#include <cctype>
#include <stdexcept>

#include "base/config_store.h"
#include "base/strings.h"

namespace brivane::base {

bool IsChoice(const Setting& setting, std::string_view value) {
  value = TrimBlanks(value);
  for (const char* choice : setting.choices)
    if (choice && EqualsNoCase(choice, value)) return true;
  return false;
}

bool IsIPv4Address(std::string_view text) {
  in_addr address{};
  return inet_pton(AF_INET, std::string(TrimBlanks(text)).c_str(), &address) == 1;
}

std::string DefaultText(const Setting& setting) {
  switch (setting.kind) {
    case FieldKind::kInteger:
      return std::to_string(setting.defaultNumber);
    case FieldKind::kBoolean:
      return setting.defaultNumber ? "true" : "false";
    case FieldKind::kString:
    case FieldKind::kPassword:
      break;
  }
  return setting.defaultText;
}

std::int64_t ReadInteger(const ConfigSection& section, std::string_view key) {
  return section.GetInteger(key, SettingOf(key).defaultNumber);
}

std::string ReadString(const ConfigSection& section, std::string_view key) {
  return section.GetString(key, SettingOf(key).defaultText);
}

bool ReadBoolean(const ConfigSection& section, std::string_view key) {
  return section.GetBoolean(key, SettingOf(key).defaultNumber != 0);
}

std::string ReadPassword(const ConfigSection& section, std::string_view key, std::string* error) {
  return section.GetPassword(key, SettingOf(key).defaultText, error);
}

}  // namespace brivane::base
