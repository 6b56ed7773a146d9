#include "sp/pending_submits.h"

#include <gtest/gtest.h>

namespace brivane::sp {
namespace {

TEST(PendingSubmits, ResponseFindsItsRecordOnceAndUnknownSequenceFindsNothing) {
  PendingSubmits p;
  p.Put(7, 100, 0, 1000);
  EXPECT_FALSE(p.TakeBySequence(999).has_value());
  auto id = p.TakeBySequence(100);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(*id, 7u);
  EXPECT_FALSE(p.TakeBySequence(100).has_value());
  EXPECT_EQ(p.Size(), 0u);
}

TEST(PendingSubmits, NextSegmentReplacesTheEntrySoOnlyTheLastResponseCounts) {
  PendingSubmits p;
  p.Put(7, 100, 0, 1000);  // segment 1
  p.Put(7, 101, 0, 1000);  // segment 2 of the same row
  EXPECT_EQ(p.Size(), 1u);
  EXPECT_FALSE(p.TakeBySequence(100).has_value());
  EXPECT_EQ(p.TakeBySequence(101).value_or(0), 7u);
}

TEST(PendingSubmits, FailedWriteRemovesByRecord) {
  PendingSubmits p;
  p.Put(7, 100, 0, 1000);
  EXPECT_TRUE(p.RemoveRecord(7));
  EXPECT_FALSE(p.RemoveRecord(7));
  EXPECT_FALSE(p.TakeBySequence(100).has_value());
}

TEST(PendingSubmits, EntriesExpireAtTheirDeadlineAcrossTheTickWrap) {
  PendingSubmits p;
  const std::uint32_t start = 0xFFFFFF00u;  // 256 ms before the wrap
  p.Put(1, 10, start, 1000);
  p.Put(2, 11, start + 500, 1000);
  EXPECT_TRUE(p.TakeExpired(start + 999).empty());
  EXPECT_EQ(p.TakeExpired(start + 1000), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(p.TakeExpired(start + 1500), (std::vector<std::uint32_t>{2}));
  EXPECT_FALSE(p.TakeBySequence(11).has_value()) << "an expired entry is gone from both keys";
}

TEST(PendingSubmits, ClearAndTakeAllEmptyBothKeys) {
  PendingSubmits p;
  p.Put(1, 10, 0, 1000);
  p.Put(2, 11, 0, 1000);
  EXPECT_EQ(p.Clear(), 2u);
  EXPECT_EQ(p.Size(), 0u);
  p.Put(3, 12, 0, 1000);
  EXPECT_EQ(p.TakeAll(), (std::vector<std::uint32_t>{3}));
  EXPECT_FALSE(p.TakeBySequence(12).has_value());
}

}  // namespace
}  // namespace brivane::sp
