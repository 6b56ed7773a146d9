#include "base/settings_table.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "service/admin.h"
#include "service/config.h"
#include "support/process.h"

namespace brivane::service {
namespace {

using base::kSettings;
using base::Setting;
using base::ValueShape;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> ChoicesOf(const Setting& s) {
  std::vector<std::string> out;
  for (const char* c : s.choices)
    if (c) out.push_back(c);
  return out;
}

TEST(SettingsTable, EachKeyOnceWithADefaultItsOwnChecksAccept) {
  std::set<std::string> seen;
  for (const Setting& s : kSettings) {
    EXPECT_TRUE(seen.insert(Lower(s.key)).second) << s.key << " is listed twice";
    const std::string def = base::DefaultText(s);
    switch (s.shape) {
      case ValueShape::kEnumeration:
        EXPECT_GE(ChoicesOf(s).size(), 2u) << s.key;
        EXPECT_TRUE(base::IsChoice(s, def)) << s.key << " defaults to " << def;
        break;
      case ValueShape::kAddress:
        EXPECT_TRUE(base::IsIPv4Address(def)) << s.key;
        break;
      case ValueShape::kPort:
        EXPECT_EQ(s.min, 1) << s.key;
        EXPECT_EQ(s.max, 65535) << s.key;
        break;
      case ValueShape::kPlain:
      case ValueShape::kPath:
        break;
    }
    if (s.kind == base::FieldKind::kInteger && s.min <= s.max &&
        std::string(s.key) != "MTSpeedLimit") {
      EXPECT_TRUE(s.defaultNumber >= s.min && s.defaultNumber <= s.max) << s.key;
    }
    if (s.onForm && s.kind != base::FieldKind::kInteger && s.kind != base::FieldKind::kBoolean) {
      EXPECT_GT(s.width, 0) << s.key;
    }
  }
  // Every key the table holds is known to the check, in any case.
  EXPECT_TRUE(IsKnownKey("smgversion"));
  EXPECT_EQ(base::SettingOf("SMGVersion").defaultNumber, kDefaultSMGVersion);
}

// A help text may not contradict the field it helps with: a range it names
// is the field's bounds, and an enumeration's text names every choice.
TEST(SettingsTable, HelpTextsAgreeWithBoundsAndChoices) {
  const std::regex range(R"((\d+)\s*-\s*(\d+))");
  for (const Setting& s : kSettings) {
    const std::string help = s.helpHtml;
    if (s.kind == base::FieldKind::kInteger) {
      for (std::sregex_iterator it(help.begin(), help.end(), range), end; it != end; ++it) {
        EXPECT_EQ(std::stoll((*it)[1]), s.min) << s.key << ": " << help;
        EXPECT_EQ(std::stoll((*it)[2]), s.max) << s.key << ": " << help;
      }
    }
    if (s.shape == ValueShape::kEnumeration) {
      for (const auto& choice : ChoicesOf(s)) {
        EXPECT_NE(help.find(choice), std::string::npos) << s.key << " help omits " << choice;
      }
    }
  }
}

// The guide's key table, by key: {default as written, form column}.
std::map<std::string, std::pair<std::string, std::string>> GuideKeyTable() {
  const std::string guide = test::ReadFile(test::SourcePath("docs/OPERATOR.md"));
  std::map<std::string, std::pair<std::string, std::string>> rows;
  std::istringstream lines(guide.substr(guide.find("| Key | Default | Form | Meaning |")));
  std::string line;
  std::getline(lines, line);  // header
  std::getline(lines, line);  // rule
  const std::regex row(R"(^\| ([^|]+) \| ([^|]+) \| ([^|]+) \|)");
  const std::regex key("`([A-Za-z_]+)`");
  while (std::getline(lines, line) && line.rfind("|", 0) == 0) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    const std::string keys = m[1];
    const std::string defaults = m[2];
    std::vector<std::string> names;
    for (std::sregex_iterator it(keys.begin(), keys.end(), key), end; it != end; ++it)
      names.push_back((*it)[1]);
    // "0, 0, 1" gives one default per key; one value is every key's.
    std::vector<std::string> values;
    std::stringstream split(defaults);
    for (std::string v; std::getline(split, v, ',');)
      values.push_back(v.substr(v.find_first_not_of(' ')));
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string value = values.size() == names.size() ? values[i] : defaults;
      EXPECT_TRUE(rows.emplace(names[i], std::make_pair(value, std::string(m[3]))).second)
          << names[i] << " is in the guide's table twice";
    }
  }
  return rows;
}

