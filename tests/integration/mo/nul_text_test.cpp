// Regression: an MO whose content holds a zero byte (a concatenation header
// handed on alone, 05 00 03 ..., or a 0x00 character) was stored cut at that
// byte, because the ODBC driver ends a text parameter at U+0000 even when its
// length is given; everything after it was lost.
#include <gtest/gtest.h>

#include <string>

#include "mo_fixture.h"

namespace brivane::test {
namespace {

TEST_F(MoEndToEnd, MoTextHoldingAZeroByteIsStoredWhole) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(91, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();
  const std::string content("ab\0cd", 5);
  ASSERT_TRUE(SendMo("13800138000", "106612345", 0, content));
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].msg,
            "ab\xEF\xBF\xBD"
            "cd");
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/app"));
  EXPECT_EQ(app_.Requests("/app")[0].Field("DIALOG.MESSAGE"), content);
}

}  // namespace
}  // namespace brivane::test
