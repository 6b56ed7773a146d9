// A hostile SMG on brivane's MO pool while its MT pool talks to the
// simulator: garbage, impossible Total_Lengths, a DELIVER whose Msg_Length
// overruns its body, and floods of valid PDUs. brivane keeps running as the
// same process, logs what it refused, answers or drops the MO link as its
// rules say (a frame it cannot hold drops the connection and logs in again;
// a frame it can hold but not decode is answered with result 4 and the link
// stays up), and MT rows keep reaching SubmitLog over the other pool.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "hostile_peer.h"
#include "log_lines.h"
#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Header(std::uint32_t totalLength, std::uint32_t command,
                                 std::uint32_t sequence) {
  std::vector<std::uint8_t> out(cmpp::kHeaderLength);
  cmpp::EncodeHeader(out, cmpp::CmppHeader{totalLength, command, sequence});
  return out;
}

class HostileSmg : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_ = std::make_unique<E2eSystem>(MoPoolAtPeer(peer_.Port()));
    std::string error;
    ASSERT_TRUE(sys_->Start(&error)) << error;
    pid_ = sys_->BrivanePid();
    ASSERT_EQ(peer_.Logins(), 1) << "the MO pool logged in to the peer once";
  }

  // brivane is still the process that started, and a row inserted now goes
  // out over the MT link and is recorded with result 0.
  void ExpectAliveAndMtFlowing(const std::string& mobile) {
    ASSERT_TRUE(sys_->BrivaneRunning()) << sys_->Log();
    EXPECT_EQ(sys_->BrivanePid(), pid_);
    MtRow row;
    row.mobile = mobile;
    row.msg = "after " + mobile;
    const auto ids = sys_->InsertSubmits({row});
    ASSERT_EQ(ids.size(), 1u);
    ExpectSent(ids[0]);
  }

  void ExpectSent(std::uint32_t id, std::chrono::milliseconds timeout = 30s) {
    const std::string where = " FROM SubmitLog WHERE SubmitID = " + std::to_string(id);
    ASSERT_TRUE(sys_->WaitScalar("SELECT COUNT(*)" + where, 1, timeout))
        << "row " << id << " never reached SubmitLog";
    EXPECT_EQ(sys_->Scalar("SELECT SubmitResult" + where), 0);
  }

  // The peer sees a good DELIVER answered with 0 and brivane stores it.
  void ExpectMoFlowing(const std::string& text) {
    const long long before = sys_->Scalar("SELECT COUNT(*) FROM Deliver");
    const std::uint32_t resps = peer_.DeliverResps();
    ASSERT_TRUE(peer_.Inject(peer_.Deliver(7000 + resps, text)));
    ASSERT_TRUE(WaitFor([&] { return peer_.DeliverResps() > resps; }, 10s));
    EXPECT_EQ(peer_.DeliverResults().back(), 0u);
    ASSERT_TRUE(sys_->WaitScalar("SELECT COUNT(*) FROM Deliver", before + 1, 20s));
    EXPECT_EQ(sys_->Scalar("SELECT COUNT(*) FROM Deliver WHERE Msg = " + sys_->Quote(text)), 1);
  }

  bool WaitLogins(int n) {
    return WaitFor([&] { return peer_.Logins() >= n; }, 20s, 20ms);
  }

  HostilePeer peer_;
  std::unique_ptr<E2eSystem> sys_;
  pid_t pid_ = 0;
};

TEST_F(HostileSmg, RandomBytesDropTheMoConnectionAndItLogsInAgain) {
  std::mt19937 random(20240517);
  std::vector<std::uint8_t> noise(4096);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  // The first four bytes are read as Total_Length.
  const std::uint32_t declared =
      (std::uint32_t{noise[0]} << 24) | (noise[1] << 16) | (noise[2] << 8) | noise[3];
  ASSERT_GT(declared, cmpp::kMaxPduLength) << "the seed gives an impossible length";
  ASSERT_TRUE(peer_.Inject(noise));

  EXPECT_TRUE(sys_->WaitLog("RECVHEAD|TOTAL_LENGTH=" + std::to_string(declared) + "|", 1, 10s))
      << sys_->Log();
  EXPECT_TRUE(sys_->WaitLog("RecvSmgMsg() failed, error_code:16003;", 1, 10s));
  ASSERT_TRUE(WaitLogins(2)) << "the MO link logs in again on a fresh connection";
  EXPECT_EQ(peer_.Connections(), 2);
  ExpectAliveAndMtFlowing("13800001001");
  ExpectMoFlowing("mo after noise");
}

TEST_F(HostileSmg, TotalLengthBelowTheHeaderIsAnsweredWithFourAndTheLinkStays) {
  // 0 on a DELIVER: answered with result 4 and an all-zero Msg_Id.
  ASSERT_TRUE(peer_.Inject(Header(0, cmpp::kCmppDeliver, 500)));
  ASSERT_TRUE(WaitFor([&] { return peer_.DeliverResps() == 1; }, 10s));
  EXPECT_EQ(peer_.DeliverResults()[0], 4u);
  // 11 on an ACTIVE_TEST: still answered, and logged.
  const std::uint32_t activeResps = peer_.ActiveTestResps();
  ASSERT_TRUE(peer_.Inject(Header(11, cmpp::kCmppActiveTest, 501)));
  EXPECT_TRUE(WaitFor([&] { return peer_.ActiveTestResps() > activeResps; }, 10s));
  EXPECT_TRUE(sys_->WaitLog("RecvSmgMsg() failed,result:4;", 2, 10s)) << sys_->Log();
  // 11 on an unknown command: result 2, nothing answered.
  ASSERT_TRUE(peer_.Inject(Header(11, 0x12345678, 502)));
  EXPECT_TRUE(sys_->WaitLog("RecvSmgMsg() failed,result:2;", 1, 10s)) << sys_->Log();

  ExpectMoFlowing("mo after short headers");
  EXPECT_EQ(peer_.Logins(), 1) << "a frame that fits is no reason to drop the link";
  EXPECT_EQ(sys_->Scalar("SELECT COUNT(*) FROM Deliver"), 1) << "only the good DELIVER stored";
  ExpectAliveAndMtFlowing("13800001002");
}

