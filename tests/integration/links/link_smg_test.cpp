// CMPPConnection against the brivane-smg simulator: login outcomes, answers
// the SMG counts, keep-alive, re-login after drops and framing errors, and
// submits from many threads racing re-logins on one link.
#include <gtest/gtest.h>

#include <thread>

#include "cmpp/connection.h"
#include "recording_client.h"
#include "support/smg_process.h"

namespace brivane::cmpp::test {
namespace {

using brivane::test::SmgProcess;

class LinkSmg : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(smg_.Start(options_)) << "brivane-smg did not start"; }

  std::shared_ptr<CMPPConnection> Link(std::int32_t socketTimeout = 5,
                                       std::int32_t connectionTimeout = 1800,
                                       const std::string& secret = "888888") {
    return MakeLink(client_, static_cast<std::uint16_t>(smg_.Port()), kConnMtMo, kCmppVersion30,
                    socketTimeout, connectionTimeout, secret);
  }
  long Stat(const std::string& key) { return smg_.Stats()[key]; }

  SmgProcess::Options options_;
  SmgProcess smg_;
  RecordingClient client_;
};

TEST_F(LinkSmg, AcceptedLoginCarriesSubmitsAndReportsAndEndsWithStatistics) {
  client_.StartWorkers(0, 0);
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  ASSERT_TRUE(link->Running());
  EXPECT_EQ(client_.Locked([&] { return client_.loggedIn; }), 1);
  EXPECT_EQ(Stat("logins"), 1);

  for (std::uint32_t i = 0; i < 3; ++i) {
    CmppSubmit s = MakeSubmit(100 + i, "report me", 0, 1);
    ASSERT_EQ(link->Submit(s), 0);
  }
  ASSERT_TRUE(
      client_.WaitUntil([&] { return client_.resps.size() == 3 && client_.reports.size() == 3; }));
  // Every report carries the Msg_Id its SUBMIT_RESP gave.
  client_.Locked([&] {
    for (const CmppDeliver& d : client_.reports) {
      const CmppStatusReport r = ReportOf(d);
      bool matched = false;
      for (const CmppSubmitResp& resp : client_.resps) {
        matched = matched || std::memcmp(resp.Msg_Id, r.Msg_Id, 8) == 0;
      }
      EXPECT_TRUE(matched);
      EXPECT_STREQ(r.Stat, "DELIVRD");
    }
    return 0;
  });
  ASSERT_TRUE(smg_.WaitStat("reports_acked", 3, 5s));

  link->Stop();
  ASSERT_TRUE(smg_.WaitStat("terminates_rx", 1, 5s));
  EXPECT_TRUE(
      client_.HasLine("TESTTOKEN\tSTATICS|ICPID=ICP01|CONNTYPE=2|TOKEN=TESTTOKEN|MT_OK=3|"
                      "MT_FAIL=0|RESP_OK=3|RESP_FAIL=0|MO=0|SR=3;"))
      << client_.AllLines();
}

TEST_F(LinkSmg, WrongSecretOrForcedStatusThreeGivesThirteen) {
  auto wrong = Link(5, 1800, "not-the-secret");
  EXPECT_FALSE(wrong->LoggedIn());
  ASSERT_EQ(smg_.Command("set connect-status 3"), "OK");
  auto forced = Link();
  EXPECT_FALSE(forced->LoggedIn());
  EXPECT_EQ(client_.Locked([&] { return client_.loginFailures; }), (std::vector<int>{13, 13}));
  EXPECT_EQ(Stat("refused"), 2);
}

TEST_F(LinkSmg, SilentSocketTimeoutSendsActiveTestsAndIdleLimitLogsInAgain) {
  auto link = Link(1, 3);
  ASSERT_TRUE(link->LoggedIn());
  ASSERT_TRUE(smg_.WaitStat("active_tests_rx", 2, 5s));
  // The SMG answered every active test, yet the idle limit brings a new login.
  ASSERT_TRUE(smg_.WaitStat("logins", 2, 6s));
  ASSERT_TRUE(Eventually([&] { return link->LoginCount() == 2 && link->LoggedIn(); }));
  EXPECT_EQ(Stat("terminates_rx"), 0);
  link->Stop();
}

