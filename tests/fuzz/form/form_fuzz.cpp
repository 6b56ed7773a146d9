// Fuzz entry for the admin form's input handling. Input: the body of a POST
// to /Parameters (application/x-www-form-urlencoded), also read as the
// credentials of an Authorization header.
//
// Properties, beyond "no crash":
// - decoding then encoding every pair again and decoding gives the same pairs;
// - an accepted form yields one change per field, each within what the store
//   and the field allow (bounds, UTF-8, storable text, password length);
//   a refused one yields no change and names the field of every error;
// - whatever the values, the form page shown with them has exactly the markup
//   of the page shown with empty values (no value adds a tag or an attribute);
// - escaping is reversible and leaves no markup character;
// - credentials that parse encode back to the same header.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "base/config_store.h"
#include "base/secret_box.h"
#include "service/admin.h"
#include "service/config.h"

namespace {

using namespace brivane::service;

#define CHECK(cond, what)                                                     \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "form property broken: %s: %s (line %d)\n", #cond, \
                   std::string(what).c_str(), __LINE__);                      \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

std::string Unescape(std::string text) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    bool replaced = false;
    for (const auto& [from, to] : entities) {
      std::string_view f(from);
      if (text.compare(i, f.size(), f) == 0) {
        out += to;
        i += f.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// With memchr, so that the count over a whole page is not traced as
// coverage on every byte (that was most of the target's time).
std::size_t Count(const std::string& text, char c) {
  std::size_t n = 0;
  const char* at = text.data();
  const char* end = text.data() + text.size();
  while (const void* hit = std::memchr(at, c, static_cast<std::size_t>(end - at))) {
    ++n;
    at = static_cast<const char*>(hit) + 1;
  }
  return n;
}

bool AllDigits(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);

  const auto posted = ParseFormBody(body);
  std::string again;
  for (const auto& [name, value] : posted) {
    if (!again.empty()) again += '&';
    again += PercentEncode(name) + "=" + PercentEncode(value);
  }
  CHECK(ParseFormBody(again) == posted, again);

  const FormCheck check = CheckForm(posted);
  if (check.Ok()) {
    CHECK(check.changes.size() == kFormFields.size(), "one change per field");
    for (std::size_t i = 0; i < check.changes.size(); ++i) {
      const FieldChange& change = check.changes[i];
      const FormField& field = *change.field;
      CHECK(&field == &kFormFields[i], field.key);
      switch (field.kind) {
        case FieldKind::kInteger: {
          CHECK(AllDigits(change.value), change.value);
          long long n = std::stoll(change.value);
          CHECK(n >= field.min && n <= field.max, field.key);
          break;
        }
        case FieldKind::kString:
          CHECK(IsValidUtf8(change.value), field.key);
          CHECK(brivane::base::ConfigSection::CanStore(field.key, change.value), field.key);
          break;
        case FieldKind::kPassword:
          if (change.action == FieldChange::Action::kSet) {
            CHECK(!change.value.empty() && change.value.size() <= kMaxPasswordBytes, field.key);
            CHECK(IsValidUtf8(change.value), field.key);
          } else {
            CHECK(change.value.empty(), field.key);
          }
          break;
        case FieldKind::kBoolean:
          CHECK(change.value == "true" || change.value == "false", field.key);
          break;
      }
    }
  } else {
    CHECK(check.changes.empty(), "a refused form changes nothing");
    for (const auto& e : check.errors) {
      auto colon = e.find(':');
      CHECK(colon != std::string::npos && FindFormField(e.substr(0, colon)) != nullptr, e);
    }
  }

  // The page shown with the posted values has the markup of one shown with
  // the same values with their markup characters made plain ('x' keeps each
  // value's length, and whether it is one of a list's choices: none holds
  // an 'x' or a markup character).
  const std::string token(64, 'a');
  AdminPagesState shown;
  AdminPagesState plainShown;
  for (const auto& field : kFormFields) {
    auto it = posted.find(field.key);
    std::string value = it == posted.end() ? "" : it->second;
    std::string plainValue = value;
    for (char& c : plainValue)
      if (c == '<' || c == '>' || c == '"' || c == '\'' || c == '&') c = 'x';
    shown.formShown[field.key] = std::move(value);
    plainShown.formShown[field.key] = std::move(plainValue);
  }
  const std::string plain = RenderFormPage(plainShown, token);
  const std::string page = RenderFormPage(shown, token);
  for (char c : {'<', '>', '"', '\''}) CHECK(Count(page, c) == Count(plain, c), std::string(1, c));

  const std::string escaped = EscapeHtml(body);
  CHECK(escaped.find_first_of("<>\"'") == std::string::npos, "markup left");
  CHECK(Unescape(escaped) == body, "escaping lost text");

  std::string user;
  std::string password;
  if (ParseBasicAuth("Basic " + body, &user, &password)) {
    std::string user2;
    std::string password2;
    CHECK(user.find(':') == std::string::npos, user);
    CHECK(ParseBasicAuth("Basic " + brivane::base::Base64Encode(user + ":" + password), &user2,
                         &password2),
          "re-encoded credentials");
    CHECK(user2 == user && password2 == password, "credentials changed");
  }
  return 0;
}
