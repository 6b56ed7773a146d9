// The simulator's CMPP side as an SP sees it: logins, SUBMIT_RESPs, status
// reports and the list of received SUBMITs, in CMPP 2.0 and 3.0.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "cmpp/auth.h"
#include "cmpp_peer.h"
#include "support/smg_process.h"

namespace brivane::test {
namespace {

using namespace cmpp;
using namespace std::chrono_literals;

std::uint64_t MsgIdNumber(const std::uint8_t* bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | bytes[i];
  return v;
}

class SmgSession : public ::testing::TestWithParam<int> {
 protected:
  std::uint8_t Version() const { return static_cast<std::uint8_t>(GetParam()); }

  void StartSmg(SmgProcess::Options options = {}) {
    options.version = GetParam();
    ASSERT_TRUE(smg_.Start(options)) << ReadFile(smg_.OutputFile());
  }

  SmgProcess smg_;
};

INSTANTIATE_TEST_SUITE_P(Versions, SmgSession, ::testing::Values(32, 48),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return std::to_string(p.param);
                         });

TEST_P(SmgSession, LoginChecksNameAndAuthenticator) {
  StartSmg();
  CmppPeer good(Version());
  ASSERT_TRUE(good.Connect(smg_.Port()));
  EXPECT_EQ(good.Login("900001", "888888"), 0);

  CmppPeer wrongSecret(Version());
  ASSERT_TRUE(wrongSecret.Connect(smg_.Port()));
  EXPECT_EQ(wrongSecret.Login("900001", "888889"), 3);

  CmppPeer wrongName(Version());
  ASSERT_TRUE(wrongName.Connect(smg_.Port()));
  EXPECT_EQ(wrongName.Login("900002", "888888"), 3);

  const auto stats = smg_.Stats();
  EXPECT_EQ(stats.at("logins"), 1);
  EXPECT_EQ(stats.at("refused"), 2);

  // A refused connection may not submit: anything but CONNECT closes it.
  EXPECT_NE(wrongSecret.Submit("13800138000", "x", 0), 0u);
  EXPECT_TRUE(wrongSecret.WaitClosed());
}

TEST_P(SmgSession, ConnectStatusForcesTheStatusAndCanBeChanged) {
  SmgProcess::Options options;
  options.connectStatus = 5;
  StartSmg(options);
  CmppPeer peer(Version());
  ASSERT_TRUE(peer.Connect(smg_.Port()));
  EXPECT_EQ(peer.Login("900001", "888888"), 5);

  EXPECT_EQ(smg_.Command("set connect-status 0"), "OK");
  CmppPeer again(Version());
  ASSERT_TRUE(again.Connect(smg_.Port()));
  EXPECT_EQ(again.Login("900001", "888888"), 0);
  EXPECT_EQ(smg_.Command("connections").substr(0, 6), "OK n=2");
}

TEST_P(SmgSession, SubmitIsAnsweredWithAGatewayMsgIdAndTheConfiguredResult) {
  SmgProcess::Options options;
  options.submitResult = 8;
  options.extraArgs = {"--gateway-code", "1234"};
  StartSmg(options);
  CmppPeer peer(Version());
  ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));

  const std::time_t before = std::time(nullptr);
  const std::uint32_t seq = peer.Submit("13800138000", "hello", 0);
  ReceivedPdu resp;
  ASSERT_TRUE(peer.Read(resp));
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(resp.header.Command_Id, kCmppSubmitResp);
  ASSERT_EQ(resp.result, 0) << "SUBMIT_RESP must have the version's length";
  EXPECT_EQ(resp.header.Sequence_Id, seq);
  EXPECT_EQ(resp.message->submitResp.Result, 8);

  // month 4 | day 5 | hour 5 | minute 6 | second 6 | gateway 22 | sequence 16
  const std::uint64_t id = MsgIdNumber(resp.message->submitResp.Msg_Id);
  EXPECT_EQ((id >> 16) & 0x3FFFFF, 1234u);
  std::tm tm{};
  localtime_r(&before, &tm);
  std::tm tmAfter{};
  localtime_r(&after, &tmAfter);
  EXPECT_EQ(id >> 60, static_cast<std::uint64_t>(tm.tm_mon + 1));
  EXPECT_EQ((id >> 55) & 0x1F, static_cast<std::uint64_t>(tm.tm_mday));
  const std::uint64_t second = (id >> 38) & 0x3F;
  EXPECT_TRUE(second == static_cast<std::uint64_t>(tm.tm_sec) ||
              second == static_cast<std::uint64_t>(tmAfter.tm_sec));

  EXPECT_EQ(smg_.Command("set submit-result 0"), "OK");
  peer.Submit("13800138000", "again", 0);
  ReceivedPdu second2;
  ASSERT_TRUE(peer.Read(second2));
  EXPECT_EQ(second2.message->submitResp.Result, 0);
  EXPECT_NE(MsgIdNumber(second2.message->submitResp.Msg_Id), id);
  EXPECT_TRUE(smg_.WaitStat("submit_resps", 2, 5s));
}

