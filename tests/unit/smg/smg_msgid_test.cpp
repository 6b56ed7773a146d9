// Msg_Id layout and uniqueness, and the report time text.
#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "msg_id.h"

namespace brivane::smg {
namespace {

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// The fields of an id as one line, so that a test compares all of them at
// once and a failure shows every field.
std::string FieldsText(const MsgIdFields& f) {
  return std::to_string(f.month) + "-" + std::to_string(f.day) + " " + std::to_string(f.hour) +
         ":" + std::to_string(f.minute) + ":" + std::to_string(f.second) + " gateway " +
         std::to_string(f.gatewayCode) + " sequence " + std::to_string(f.sequence);
}

TEST(MsgId, FieldsSitAtTheirBitsBigEndian) {
  // month 12 | day 31 | hour 23 | minute 59 | second 58 | gateway 0x2ABCDE | sequence 0xBEEF
  const std::uint64_t v = ComposeMsgId({12, 31, 23, 59, 58, 0x2ABCDE, 0xBEEF});
  const std::uint64_t expected = (12ull << 60) | (31ull << 55) | (23ull << 50) | (59ull << 44) |
                                 (58ull << 38) | (0x2ABCDEull << 16) | 0xBEEFull;
  EXPECT_EQ(v, expected);
  const MsgId bytes = MsgIdBytes(v);
  EXPECT_EQ(bytes[0], static_cast<std::uint8_t>(expected >> 56)) << "most significant first";
  EXPECT_EQ(bytes[7], 0xEF);
  EXPECT_EQ(MsgIdValue(bytes), v);
  EXPECT_EQ(MsgIdText(bytes), std::to_string(expected));

  EXPECT_EQ(FieldsText(SplitMsgId(v)), FieldsText({12, 31, 23, 59, 58, 0x2ABCDE, 0xBEEF}));
}

TEST(MsgId, OverwideValuesDoNotSpillIntoNeighbours) {
  const MsgIdFields f = SplitMsgId(ComposeMsgId({1, 2, 3, 4, 5, 0xFFFFFFFF, 0x12345}));
  EXPECT_EQ(f.second, 5u);
  EXPECT_EQ(f.gatewayCode, kMaxGatewayCode);
  EXPECT_EQ(f.sequence, 0x2345u);
  EXPECT_EQ(MsgIdText(MsgIdBytes(~0ull)), "18446744073709551615") << "unsigned decimal";
}

TEST(MsgIdBuilder, CarriesTheLocalTimeAndGatewayAndCountsWithinTheSecond) {
  MsgIdBuilder builder(777);
  const std::time_t t = LocalTime(2024, 3, 9, 14, 25, 36);
  EXPECT_EQ(FieldsText(SplitMsgId(MsgIdValue(builder.NextAt(t)))),
            FieldsText({3, 9, 14, 25, 36, 777, 0}));
  EXPECT_EQ(FieldsText(SplitMsgId(MsgIdValue(builder.NextAt(t)))),
            FieldsText({3, 9, 14, 25, 36, 777, 1}));
  // A new second starts the sequence again.
  EXPECT_EQ(FieldsText(SplitMsgId(MsgIdValue(builder.NextAt(t + 1)))),
            FieldsText({3, 9, 14, 25, 37, 777, 0}));
}

TEST(MsgIdBuilder, NeverRepeatsPastTheSixteenBitSequenceOrWhenTheClockStepsBack) {
  MsgIdBuilder builder(1);
  const std::time_t t = LocalTime(2024, 6, 1, 8, 0, 10);
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 70000; ++i) ASSERT_TRUE(seen.insert(MsgIdValue(builder.NextAt(t))).second);
  // The 65537th id of one second moved on to the next second.
  const MsgIdFields moved = SplitMsgId(MsgIdValue(builder.NextAt(t)));
  EXPECT_EQ(moved.second, 11u);
  // A clock that goes back does not bring old ids back.
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(seen.insert(MsgIdValue(builder.NextAt(t - 5))).second);
  }
}

TEST(MsgIdBuilder, ThreadsDrawDistinctIds) {
  MsgIdBuilder builder(42);
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::vector<std::uint64_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kEach; ++n) drawn[i].push_back(MsgIdValue(builder.Next()));
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::uint64_t> all;
  for (const auto& d : drawn) all.insert(d.begin(), d.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST(ReportTime, IsYearMonthDayHourMinute) {
  EXPECT_EQ(ReportTimeText(LocalTime(2009, 1, 2, 3, 4, 59)), "0901020304");
  EXPECT_EQ(ReportTimeText(LocalTime(2031, 12, 31, 23, 59, 0)), "3112312359");
}

}  // namespace
}  // namespace brivane::smg