// A half-open path: the SMG answers nothing, not even ACTIVE_TEST, and
// sends no FIN. Three unanswered active tests a socket timeout apart, then a
// new login, long before the idle limit (30 minutes here).
TEST_F(LinkSmg, SilentSmgIsLeftAfterThreeUnansweredActiveTests) {
  auto link = Link(1, 1800);
  ASSERT_TRUE(link->LoggedIn());
  const auto silentAt = std::chrono::steady_clock::now();
  ASSERT_EQ(smg_.Command("set silent 1"), "OK");
  ASSERT_TRUE(smg_.WaitStat("active_tests_rx", 3, 10s));
  ASSERT_TRUE(client_.WaitLine("WARNING|3 ACTIVE_TEST unanswered", 10s)) << client_.AllLines();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - silentAt)
                      .count();
  std::cout << "silent SMG left after " << ms << " ms with a 1 s socket timeout\n";
  // Three timeouts to send the tests, a fourth to find them unanswered.
  EXPECT_GE(ms, 3000);
  EXPECT_LT(ms, 8000);
  EXPECT_TRUE(client_.HasLine("TESTTOKEN\tWARNING|3 ACTIVE_TEST unanswered"));
  ASSERT_EQ(smg_.Command("set silent 0"), "OK");
  ASSERT_TRUE(Eventually([&] { return link->LoginCount() >= 2 && link->LoggedIn(); }));
  link->Stop();
}

// An SMG that answers its active tests is never left for it.
TEST_F(LinkSmg, AnsweredActiveTestsNeverLeadToALogin) {
  auto link = Link(1, 1800);
  ASSERT_TRUE(link->LoggedIn());
  ASSERT_TRUE(smg_.WaitStat("active_tests_rx", 5, 10s));
  EXPECT_EQ(link->LoginCount(), 1u);
  EXPECT_FALSE(client_.HasLine("ACTIVE_TEST unanswered"));
  link->Stop();
}

TEST_F(LinkSmg, MoMessageIsAnsweredAndHandedUpOnAWorker) {
  client_.StartWorkers(0, 0);
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  EXPECT_EQ(smg_.Command("mo 13912345678 10658888 15 68656c6c6f HELP"), "OK seq=1")
      << "simulator reply";
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.delivers.size() == 1; }));
  ASSERT_TRUE(smg_.WaitStat("mo_acked", 1, 5s));
  const CmppDeliver d = client_.Locked([&] { return client_.delivers[0]; });
  EXPECT_STREQ(reinterpret_cast<const char*>(d.Msg_Content), "hello");
  EXPECT_STREQ(d.Src_terminal_Id, "13912345678");
  EXPECT_STREQ(d.Dest_Id, "10658888");
  EXPECT_EQ(d.Msg_Fmt, 15);
  EXPECT_EQ(link->Counters().mo, 1u);
  link->Stop();
}

TEST_F(LinkSmg, MalformedDeliverGetsResultFourAndTheLinkStaysUp) {
  client_.StartWorkers(0, 0);
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  // A 3.0 MO DELIVER whose Total_Length says one byte more than it has.
  CmppDeliver d{};
  d.Msg_Length = 3;
  std::memcpy(d.Msg_Content, "abc", 3);
  std::vector<std::uint8_t> pdu(kMaxDeliverPduLength);
  std::size_t n = 0;
  ASSERT_EQ(EncodeDeliver(pdu, d, kCmppVersion30, 66, n), 0);
  pdu.resize(n + 1);
  pdu[3] = static_cast<std::uint8_t>(n + 1);
  std::string hex;
  char two[3];
  for (std::uint8_t b : pdu) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  ASSERT_EQ(smg_.Command("raw " + hex).rfind("OK", 0), 0u);
  ASSERT_TRUE(smg_.WaitStat("deliver_resp_bad", 1, 5s));
  ASSERT_TRUE(client_.WaitLine("RecvSmgMsg() failed,result:4;"));
  EXPECT_EQ(smg_.Command("mo 13912345678 10658888 15 6f6b"), "OK seq=1");
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.delivers.size() == 1; }));
  EXPECT_EQ(Stat("logins"), 1);
  link->Stop();
}