TEST_F(HostileSmg, TotalLengthAboveTheLargestFrameDropsTheConnectionEachTime) {
  const std::uint32_t lengths[] = {cmpp::kMaxPduLength + 1, 0xFFFFFFFFu};
  int logins = 1;
  for (std::uint32_t length : lengths) {
    SCOPED_TRACE(length);
    std::vector<std::uint8_t> pdu = Header(length, cmpp::kCmppDeliver, 600);
    // A little of the promised body; brivane must not wait for the rest.
    pdu.resize(pdu.size() + 64, 0xAB);
    ASSERT_TRUE(peer_.Inject(pdu));
    EXPECT_TRUE(sys_->WaitLog("RECVHEAD|TOTAL_LENGTH=" + std::to_string(length) + "|", 1, 10s))
        << sys_->Log();
    ASSERT_TRUE(WaitLogins(++logins));
    ExpectAliveAndMtFlowing("1380000110" + std::to_string(logins));
  }
  EXPECT_EQ(sys_->LogCount("RecvSmgMsg() failed, error_code:16003;"), 2u);
  EXPECT_TRUE(peer_.DeliverResults().empty()) << "an unreadable frame is never answered";
  ExpectMoFlowing("mo after long headers");
}

TEST_F(HostileSmg, DeliverWhoseMsgLengthOverrunsItsBodyIsRefusedWithFour) {
  // Msg_Length says 255, the frame holds 10 content bytes: Total_Length is
  // honest about the frame, the field inside is not.
  std::vector<std::uint8_t> pdu = peer_.Deliver(700, "0123456789");
  constexpr std::size_t kMsgLengthAt = cmpp::kHeaderLength + 76;  // CMPP 3.0
  ASSERT_EQ(pdu[kMsgLengthAt], 10);
  pdu[kMsgLengthAt] = 255;
  ASSERT_TRUE(peer_.Inject(pdu));
  ASSERT_TRUE(WaitFor([&] { return peer_.DeliverResps() == 1; }, 10s));
  EXPECT_EQ(peer_.DeliverResults()[0], 4u);
  EXPECT_TRUE(sys_->WaitLog("RecvSmgMsg() failed,result:4;", 1, 10s)) << sys_->Log();
  EXPECT_EQ(peer_.Logins(), 1);
  ExpectMoFlowing("mo after overrun");
  EXPECT_EQ(sys_->Scalar("SELECT COUNT(*) FROM Deliver"), 1) << "the broken DELIVER not stored";
  ExpectAliveAndMtFlowing("13800001201");

  // The same DELIVER announced whole by Total_Length, cut short by a close:
  // the half frame is dropped with the connection and the link logs in again.
  std::vector<std::uint8_t> whole = peer_.Deliver(701, std::string(255, 'x'));
  whole.resize(whole.size() - 200);
  ASSERT_TRUE(peer_.InjectAndClose(whole));
  EXPECT_TRUE(sys_->WaitLog("|RECVBODY|", 1, 10s)) << sys_->Log();
  ASSERT_TRUE(WaitLogins(2));
  EXPECT_EQ(peer_.DeliverResps(), 2u) << "the cut DELIVER is never answered";
  ExpectMoFlowing("mo after cut body");
  EXPECT_EQ(sys_->Scalar("SELECT COUNT(*) FROM Deliver"), 2);
  ExpectAliveAndMtFlowing("13800001202");
}

TEST_F(HostileSmg, LineBreaksInAMobileNumberCannotForgeLogLines) {
  // What the SMG puts in Src_terminal_Id reaches "上行消息|" lines: with CR
  // and LF it would start a line that reads like one of the service's own.
  const std::string forged = "\r\n2026/01/01 00:00:00.000\tFAKE";
  ASSERT_LT(forged.size(), 32u);
  ASSERT_TRUE(peer_.Inject(peer_.Deliver(800, "mo with a hostile number", forged)));
  ASSERT_TRUE(WaitFor([&] { return peer_.DeliverResps() == 1; }, 10s));
  ASSERT_TRUE(sys_->WaitLog("上行消息|\\x0d\\x0a2026/01/01 00:00:00.000\\x09FAKE|", 1, 20s))
      << sys_->Log();
  // Every line of the file begins with its own time stamp; none is forged.
  const std::string log = sys_->Log();
  EXPECT_EQ(UnstampedLines(log), std::vector<std::string>{});
  EXPECT_EQ(log.find("2026/01/01 00:00:00.000\t"), std::string::npos) << log;
  ExpectAliveAndMtFlowing("13800001301");
}

}  // namespace
}  // namespace brivane::test
