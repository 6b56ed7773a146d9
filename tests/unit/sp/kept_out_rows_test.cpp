#include "sp/kept_out_rows.h"

#include <gtest/gtest.h>

namespace brivane::sp {
namespace {

TEST(KeptOutRows, HoldsAtMostItsCapacityAndLetsRowsGo) {
  struct Step {
    const char* what;
    std::uint64_t id;
    bool add;  // else remove
    bool expected;
    std::size_t sizeAfter;
  };
  KeptOutRows rows(2);
  const Step steps[] = {
      {"first row", 1ull << 31, true, true, 1},
      {"second row fills", 1ull << 53, true, true, 2},
      {"a third is refused", 5, true, false, 2},
      {"a held row's mark is replaced", 1ull << 53, true, true, 2},
      {"letting one go", 1ull << 31, false, true, 1},
      {"letting it go twice", 1ull << 31, false, false, 1},
      {"room again", 5, true, true, 2},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    const bool got = s.add ? rows.Add({s.id, 8, 3}) : rows.Remove(s.id);
    EXPECT_EQ(got, s.expected);
    EXPECT_EQ(rows.Size(), s.sizeAfter);
  }
  EXPECT_TRUE(rows.Full());
  EXPECT_TRUE(rows.Contains(1ull << 53));
  EXPECT_FALSE(rows.Contains((1ull << 53) & 0xFFFFFFFFu)) << "ids compare whole, not by 32 bits";
  const auto marks = rows.Marks();
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks[0].id, 5u);
  EXPECT_EQ(marks[1].id, 1ull << 53);
  EXPECT_EQ(marks[1].smsCount, 3u);
}

TEST(KeptOutRows, TheProcessSetIsOneObject) {
  EXPECT_EQ(&ProcessKeptOutRows(), &ProcessKeptOutRows());
  EXPECT_EQ(ProcessKeptOutRows().Capacity(), KeptOutRows::kDefaultCapacity);
}

}  // namespace
}  // namespace brivane::sp