TEST_F(LinkSmg, TerminateIsAnsweredAndEveryCloseLeadsToRelogin) {
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  // The simulator closes the connection once its TERMINATE is answered.
  EXPECT_EQ(smg_.Command("terminate"), "OK n=1");
  ASSERT_TRUE(smg_.WaitStat("terminate_resps_rx", 1, 5s));
  ASSERT_TRUE(smg_.WaitStat("logins", 2, 5s));
  ASSERT_TRUE(Eventually([&] { return link->LoginCount() == 2 && link->LoggedIn(); }));
  EXPECT_EQ(smg_.Command("drop"), "OK n=1");
  ASSERT_TRUE(smg_.WaitStat("logins", 3, 5s));
  ASSERT_TRUE(Eventually([&] { return link->LoginCount() == 3 && link->LoggedIn(); }));
  link->Stop();
}

TEST_F(LinkSmg, TotalLengthAboveTheLimitDropsTheConnectionAndLogsInAgain) {
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  ASSERT_EQ(smg_.Command("raw 0000FFFF0000000500000009").rfind("OK", 0), 0u);
  ASSERT_TRUE(smg_.WaitStat("logins", 2, 5s));
  ASSERT_TRUE(client_.WaitLine("ERROR|RECVHEAD|TOTAL_LENGTH=65535|SOCKET="));
  ASSERT_TRUE(Eventually([&] { return link->LoggedIn(); }));
  link->Stop();
}

TEST_F(LinkSmg, SubmitAfterTheSmgIsGoneReturns16001) {
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  smg_.Kill();
  ASSERT_TRUE(Eventually([&] { return !link->LoggedIn(); }));
  CmppSubmit s = MakeSubmit(9, "x");
  EXPECT_EQ(link->Submit(s), kErrNotLoggedIn);
  EXPECT_EQ(s.sequenceId, 0u);
  // Back again: the link logs in by itself.
  ASSERT_TRUE(smg_.Restart());
  ASSERT_TRUE(Eventually([&] { return link->LoggedIn(); }));
  CmppSubmit t = MakeSubmit(10, "y");
  EXPECT_EQ(link->Submit(t), 0);
  link->Stop();
}

// Workers writing while the receive thread logs in again: every PDU the SMG
// sees must be whole, and the link must come out of it logged in and usable.
TEST_F(LinkSmg, SubmitsFromManyThreadsRaceReloginsWithoutCorruptingTheStream) {
  client_.StartWorkers(0, 0);
  auto link = Link();
  ASSERT_TRUE(link->LoggedIn());
  std::atomic<bool> go{true};
  std::atomic<int> written{0}, notLoggedIn{0}, failed{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (std::uint32_t i = 0; go.load(); ++i) {
        CmppSubmit s = MakeSubmit(t * 100000 + i, "race");
        const int code = link->Submit(s);
        (code == 0 ? written : code == kErrNotLoggedIn ? notLoggedIn : failed)++;
      }
    });
  }
  for (int drop = 1; drop <= 3; ++drop) {
    ASSERT_TRUE(smg_.WaitStat("submits", 200L * drop, 10s));
    smg_.Command("drop");
    ASSERT_TRUE(smg_.WaitStat("logins", drop + 1, 10s));
  }
  go = false;
  for (auto& w : writers) w.join();
  EXPECT_GT(written.load(), 600);

  const auto stats = smg_.Stats();
  EXPECT_EQ(stats.at("malformed"), 0);
  EXPECT_EQ(stats.at("unknown_rx"), 0);
  EXPECT_EQ(stats.at("submits_bad"), 0);
  const LinkCounters c = link->Counters();
  EXPECT_EQ(static_cast<int>(c.mtOk), written.load());
  // A submit that found the link logged out is a failure too.
  EXPECT_EQ(static_cast<int>(c.mtFail), failed.load() + notLoggedIn.load());
  EXPECT_LE(c.respOk, c.mtOk);

  // Afterwards every submit is answered again.
  ASSERT_TRUE(Eventually([&] { return link->LoggedIn(); }));
  const std::size_t before = client_.Locked([&] { return client_.resps.size(); });
  for (std::uint32_t i = 0; i < 50; ++i) {
    CmppSubmit s = MakeSubmit(900000 + i, "after");
    ASSERT_EQ(link->Submit(s), 0);
  }
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.resps.size() >= before + 50; }));
  link->Stop();
}

}  // namespace
}  // namespace brivane::cmpp::test
