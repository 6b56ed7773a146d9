#include "service/clear_passwords.h"

#include <gtest/gtest.h>

#include "support/process.h"

namespace brivane::service {
namespace {

TEST(ClearPasswords, ClearOnesAreEncipheredInPlaceAndEveryOtherLineKept) {
  test::TempDir dir;
  const std::string ini = dir.File("brivane.ini");
  const std::string key = dir.File("brivane.key");
  // An enciphered value made beforehand, to see that it is left alone.
  std::string already;
  ASSERT_TRUE(base::SecretBox(key).Encrypt("kept-secret", &already));
  const std::string before =
      "; operator's notes\n"
      "[Other]\n"
      "DBPassword=not-ours\n"
      "\n"
      "[Parameters]\n"
      "HTTPPort=8901\n"
      "AdminPassword=typed-in-clear\n"
      "  ; a comment between\n"
      "DBPassword=" +
      already +
      "\n"
      "SPPassword=\n"
      "DataSource=brivane\n";
  test::WriteFile(ini, before);

  base::ConfigSection section(ini, "Parameters", key);
  ASSERT_TRUE(section.Load());
  std::vector<std::string> keys;
  std::string error;
  ASSERT_TRUE(EncipherClearPasswords(section, &keys, &error)) << error;
  EXPECT_EQ(keys, std::vector<std::string>{"AdminPassword"});

  const std::string after = test::ReadFile(ini);
  EXPECT_EQ(after.find("typed-in-clear"), std::string::npos) << after;
  // Line by line the same but the one value.
  std::string expected = before;
  const std::string clearLine = "AdminPassword=typed-in-clear\n";
  const auto at = after.find("AdminPassword=enc:");
  ASSERT_NE(at, std::string::npos) << after;
  const std::string newLine = after.substr(at, after.find('\n', at) - at + 1);
  expected.replace(expected.find(clearLine), clearLine.size(), newLine);
  EXPECT_EQ(after, expected);

  base::ConfigSection reread(ini, "Parameters", key);
  ASSERT_TRUE(reread.Load());
  EXPECT_EQ(reread.GetPassword("AdminPassword", ""), "typed-in-clear");
  EXPECT_EQ(reread.GetPassword("DBPassword", ""), "kept-secret");

  // A second start finds nothing to do and leaves the file untouched.
  ASSERT_TRUE(EncipherClearPasswords(reread, &keys, &error));
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(test::ReadFile(ini), after);
}

}  // namespace
}  // namespace brivane::service
