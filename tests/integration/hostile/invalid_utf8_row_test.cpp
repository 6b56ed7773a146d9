// A Submit row whose Msg is not valid UTF-8 (an encoded surrogate, an
// overlong form, a cut-off sequence) beside Chinese text goes out as UCS-2
// with U+FFFD where the broken bytes were, never with a lone surrogate.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

bool HasLoneSurrogate(const std::string& ucs2Hex) {
  for (std::size_t i = 0; i + 4 <= ucs2Hex.size(); i += 4) {
    const unsigned unit = std::stoul(ucs2Hex.substr(i, 4), nullptr, 16);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 8 > ucs2Hex.size()) return true;
      const unsigned next = std::stoul(ucs2Hex.substr(i + 4, 4), nullptr, 16);
      if (next < 0xDC00 || next > 0xDFFF) return true;
      i += 4;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

TEST(InvalidUtf8Row, BrokenBytesBecomeReplacementNotLoneSurrogates) {
  E2eSystem sys;
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  // 中 = E4 B8 AD; ED A0 80 encodes U+D800; C0 AF is an overlong '/'; E4 B8
  // is cut short before 'z'.
  const std::string hex =
      "E4B8AD"
      "EDA080"
      "41"
      "C0AF"
      "E4B87A";
  ASSERT_TRUE(sys.Exec("INSERT INTO Submit (Mobile, Msg) VALUES ('13800004001', CAST(X'" + hex +
                       "' AS TEXT))"));
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 1, 30s)) << sys.Log();
  std::string content;
  for (const std::string& s : sys.SmgSubmits())
    if (JsonValue(s, "Dest_terminal_Id") == "13800004001") content = JsonValue(s, "Msg_Content");
  ASSERT_FALSE(content.empty()) << sys.Log();
  EXPECT_FALSE(HasLoneSurrogate(content)) << content;
  // The Chinese character and the letters survive around the damage.
  EXPECT_EQ(content.rfind("4E2D", 0), 0u) << content;
  EXPECT_NE(content.find("0041"), std::string::npos) << content;
  EXPECT_NE(content.find("FFFD"), std::string::npos) << content;
  EXPECT_EQ(content.substr(content.size() - 4), "007A") << content;
}

}  // namespace
}  // namespace brivane::test