// The guide's table is written by hand, for its prose; this holds its keys,
// defaults and form column to the settings table.
TEST(SettingsTable, GuideKeyTableAgreesWithTheSettingsTable) {
  auto guide = GuideKeyTable();
  ASSERT_GT(guide.size(), 30u) << "the guide's key table was not found";
  // Defaults worked out at the start, or kept out of the guide on purpose.
  const std::map<std::string, std::string> described = {{"AdminPassword", "the maker's name"},
                                                        {"InstanceID", "host name `:` home"}};
  for (const Setting& s : kSettings) {
    auto row = guide.find(s.key);
    ASSERT_NE(row, guide.end()) << s.key << " is missing from the guide's key table";
    const auto& [written, form] = row->second;
    auto special = described.find(s.key);
    std::string expected = base::DefaultText(s);
    if (special != described.end()) {
      expected = special->second;
    } else if (expected.empty()) {
      expected = "empty";
    } else if (s.kind == base::FieldKind::kString) {
      expected = "`" + expected + "`";
    }
    EXPECT_EQ(written.substr(0, expected.size()), expected) << s.key << " default";
    std::string expectedForm;
    if (!s.onForm)
      expectedForm = "no";
    else if (s.shape == ValueShape::kEnumeration)
      expectedForm = "select";
    else if (s.kind == base::FieldKind::kBoolean)
      expectedForm = "check box";
    else if (s.kind == base::FieldKind::kInteger)
      expectedForm = std::to_string(s.min) + "–" + std::to_string(s.max);
    else
      expectedForm = "yes";
    EXPECT_EQ(form.substr(0, expectedForm.size()), expectedForm) << s.key << " form column";
    guide.erase(row);
  }
  for (const auto& [key, row] : guide) ADD_FAILURE() << key << " is in the guide but not read";
}

TEST(CheckForm, EnumerationsAndAddressesAreChecked) {
  struct Case {
    const char* key;
    const char* value;
    const char* error;   // nullptr: accepted
    const char* stored;  // when accepted
  } cases[] = {
      {"DBType", "db2", "DBType: must be one of mssql, mysql, oracle, postgresql or sqlite", ""},
      {"DBType", "MySQL", nullptr, "mysql"},
      {"DBType", " postgresql ", nullptr, "postgresql"},
      {"SMGVersion", "40", "SMGVersion: must be one of 32 or 48", ""},
      {"SMGVersion", "32", nullptr, "32"},
      {"SMGAddress", "smg.example.net", "SMGAddress: not an IPv4 address", ""},
      {"SMGAddress", "10.1", "SMGAddress: not an IPv4 address", ""},
      {"SMGAddress", "", "SMGAddress: not an IPv4 address", ""},
      {"SMGAddress", "192.168.10.7", nullptr, "192.168.10.7"},
  };
  for (const auto& c : cases) {
    std::multimap<std::string, std::string> form;
    for (const auto& f : kFormFields) {
      if (f.kind == base::FieldKind::kBoolean || f.kind == base::FieldKind::kPassword) continue;
      form.emplace(f.key, base::DefaultText(f));
    }
    form.erase(c.key);
    form.emplace(c.key, c.value);
    FormCheck check = CheckForm(form);
    if (c.error) {
      ASSERT_EQ(check.errors.size(), 1u) << c.key << "=" << c.value;
      EXPECT_EQ(check.errors[0].rfind(c.error, 0), 0u) << check.errors[0];
      continue;
    }
    ASSERT_TRUE(check.Ok()) << c.key << "=" << c.value << ": " << check.errors[0];
    for (const auto& change : check.changes) {
      if (std::string(change.field->key) == c.key) {
        EXPECT_EQ(change.value, c.stored);
      }
    }
  }
}