TEST_P(SmgSession, ReportCarriesTheSubmitsMsgIdStatAndDestination) {
  SmgProcess::Options options;
  options.extraArgs = {"--report-stat", "UNDELIV"};
  StartSmg(options);
  CmppPeer peer(Version());
  ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));

  peer.Submit("13912345678", "report me", 1);
  ReceivedPdu resp;
  ASSERT_TRUE(peer.Read(resp));
  ASSERT_EQ(resp.header.Command_Id, kCmppSubmitResp);
  ReceivedPdu report;
  ASSERT_TRUE(peer.Read(report));
  ASSERT_EQ(report.header.Command_Id, kCmppDeliver);
  ASSERT_EQ(report.result, 0) << "the report must decode cleanly";
  const CmppDeliver& d = report.message->deliver;
  EXPECT_EQ(d.Registered_Delivery, 1);
  EXPECT_STREQ(d.Dest_Id, "10658000");
  EXPECT_STREQ(d.Src_terminal_Id, "13912345678");
  const CmppStatusReport r = ReportOf(d);
  EXPECT_EQ(std::memcmp(r.Msg_Id, resp.message->submitResp.Msg_Id, 8), 0);
  EXPECT_STREQ(r.Stat, "UNDELIV");
  EXPECT_STREQ(r.Dest_terminal_Id, "13912345678");
  EXPECT_EQ(std::strlen(r.Submit_time), 10u);
  EXPECT_EQ(std::strlen(r.Done_time), 10u);
  EXPECT_EQ(std::strspn(r.Done_time, "0123456789"), 10u);
  EXPECT_NE(std::memcmp(d.Msg_Id, r.Msg_Id, 8), 0) << "the DELIVER has a Msg_Id of its own";

  ASSERT_TRUE(peer.SendDeliverResp(report, 0));
  EXPECT_TRUE(smg_.WaitStat("reports_acked", 1, 5s));
  EXPECT_EQ(smg_.Stats().at("deliver_resp_bad"), 0);

  // A changed Stat applies to the next submit; a bad DELIVER_RESP is counted.
  EXPECT_EQ(smg_.Command("set report-stat DELIVRD"), "OK");
  peer.Submit("13912345678", "again", 1);
  ASSERT_TRUE(peer.Read(resp));
  ASSERT_TRUE(peer.Read(report));
  EXPECT_STREQ(ReportOf(report.message->deliver).Stat, "DELIVRD");
  ASSERT_TRUE(peer.SendDeliverResp(report, 9));
  EXPECT_TRUE(smg_.WaitStat("deliver_resp_bad", 1, 5s));
  EXPECT_EQ(smg_.Stats().at("reports_acked"), 2);
}

TEST_P(SmgSession, NoReportUnlessAskedForOrWhenTheSubmitWasRefused) {
  StartSmg();
  CmppPeer peer(Version());
  ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));
  // An immediate report would follow its SUBMIT_RESP before the answer to the
  // ACTIVE_TEST sent afterwards.
  peer.Submit("13800138000", "no report", 0);
  ASSERT_TRUE(peer.SendActiveTest(77));
  ReceivedPdu pdu;
  ASSERT_TRUE(peer.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppSubmitResp);
  ASSERT_TRUE(peer.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTestResp);
  EXPECT_EQ(pdu.header.Sequence_Id, 77u);

  EXPECT_EQ(smg_.Command("set submit-result 8"), "OK");
  peer.Submit("13800138000", "refused", 1);
  ASSERT_TRUE(peer.SendActiveTest(78));
  ASSERT_TRUE(peer.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppSubmitResp);
  ASSERT_TRUE(peer.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTestResp);
  EXPECT_EQ(smg_.Stats().at("reports"), 0);
  EXPECT_EQ(smg_.Stats().at("active_tests_rx"), 2);
}

