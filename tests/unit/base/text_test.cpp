#include "base/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

// Converters are lent between threads; one lent to two threads at once, or
// handed back with a broken sequence's state, would garble the next text.
TEST(Text, ThreadsConvertingAtOnceEachGetTheirOwnTextBack) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      const std::string utf8 = "线程" + std::to_string(t) + " 中文短信 text";
      for (int i = 0; i < 500; ++i) {
        const std::string gbk = Utf8ToGbk(utf8);
        // A broken sequence now and then leaves a converter mid-character.
        if (i % 7 == 0) GbkToUtf16("\x81");
        if (GbkToUtf8(gbk) != utf8 || Utf16ToGbk(GbkToUtf16(gbk)) != gbk) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
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
