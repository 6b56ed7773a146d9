#include "cmpp/result_codes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <set>
#include <string>

#include "support/process.h"

namespace brivane::cmpp {
namespace {

// Every way a write can fail maps to a local outcome, and every local
// outcome lies outside what an SMG's Result is recorded as.
TEST(SubmitOutcome, EngineCodesMapToNegativeOutcomes) {
  struct Case {
    int engineCode;
    std::int32_t outcome;
  };
  const Case cases[] = {
      {kErrNotLoggedIn, kOutcomeNotLoggedIn},
      {kErrNoLink, kOutcomeNoLink},
      {kErrSubmitDeclined, kOutcomeDeclined},
      {kErrContentTooLong, kOutcomeUnsendable},
      {kErrTooManyDestinations, kOutcomeUnsendable},
      {kErrBufferTooSmall, kOutcomeUnsendable},
      {ECONNRESET, kOutcomeWriteFailed},
      {EPIPE, kOutcomeWriteFailed},
      {EBADF, kOutcomeWriteFailed},
      {kTimeout, kOutcomeWriteFailed},  // 5: once recorded as is, like the SMG's fee-code error
      {kPeerClosed, kOutcomeWriteFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.engineCode);
    EXPECT_EQ(SubmitOutcomeOf(c.engineCode), c.outcome);
    EXPECT_LT(SubmitOutcomeOf(c.engineCode), 0);
  }
  const std::set<std::int32_t> ours = {kOutcomeNoResponse, kOutcomeWriteFailed, kOutcomeNotLoggedIn,
                                       kOutcomeNoLink,     kOutcomeDeclined,    kOutcomeUnsendable};
  EXPECT_EQ(ours.size(), 6u) << "each outcome has a value of its own";
  for (std::int32_t o : ours) EXPECT_LT(o, 0);
}

TEST(SubmitOutcome, SmgResultsAreRecordedFromZeroUp) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::pair<std::int32_t, std::int32_t> cases[] = {
      {0, 0},
      {5, 5},
      {255, 255},
      {max, max},
      // A CMPP 3.0 Result of 0xFFFFFFFF arrives as -1, our "no answer".
      {-1, max},
      {std::numeric_limits<std::int32_t>::min(), max}};
  for (auto [smg, stored] : cases) {
    EXPECT_EQ(StoredSmgResult(smg), stored) << smg;
    EXPECT_GE(StoredSmgResult(smg), 0);
  }
}

TEST(SubmitOutcome, TextsTellOursFromTheSmgs) {
  EXPECT_EQ(SubmitResultText(0), "accepted by the SMG");
  EXPECT_NE(SubmitResultText(5).find("fee code"), std::string::npos);
  EXPECT_NE(SubmitResultText(8).find("flow control"), std::string::npos);
  EXPECT_NE(SubmitResultText(kOutcomeNoResponse).find("no answer"), std::string::npos);
  for (std::int32_t o : {kOutcomeWriteFailed, kOutcomeNotLoggedIn, kOutcomeNoLink, kOutcomeDeclined,
                         kOutcomeUnsendable})
    EXPECT_EQ(SubmitResultText(o).rfind("not sent: ", 0), 0u) << o;
  for (std::int32_t smg = 1; smg <= 300; ++smg)
    EXPECT_EQ(SubmitResultText(smg).rfind("SMG: ", 0), 0u) << smg;
}

TEST(SubmitOutcome, LoginStatusAndErrnoTextsNameTheCauseAndTheKey) {
  struct Case {
    std::uint32_t status;
    const char* says;
  };
  const Case cases[] = {
      {0, "logged in"},  {2, "SPCorpID"},     {3, "check SPLoginName and SPPassword"},
      {4, "SMGVersion"}, {77, "other error"},
  };
  for (const auto& c : cases)
    EXPECT_NE(LoginStatusText(c.status).find(c.says), std::string::npos) << c.status;
  EXPECT_EQ(CodeText(ECONNREFUSED), "Connection refused");
  EXPECT_EQ(CodeText(ECONNRESET), "Connection reset by peer");
  EXPECT_EQ(CodeText(kTimeout), "no progress within the socket timeout");
  EXPECT_EQ(CodeText(kErrNotLoggedIn), "the link is not logged in");
  EXPECT_EQ(CodeText(99999), "unknown code 99999");
}

// The guide's table of SubmitResult values has a row for each of our
// outcomes and for each SMG Result the engine explains.
TEST(SubmitOutcome, TheGuidesTableListsEveryValue) {
  const std::string guide = test::ReadFile(test::SourcePath("docs/OPERATOR.md"));
  const auto table = guide.find("## SubmitResult values");
  ASSERT_NE(table, std::string::npos);
  const std::string section = guide.substr(table, guide.find("\n## ", table + 1) - table);
  for (std::int32_t v : {kOutcomeNoResponse, kOutcomeWriteFailed, kOutcomeNotLoggedIn,
                         kOutcomeNoLink, kOutcomeDeclined, kOutcomeUnsendable}) {
    // Written with the minus sign U+2212.
    const std::string row = "| \u2212" + std::to_string(-v) + " |";
    EXPECT_NE(section.find(row), std::string::npos) << row;
  }
  for (int smg = 0; smg <= 13; ++smg) {
    const std::string row = "\n| " + std::to_string(smg) + " |";
    EXPECT_NE(section.find(row), std::string::npos) << row;
  }
}

}  // namespace
}  // namespace brivane::cmpp
