#include "sp/mt_content.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/text.h"

namespace brivane::sp {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(MtText, AsciiGoesOutAsItIs) {
  MtContent c = EncodeMtText(u"Hello 123");
  EXPECT_EQ(c.Msg_Fmt, 0);
  EXPECT_EQ(c.bytes, Bytes("Hello 123"));
  EXPECT_FALSE(c.cut);
}

TEST(MtText, OneChineseCharacterSendsTheWholeTextAsBigEndianUcs2) {
  MtContent c = EncodeMtText(u"ab中");
  EXPECT_EQ(c.Msg_Fmt, 8);
  EXPECT_EQ(c.bytes, (std::vector<std::uint8_t>{0x00, 'a', 0x00, 'b', 0x4E, 0x2D}));
}

TEST(MtText, CharacterGbkCannotHoldIsSentAsUcs2NotAsQuestionMark) {
  // An emoji has no GBK form and leaves no lead byte behind in GBK.
  MtContent c = EncodeMtText(u"ok \U0001F600");
  EXPECT_EQ(c.Msg_Fmt, 8);
  ASSERT_EQ(c.bytes.size(), 10u);
  EXPECT_EQ(c.bytes[6], 0xD8);  // high surrogate D83D, big-endian
  EXPECT_EQ(c.bytes[7], 0x3D);
  EXPECT_EQ(c.bytes[8], 0xDE);
  EXPECT_EQ(c.bytes[9], 0x00);
}

TEST(MtText, OverlongTextIsCutAtACharacterBoundary) {
  MtContent ascii = EncodeMtText(std::u16string(20, u'x'), 16);
  EXPECT_TRUE(ascii.cut);
  EXPECT_EQ(ascii.bytes.size(), 16u);

  // 7 units fit in 15 bytes, but the 7th is the first half of a pair: 6 stay.
  std::u16string text = u"中中中中中中\U0001F600";
  MtContent ucs2 = EncodeMtText(text, 15);
  EXPECT_TRUE(ucs2.cut);
  EXPECT_EQ(ucs2.bytes.size(), 12u);

  MtContent fits = EncodeMtText(u"中中", 4);
  EXPECT_FALSE(fits.cut);
}

TEST(MtText, TheLargestTextLeavesRoomForTheTerminatorInTheRecord) {
  auto record = std::make_unique<cmpp::CmppSubmit>();
  std::memset(record.get(), 0xAB, sizeof *record);
  MtContent c = EncodeMtText(std::u16string(10000, u'中'));
  EXPECT_TRUE(c.cut);
  FillContent(*record, c);
  EXPECT_EQ(record->Msg_Fmt, 8);
  EXPECT_EQ(record->Msg_Length, 8192u);
  EXPECT_EQ(record->Msg_Content[8192], 0);
}

TEST(WapPush, BodyOfTwelveByteAddressAndFourByteTextIs49Bytes) {
  std::vector<std::uint8_t> body = BuildWapPush("wap.test.com", "News");
  ASSERT_EQ(body.size(), 49u);
  const std::vector<std::uint8_t> head = {0x06, 0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0, 0x25, 0x06,
                                          0x08, 0x03, 0xAE, 0x81, 0xEA, 0xAF, 0x82, 0xB4, 0x84,
                                          0x02, 0x05, 0x6A, 0x00, 0x45, 0xC6, 0x08, 0x0C, 0x03};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), body.begin()));
  EXPECT_EQ(std::string(body.begin() + 27, body.begin() + 39), "wap.test.com");
  EXPECT_EQ(body[39], 0x00);
  EXPECT_EQ(body[40], 0x01);
  EXPECT_EQ(body[41], 0x03);
  EXPECT_EQ(std::string(body.begin() + 42, body.begin() + 46), "News");
  EXPECT_EQ((std::vector<std::uint8_t>(body.end() - 3, body.end())),
            (std::vector<std::uint8_t>{0x00, 0x01, 0x01}));
}

TEST(WapPush, ChineseTextIsAppendedAsUtf8) {
  std::vector<std::uint8_t> buffer;
  AppendPushText(buffer, base::Utf8ToGbk("新闻"));
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "新闻");
  buffer.clear();
  AppendPushText(buffer, "plain");
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "plain");
}

}  // namespace
}  // namespace brivane::sp
