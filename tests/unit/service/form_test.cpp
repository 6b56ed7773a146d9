#include <gtest/gtest.h>

#include "service/config.h"

namespace brivane::service {
namespace {

// A form as the page posts it with every field at a valid value.
std::multimap<std::string, std::string> ValidForm() {
  std::multimap<std::string, std::string> form;
  for (const auto& field : kFormFields) {
    switch (field.kind) {
      case FieldKind::kInteger:
        form.emplace(field.key, field.shape == base::ValueShape::kEnumeration
                                    ? std::string(field.choices[0])
                                    : std::to_string(field.min));
        break;
      case FieldKind::kString:
        if (field.shape == base::ValueShape::kEnumeration)
          form.emplace(field.key, field.choices[0]);
        else if (field.shape == base::ValueShape::kAddress)
          form.emplace(field.key, "10.1.2.3");
        else
          form.emplace(field.key, "text");
        break;
      case FieldKind::kPassword:
        form.emplace(field.key, "");
        break;
      case FieldKind::kBoolean:
        break;  // unchecked boxes are not posted
    }
  }
  return form;
}

void Replace(std::multimap<std::string, std::string>& form, const std::string& key,
             const std::string& value) {
  form.erase(key);
  form.emplace(key, value);
}

const FieldChange& ChangeOf(const FormCheck& check, std::string_view key) {
  for (const auto& c : check.changes)
    if (key == c.field->key) return c;
  throw std::runtime_error("no change for " + std::string(key));
}

TEST(FormFields, OrderAndBoundsAsShown) {
  const char* order[] = {"LogLevel",
                         "AdminUserName",
                         "AdminPassword",
                         "HTTPPort",
                         "DataSource",
                         "DBUser",
                         "DBPassword",
                         "DBType",
                         "SMGAddress",
                         "AsiaInfoSMG",
                         "SPCorpID",
                         "SPID",
                         "SMGVersion",
                         "SPLoginName",
                         "SPPassword",
                         "MOPort",
                         "MTPort",
                         "MTAndMOPort",
                         "MOConnections",
                         "MTConnections",
                         "MTAndMOConnections",
                         "DialogCarrierID",
                         "DialogCarrierNAME",
                         "MOHTTPQuestTimeout",
                         "EnableHTTPClient"};
  ASSERT_EQ(std::size(order), kFormFields.size());
  for (std::size_t i = 0; i < kFormFields.size(); ++i) EXPECT_STREQ(kFormFields[i].key, order[i]);
  EXPECT_EQ(FindFormField("SMGVersion")->min, 32);
  EXPECT_EQ(FindFormField("SMGVersion")->max, 100);
  EXPECT_EQ(FindFormField("MOHTTPQuestTimeout")->min, 3000);
  EXPECT_EQ(FindFormField("MOHTTPQuestTimeout")->max, 600000);
  EXPECT_STREQ(FindFormField("MOConnections")->unit, "个");
  EXPECT_EQ(FindFormField("Certificate"), nullptr);  // not on the form
}

TEST(CheckForm, ValidFormGivesOneChangePerField) {
  auto form = ValidForm();
  Replace(form, "AsiaInfoSMG", "true");
  Replace(form, "DBUser", "  padded  ");
  Replace(form, "HTTPPort", "+9000");
  FormCheck check = CheckForm(form);
  ASSERT_TRUE(check.Ok()) << check.errors[0];
  EXPECT_EQ(check.changes.size(), kFormFields.size());
  EXPECT_EQ(ChangeOf(check, "AsiaInfoSMG").value, "true");
  EXPECT_EQ(ChangeOf(check, "EnableHTTPClient").value, "false");
  EXPECT_EQ(ChangeOf(check, "DBUser").value, "padded");
  EXPECT_EQ(ChangeOf(check, "HTTPPort").value, "9000");
  EXPECT_EQ(ChangeOf(check, "DBPassword").action, FieldChange::Action::kKeepPassword);
}

TEST(CheckForm, BoundsAreCheckedAndTheFieldIsNamed) {
  struct Case {
    const char* key;
    const char* value;
    const char* words;
  } cases[] = {
      {"SMGVersion", "31", "between 32 and 100"},
      {"SMGVersion", "101", "between 32 and 100"},
      {"HTTPPort", "0", "between 1 and 65535"},
      {"HTTPPort", "70000", "between 1 and 65535"},
      {"MOConnections", "-1", "between 0 and 255"},
      {"MOHTTPQuestTimeout", "2999", "between 3000 and 600000"},
      {"LogLevel", "10", "between 0 and 9"},
      {"LogLevel", "3x", "not a whole number"},
      {"LogLevel", "", "required"},
      {"MTPort", "99999999999999999999", "not a whole number"},
  };
  for (const auto& c : cases) {
    auto form = ValidForm();
    Replace(form, c.key, c.value);
    FormCheck check = CheckForm(form);
    ASSERT_EQ(check.errors.size(), 1u) << c.key << "=" << c.value;
    EXPECT_EQ(check.errors[0].rfind(std::string(c.key) + ": ", 0), 0u) << check.errors[0];
    EXPECT_NE(check.errors[0].find(c.words), std::string::npos) << check.errors[0];
    EXPECT_TRUE(check.changes.empty()) << "nothing may be stored from a refused form";
  }
  auto form = ValidForm();
  Replace(form, "SMGVersion", "32");
  Replace(form, "MOHTTPQuestTimeout", "600000");
  EXPECT_TRUE(CheckForm(form).Ok());
}

TEST(CheckForm, TextsThatTheStoreCannotKeepAreRefused) {
  for (const char* bad : {"a\nAdminPassword=x", "tab\tinside", "a ;b", "\xff\xfe", "\xc0\xaf"}) {
    auto form = ValidForm();
    Replace(form, "DataSource", bad);
    FormCheck check = CheckForm(form);
    ASSERT_FALSE(check.Ok()) << bad;
    EXPECT_EQ(check.errors[0].rfind("DataSource: ", 0), 0u);
  }
  auto form = ValidForm();
  Replace(form, "DataSource", std::string(200, 'x'));
  EXPECT_FALSE(CheckForm(form).Ok());
  Replace(form, "DataSource", "Driver=SQLite3;Database=/var/lib/brivane/sp.db");
  EXPECT_TRUE(CheckForm(form).Ok());
  Replace(form, "DialogCarrierNAME", "中国移动");
  EXPECT_TRUE(CheckForm(form).Ok());
}

TEST(CheckForm, PasswordsKeepClearOrSet) {
  auto form = ValidForm();
  Replace(form, "AdminPassword", "new pw ; with blanks");
  form.emplace("DBPassword.clear", "1");
  Replace(form, "SPPassword", "");
  FormCheck check = CheckForm(form);
  ASSERT_TRUE(check.Ok());
  EXPECT_EQ(ChangeOf(check, "AdminPassword").action, FieldChange::Action::kSet);
  EXPECT_EQ(ChangeOf(check, "AdminPassword").value, "new pw ; with blanks");
  EXPECT_EQ(ChangeOf(check, "DBPassword").action, FieldChange::Action::kClearPassword);
  EXPECT_EQ(ChangeOf(check, "SPPassword").action, FieldChange::Action::kKeepPassword);

  Replace(form, "AdminPassword", std::string(kMaxPasswordBytes + 1, 'p'));
  EXPECT_FALSE(CheckForm(form).Ok());
  Replace(form, "AdminPassword", "line\nbreak");
  EXPECT_FALSE(CheckForm(form).Ok());
}

TEST(Utf8, ValidAndInvalidSequences) {
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("中文 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("\xE4\xB8"));          // truncated
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));          // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\x80"));
}

}  // namespace
}  // namespace brivane::service