TEST(FormPage, SelectsShowTheValueInUseAndTheLastStartIsReported) {
  AdminPagesState state;
  state.formShown = {{"DBType", "db2"}, {"SMGVersion", "32"}};
  state.startOutcome = "Restarted at 2026/12/08 21:00:00";
  state.startProblems = {"/etc/b.ini:3: warning: Colour: unknown key, ignored <b>"};
  const std::string page = RenderFormPage(state, "t");
  // An unsupported stored value is shown as it is, not silently replaced.
  EXPECT_NE(page.find("<option value=\"db2\" selected>db2 (not supported)</option>"),
            std::string::npos);
  EXPECT_EQ(page.find("value=\"mssql\" selected"), std::string::npos);
  EXPECT_NE(page.find("<option value=\"32\" selected>32 (CMPP 2.0)</option>"), std::string::npos);
  EXPECT_NE(page.find("Restarted at 2026/12/08 21:00:00: 1 problem(s) found"), std::string::npos);
  EXPECT_NE(page.find("Colour: unknown key, ignored &lt;b&gt;"), std::string::npos);
  EXPECT_LT(page.find("Restarted at"), page.find("<form "));

  state.startProblems.clear();
  EXPECT_NE(RenderFormPage(state, "t").find("Restarted at 2026/12/08 21:00:00: no problems found"),
            std::string::npos);
  EXPECT_EQ(RenderFormPage(AdminPagesState{}, "t").find("class=\"outcome\""), std::string::npos);
}

TEST(ConfigCheck, FileOnlyKeysAreHeldToTheirBounds) {
  test::TempDir dir;
  const std::string ini = dir.File("brivane.ini");
  test::WriteFile(
      ini, "[Parameters]\nDBCommitBatch=0\nFlowControlTries=21\nSocketTimeout=30\nClaimLease=3\n");
  auto problems = CheckConfigurationFile(ini, true, dir.File("brivane.key"));
  ASSERT_EQ(problems.size(), 3u) << FormatProblem("f", problems[0]);
  EXPECT_EQ(FormatProblem("f", problems[0]),
            "f:2: warning: DBCommitBatch: 0 is outside the bounds 1-10000");
  EXPECT_EQ(FormatProblem("f", problems[1]),
            "f:3: warning: FlowControlTries: 21 is outside the bounds 1-20");
  EXPECT_EQ(FormatProblem("f", problems[2]),
            "f:5: warning: ClaimLease: 3 is below the least value 5");
}

}  // namespace
}  // namespace brivane::service

namespace brivane::service {
namespace {

// The shipped example shows every key commented out at its default.
TEST(SettingsTable, ExampleConfigurationShowsEveryKeyAtItsDefault) {
  const std::string example = test::ReadFile(test::SourcePath("packaging/brivane.ini"));
  const std::regex line(R"(\n;([A-Za-z_]+)=([^\n]*))");
  std::set<std::string> shown;
  for (std::sregex_iterator it(example.begin(), example.end(), line), end; it != end; ++it) {
    const base::Setting* s = base::FindSetting((*it)[1].str());
    ASSERT_NE(s, nullptr) << (*it)[1] << " in the example is no key";
    EXPECT_TRUE(shown.insert(s->key).second) << s->key << " twice in the example";
    EXPECT_EQ((*it)[2].str(), base::DefaultText(*s)) << s->key;
  }
  for (const base::Setting& s : kSettings)
    EXPECT_TRUE(shown.count(s.key)) << s.key << " is missing from the example";
}

}  // namespace
}  // namespace brivane::service
