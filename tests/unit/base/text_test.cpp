#include "base/text.h"

#include <gtest/gtest.h>

namespace brivane::base {
namespace {

TEST(Text, ChineseRoundTripsThroughEveryForm) {
  const std::string utf8 = "中文短信";
  const std::string gbk = Utf8ToGbk(utf8);
  EXPECT_EQ(gbk, "\xD6\xD0\xCE\xC4\xB6\xCC\xD0\xC5");
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
  const std::u16string u16 = GbkToUtf16(gbk);
  EXPECT_EQ(u16, u"中文短信");
  EXPECT_EQ(Utf16ToGbk(u16), gbk);
  EXPECT_EQ(Utf16ToUtf8(u16), utf8);
  EXPECT_EQ(Utf8ToUtf16(utf8), u16);
}

TEST(Text, CharacterGbkLacksIsReportedNotSilentlyKept) {
  bool lossless = true;
  std::string gbk = Utf8ToGbk("ok \xF0\x9F\x98\x80", &lossless);  // an emoji
  EXPECT_FALSE(lossless);
  EXPECT_EQ(gbk, "ok ?");
  lossless = false;
  Utf8ToGbk("plain", &lossless);
  EXPECT_TRUE(lossless);
}

TEST(Text, BrokenGbkBecomesReplacementAndTheRestSurvives) {
  // A lead byte at the very end has no trail byte.
  std::u16string u16 = GbkToUtf16("ab\xD6");
  ASSERT_EQ(u16.size(), 3u);
  EXPECT_EQ(u16[0], u'a');
  EXPECT_EQ(u16[2], u'\xFFFD');
}

TEST(Text, EmptyInputsGiveEmptyOutputs) {
  EXPECT_TRUE(GbkToUtf16("").empty());
  EXPECT_TRUE(Utf16ToGbk(u"").empty());
  EXPECT_TRUE(GbkToUtf8("").empty());
}

TEST(Text, LeadByteRange) {
  EXPECT_FALSE(IsGbkLeadByte(0x80));
  EXPECT_TRUE(IsGbkLeadByte(0x81));
  EXPECT_TRUE(IsGbkLeadByte(0xFE));
  EXPECT_FALSE(IsGbkLeadByte(0xFF));
  EXPECT_FALSE(IsGbkLeadByte('A'));
}

}  // namespace
}  // namespace brivane::base
