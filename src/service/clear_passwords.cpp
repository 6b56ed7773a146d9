#include "service/clear_passwords.h"

#include "base/secret_box.h"
#include "service/config.h"

namespace brivane::service {

bool EncipherClearPasswords(base::ConfigSection& section, std::vector<std::string>* keys,
                            std::string* error) {
  keys->clear();
  for (const auto& field : kFormFields) {
    if (field.kind != FieldKind::kPassword) continue;
    auto raw = section.GetRaw(field.key);
    if (!raw || raw->empty() || base::SecretBox::IsEnciphered(*raw)) continue;
    if (!section.SetPassword(field.key, *raw, error)) return false;
    keys->push_back(field.key);
  }
  if (keys->empty()) return true;
  if (section.Save(error)) return true;
  keys->clear();
  return false;
}

}  // namespace brivane::service