TEST_P(SmgSession, DelayedReportComesAfterTheDelay) {
  SmgProcess::Options options;
  options.reportDelayMs = 400;
  StartSmg(options);
  CmppPeer peer(Version());
  ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));
  const auto sent = std::chrono::steady_clock::now();
  peer.Submit("13800138000", "later", 1);
  ReceivedPdu resp;
  ASSERT_TRUE(peer.Read(resp));
  ASSERT_EQ(resp.header.Command_Id, kCmppSubmitResp);
  ReceivedPdu report;
  ASSERT_TRUE(peer.Read(report));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 390ms);
  ASSERT_EQ(report.header.Command_Id, kCmppDeliver);
  EXPECT_EQ(
      std::memcmp(ReportOf(report.message->deliver).Msg_Id, resp.message->submitResp.Msg_Id, 8), 0);
}

TEST_P(SmgSession, DelayedReportOfADroppedConnectionGoesToTheNextLogin) {
  SmgProcess::Options options;
  options.reportDelayMs = 300;
  StartSmg(options);
  std::uint8_t msgId[8];
  {
    CmppPeer first(Version());
    ASSERT_TRUE(first.ConnectAndLogin(smg_.Port()));
    first.Submit("13800138000", "kept", 1);
    ReceivedPdu resp;
    ASSERT_TRUE(first.Read(resp));
    std::memcpy(msgId, resp.message->submitResp.Msg_Id, 8);
  }
  CmppPeer second(Version());
  ASSERT_TRUE(second.ConnectAndLogin(smg_.Port()));
  ReceivedPdu report;
  ASSERT_TRUE(second.Read(report));
  ASSERT_EQ(report.header.Command_Id, kCmppDeliver);
  EXPECT_EQ(std::memcmp(ReportOf(report.message->deliver).Msg_Id, msgId, 8), 0);
}

TEST_P(SmgSession, SubmitsListsEveryFieldAndTheMsgIdGiven) {
  StartSmg();
  CmppPeer peer(Version());
  ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));
  auto submit = MakeSubmit(Version(), "13800138000", "", 0, 8);
  const std::uint8_t ucs2[] = {0x4F, 0x60, 0x59, 0x7D};
  submit->Msg_Length = 4;
  std::memcpy(submit->Msg_Content, ucs2, 4);
  submit->Pk_total = 2;
  submit->Pk_number = 1;
  submit->TP_udhi = 1;
  std::strcpy(submit->Fee_terminal_Id, "13700000000");
  std::strcpy(submit->Service_Id, "Q\"S\\");
  const std::uint32_t seq = peer.Submit(*submit);
  ReceivedPdu resp;
  ASSERT_TRUE(peer.Read(resp));
  peer.Submit("13900000000", "second", 1);
  ASSERT_TRUE(peer.Read(resp));  // SUBMIT_RESP of the second
  const std::string secondId = std::to_string(MsgIdNumber(resp.message->submitResp.Msg_Id));

  const auto lines = smg_.CommandLines("submits");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "OK n=2");
  const std::string& first = lines[1];
  EXPECT_NE(first.find("\"index\":0,"), std::string::npos) << first;
  EXPECT_NE(first.find("\"seq\":" + std::to_string(seq) + ","), std::string::npos) << first;
  EXPECT_NE(first.find("\"Pk_total\":2,\"Pk_number\":1,"), std::string::npos) << first;
  EXPECT_NE(first.find("\"Service_Id\":\"Q\\\"S\\\\\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"Fee_terminal_Id\":\"13700000000\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"TP_udhi\":1,\"Msg_Fmt\":8,"), std::string::npos) << first;
  EXPECT_NE(first.find("\"Src_Id\":\"10658000\",\"DestUsr_tl\":1,"), std::string::npos) << first;
  EXPECT_NE(first.find("\"Dest_terminal_Id\":\"13800138000\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"Msg_Length\":4,\"Msg_Content\":\"4F60597D\""), std::string::npos)
      << first;
  EXPECT_NE(first.find(IsCmpp3(Version()) ? "\"LinkID\":\"LINK0001\"" : "\"LinkID\":\"\""),
            std::string::npos)
      << first;
  EXPECT_NE(lines[2].find("\"Registered_Delivery\":1,"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\"Msg_Id\":\"" + secondId + "\"}"), std::string::npos) << lines[2];

  const auto from1 = smg_.CommandLines("submits 1");
  ASSERT_EQ(from1.size(), 2u);
  EXPECT_EQ(from1[0], "OK n=1");
  EXPECT_EQ(from1[1], lines[2]);

  EXPECT_EQ(smg_.Command("reset"), "OK");
  EXPECT_EQ(smg_.Command("submits"), "OK n=0");
  EXPECT_EQ(smg_.Stats().at("submits"), 0);
}

}  // namespace
}  // namespace brivane::test
