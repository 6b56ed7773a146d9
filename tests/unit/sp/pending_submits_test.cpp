#include "sp/pending_submits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace brivane::sp {
namespace {

PendingSegment Seg(std::uint64_t record, std::uint32_t sequence, std::uint32_t n = 1,
                   std::uint32_t total = 1) {
  return PendingSegment{record, sequence, n, total};
}

std::vector<std::uint32_t> Sequences(std::vector<PendingSegment> list) {
  std::vector<std::uint32_t> out;
  for (const PendingSegment& s : list) out.push_back(s.sequenceId);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PendingSubmits, ResponseFindsItsRecordOnceAndUnknownSequenceFindsNothing) {
  PendingSubmits p;
  p.Put(Seg(7, 100), 0, 1000);
  EXPECT_FALSE(p.TakeBySequence(999).has_value());
  auto entry = p.TakeBySequence(100);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->recordId, 7u);
  EXPECT_FALSE(p.TakeBySequence(100).has_value());
  EXPECT_EQ(p.Size(), 0u);
}

// Each segment of one row keeps its own entry, so each response is matched
// to its segment in whatever order the responses come.
TEST(PendingSubmits, EverySegmentOfARowHasItsOwnEntryAnsweredInAnyOrder) {
  const std::vector<std::vector<std::uint32_t>> orders = {{100, 101, 102}, {100, 102, 101},
                                                          {101, 100, 102}, {101, 102, 100},
                                                          {102, 100, 101}, {102, 101, 100}};
  for (const auto& order : orders) {
    PendingSubmits p;
    for (std::uint32_t i = 0; i < 3; ++i) p.Put(Seg(7, 100 + i, i + 1, 3), 0, 1000);
    EXPECT_EQ(p.Size(), 3u);
    for (std::uint32_t sequence : order) {
      auto entry = p.TakeBySequence(sequence);
      ASSERT_TRUE(entry.has_value()) << sequence;
      EXPECT_EQ(entry->recordId, 7u);
      EXPECT_EQ(entry->segment, sequence - 100 + 1);
      EXPECT_EQ(entry->total, 3u);
    }
    EXPECT_EQ(p.Size(), 0u);
  }
}

TEST(PendingSubmits, RowIdsAbove32BitsStayWhole) {
  PendingSubmits p;
  const std::uint64_t ids[] = {1ull << 31, 1ull << 32, 1ull << 53, (1ull << 32) + 7};
  std::uint32_t sequence = 1;
  for (std::uint64_t id : ids) p.Put(Seg(id, sequence++), 0, 1000);
  sequence = 1;
  for (std::uint64_t id : ids) EXPECT_EQ(p.TakeBySequence(sequence++)->recordId, id);
}

TEST(PendingSubmits, FailedWriteRemovesOnlyItsOwnSegment) {
  PendingSubmits p;
  p.Put(Seg(7, 100, 1, 2), 0, 1000);
  p.Put(Seg(7, 101, 2, 2), 0, 1000);
  EXPECT_FALSE(p.Remove(100, 8)) << "another row's failure leaves the entry";
  EXPECT_TRUE(p.Remove(100, 7));
  EXPECT_FALSE(p.Remove(100, 7));
  EXPECT_FALSE(p.TakeBySequence(100).has_value());
  EXPECT_TRUE(p.TakeBySequence(101).has_value()) << "the other segment is still pending";
}

TEST(PendingSubmits, AReusedSequenceGivesBackTheEntryItDisplaces) {
  PendingSubmits p;
  EXPECT_FALSE(p.Put(Seg(7, 100), 0, 1000).has_value());
  auto displaced = p.Put(Seg(9, 100), 0, 1000);
  ASSERT_TRUE(displaced.has_value());
  EXPECT_EQ(displaced->recordId, 7u);
  EXPECT_EQ(p.TakeBySequence(100)->recordId, 9u);
}

TEST(PendingSubmits, EntriesExpireAtTheirDeadlineAcrossTheTickWrap) {
  PendingSubmits p;
  const std::uint32_t start = 0xFFFFFF00u;  // 256 ms before the wrap
  p.Put(Seg(1, 10), start, 1000);
  p.Put(Seg(2, 11), start + 500, 1000);
  EXPECT_TRUE(p.TakeExpired(start + 999).empty());
  EXPECT_EQ(Sequences(p.TakeExpired(start + 1000)), (std::vector<std::uint32_t>{10}));
  EXPECT_EQ(Sequences(p.TakeExpired(start + 1500)), (std::vector<std::uint32_t>{11}));
  EXPECT_FALSE(p.TakeBySequence(11).has_value()) << "an expired entry is gone";
}

TEST(PendingSubmits, ClearAndTakeAllEmptyTheList) {
  PendingSubmits p;
  p.Put(Seg(1, 10), 0, 1000);
  p.Put(Seg(2, 11), 0, 1000);
  EXPECT_EQ(p.Clear(), 2u);
  EXPECT_EQ(p.Size(), 0u);
  p.Put(Seg(3, 12, 1, 2), 0, 1000);
  p.Put(Seg(3, 13, 2, 2), 0, 1000);
  EXPECT_EQ(Sequences(p.TakeAll()), (std::vector<std::uint32_t>{12, 13}));
  EXPECT_FALSE(p.TakeBySequence(12).has_value());
}

}  // namespace
}  // namespace brivane::sp

namespace brivane::sp {
namespace {

// A segment refused with Result 8 is written again from what was kept: it
// must come back byte for byte (content, LinkID, bookkeeping), whatever its
// content length, including a length past the content area.
TEST(KeptSubmit, RestoresTheRecordAsWritten) {
  for (std::uint32_t length : {0u, 1u, 140u, 255u, 100000u}) {
    SCOPED_TRACE(length);
    auto record = std::make_unique<cmpp::CmppSubmit>();
    record->Pk_total = 2;
    record->Pk_number = 2;
    std::strcpy(record->Service_Id, "SVC");
    std::strcpy(record->Dest_terminal_Id, "13800000001");
    record->Msg_Length = length;
    for (std::size_t i = 0; i < std::min<std::size_t>(length, sizeof record->Msg_Content); ++i)
      record->Msg_Content[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::strcpy(record->LinkID, "LINK-0123456789");
    record->recordId = 1ull << 40;
    record->sequenceId = 77;
    record->writeAttempts = 2;
    record->lastError = -3;

    const KeptSubmit kept(*record);
    EXPECT_EQ(kept.WriteAttempts(), 2u);
    const std::unique_ptr<cmpp::CmppSubmit> back = kept.Restore();
    EXPECT_EQ(std::memcmp(back.get(), record.get(), sizeof *record), 0);
  }
}

}  // namespace
}  // namespace brivane::sp
