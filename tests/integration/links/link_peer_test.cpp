// CMPPConnection against a scripted in-test SMG (support/cmpp_peer.h): the
// login outcomes, keep-alive and re-login timing, answers before hand-ups,
// framing errors and the stop sequence.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <future>
#include <latch>
#include <map>

#include "cmpp/connection.h"
#include "recording_client.h"
#include "support/cmpp_peer.h"

namespace brivane::cmpp::test {
namespace {

using brivane::test::CmppListener;
using brivane::test::CmppPeer;
using brivane::test::PeerPdu;
using Clock = std::chrono::steady_clock;

struct LinkOptions {
  std::int32_t connType = kConnMtMo;
  std::uint8_t version = kCmppVersion30;
  // Long enough for a slow (sanitised) run to answer a login in time; the
  // keep-alive tests shorten it.
  std::int32_t socketTimeout = 5;
  std::int32_t connectionTimeout = 1800;
  std::int32_t asiaInfo = 0;
};

// Creates a link in the background while this thread plays the SMG: the
// peer answers the first CONNECT with `status`.
struct Linked {
  std::shared_ptr<CMPPConnection> link;
  std::unique_ptr<CmppPeer> peer;
  CmppConnect connect{};
};

Linked StartLinked(RecordingClient& client, CmppListener& listener, std::uint32_t status = 0,
                   const LinkOptions& o = {}) {
  auto future = std::async(std::launch::async, [&] {
    return MakeLink(client, listener.Port(), o.connType, o.version, o.socketTimeout,
                    o.connectionTimeout, "888888", o.asiaInfo);
  });
  Linked linked;
  linked.peer = listener.Accept(5s);
  EXPECT_TRUE(linked.peer);
  if (linked.peer) {
    EXPECT_TRUE(linked.peer->AnswerLogin(status, 5s, &linked.connect));
  }
  linked.link = future.get();
  return linked;
}

// Creates a link in the background and plays the SMG up to reading its
// CONNECT, which is left unanswered for the test to answer as it likes.
void StartUnanswered(RecordingClient& client, CmppListener& listener,
                     std::future<std::shared_ptr<CMPPConnection>>* link,
                     std::unique_ptr<CmppPeer>* peer) {
  *link = std::async(std::launch::async, [&] { return MakeLink(client, listener.Port()); });
  *peer = listener.Accept(5s);
  ASSERT_TRUE(*peer);
  PeerPdu pdu;
  ASSERT_TRUE((*peer)->Read(pdu, 5s));
  ASSERT_EQ(pdu.header.Command_Id, kCmppConnect);
}

// Holds the receive thread inside the log line of its first "result:2;"
// (what a PDU of unknown command makes it log, see SendUnknownCommand) until
// Release, so that the test acts while that thread is busy.
class ReceiveThreadHold {
 public:
  explicit ReceiveThreadHold(RecordingClient& client) {
    client.onLine = [this](std::string_view line) {
      if (line.find("result:2;") != std::string_view::npos && once_.exchange(false)) {
        held_.count_down();
        release_.wait();
      }
    };
  }
  void WaitHeld() { held_.wait(); }
  void Release() { release_.count_down(); }

 private:
  std::latch held_{1};
  std::latch release_{1};
  std::atomic<bool> once_{true};
};

// A bare header with a command id CMPP does not define.
bool SendUnknownCommand(CmppPeer& peer) {
  std::array<std::uint8_t, 12> unknown{};
  EncodeHeader(unknown, {12, 0x00000006, 5});
  return peer.Write(unknown);
}

CmppDeliver MoMessage(const std::string& text) {
  CmppDeliver d{};
  const std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(d.Msg_Id, id, 8);
  std::snprintf(d.Dest_Id, sizeof d.Dest_Id, "%s", "10658888");
  std::snprintf(d.Service_Id, sizeof d.Service_Id, "%s", "HELP");
  std::snprintf(d.Src_terminal_Id, sizeof d.Src_terminal_Id, "%s", "13912345678");
  d.Msg_Fmt = 15;
  d.Msg_Length = static_cast<std::uint32_t>(text.size());
  std::memcpy(d.Msg_Content, text.data(), text.size());
  return d;
}

std::vector<std::uint8_t> Encode(const CmppDeliver& d, std::uint32_t seq,
                                 std::uint8_t version = kCmppVersion30) {
  std::vector<std::uint8_t> pdu(kMaxDeliverPduLength);
  std::size_t n = 0;
  EXPECT_EQ(EncodeDeliver(pdu, d, version, seq, n), 0);
  pdu.resize(n);
  return pdu;
}

// Reads the DELIVER_RESP (3.0: 24 bytes) that answers `seq`.
void ExpectDeliverResp(CmppPeer& peer, std::uint32_t seq, std::uint32_t result) {
  PeerPdu pdu;
  ASSERT_TRUE(peer.ReadUntil(kCmppDeliverResp, pdu, 5s));
  EXPECT_EQ(pdu.header.Sequence_Id, seq);
  CmppDeliverResp resp{};
  ASSERT_EQ(DecodeDeliverResp(pdu.header, pdu.body, kCmppVersion30, resp), 0);
  const std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(std::memcmp(resp.Msg_Id, id, 8), 0);
  EXPECT_EQ(resp.Result, result);
}

// ------------------------------------------------------------------ login outcomes

TEST(LinkLogin, ActiveTestBeforeConnectRespIsAnsweredAndFailsTheLoginWithFour) {
  RecordingClient client;
  CmppListener listener;
  std::future<std::shared_ptr<CMPPConnection>> future;
  std::unique_ptr<CmppPeer> peer;
  ASSERT_NO_FATAL_FAILURE(StartUnanswered(client, listener, &future, &peer));
  PeerPdu pdu;
  ASSERT_TRUE(peer->SendActiveTest(4242));
  ASSERT_TRUE(peer->Read(pdu, 5s));
  EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTestResp);
  EXPECT_EQ(pdu.header.Sequence_Id, 4242u);
  auto link = future.get();

  EXPECT_FALSE(link->LoggedIn());
  EXPECT_FALSE(link->Running());
  EXPECT_EQ(client.Locked([&] { return client.loginFailures; }), std::vector<int>{4});
  EXPECT_TRUE(
      client.HasLine("TESTTOKEN\tERROR|Login failed,connect_resp cmdid = 0x00000008, "
                     "result = 0;"))
      << client.AllLines();
  // The failed login closed its connection.
  EXPECT_TRUE(peer->WaitClosed(5s));
}

TEST(LinkLogin, RefusalWithStatusThreeGivesThirteen) {
  RecordingClient client;
  CmppListener listener;
  auto linked = StartLinked(client, listener, 3);
  EXPECT_FALSE(linked.link->LoggedIn());
  EXPECT_FALSE(linked.link->Running());
  EXPECT_EQ(client.Locked([&] { return client.loginFailures; }), std::vector<int>{13});
  EXPECT_TRUE(client.HasLine("ERROR|Login failed,connect_resp cmdid = 0x80000001, result = 3;"));
  // A second Start is a fresh attempt.
  auto again = std::async(std::launch::async, [&] { return linked.link->Start(); });
  auto peer = listener.Accept(5s);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->AnswerLogin(0, 5s));
  EXPECT_EQ(again.get(), 0);
  EXPECT_TRUE(linked.link->LoggedIn());
  EXPECT_TRUE(linked.link->Running());
  EXPECT_EQ(linked.link->Start(), kErrAlreadyStarted);
  linked.link->Stop();
}

TEST(LinkLogin, SmgClosingInsteadOfAnsweringGivesMinusOne) {
  RecordingClient client;
  CmppListener listener;
  std::future<std::shared_ptr<CMPPConnection>> future;
  std::unique_ptr<CmppPeer> peer;
  ASSERT_NO_FATAL_FAILURE(StartUnanswered(client, listener, &future, &peer));
  peer->Close();
  auto link = future.get();
  EXPECT_FALSE(link->LoggedIn());
  EXPECT_EQ(client.Locked([&] { return client.loginFailures; }), std::vector<int>{-1});
  EXPECT_TRUE(client.HasLine("ERROR|RecvSmgMsg failed,error_code:-1,result:0;"));
  // Not started: the first login's read failure is not a RECVHEAD line.
  EXPECT_FALSE(client.HasLine("RECVHEAD"));
}

TEST(LinkLogin, ConnectRefusedNamesAddressAndPort) {
  RecordingClient client;
  std::uint16_t port;
  {
    CmppListener listener;
    port = listener.Port();
  }
  auto link = MakeLink(client, port);
  EXPECT_FALSE(link->LoggedIn());
  EXPECT_EQ(client.Locked([&] { return client.loginFailures; }), std::vector<int>{ECONNREFUSED});
  EXPECT_TRUE(client.HasLine(
      "ERROR|TCPSocket::Connect() failed,error_code:" + std::to_string(ECONNREFUSED) +
      ",smg_addr:127.0.0.1,smg_port:" + std::to_string(port) + ";"));
}

TEST(LinkLogin, ConnectVersionFollowsTheGatewayVariantButTheLayoutDoesNot) {
  struct Case {
    std::int32_t connType, asiaInfo;
    std::uint8_t version, sent;
  };
  const Case cases[] = {{kConnMt, 1, 0x30, 0},      {kConnMo, 1, 0x30, 1},
                        {kConnMtMo, 1, 0x30, 0x30}, {kConnMt, 0, 0x30, 0x30},
                        {kConnMo, 1, 0x20, 1},      {kConnMtMo, 0, 0x20, 0x20}};
  for (const Case& c : cases) {
    RecordingClient client;
    CmppListener listener(c.version);
    LinkOptions o;
    o.connType = c.connType;
    o.asiaInfo = c.asiaInfo;
    o.version = c.version;
    auto linked = StartLinked(client, listener, 0, o);
    EXPECT_EQ(linked.connect.Version, c.sent) << "type " << c.connType << " asia " << c.asiaInfo;
    // The login succeeded, so the CONNECT_RESP was read in the configured layout.
    EXPECT_TRUE(linked.link->LoggedIn());
    linked.link->Stop();
  }
}

TEST(LinkLogin, SocketTimeoutIsClampedToTenToSixtyConnectionTimeoutIsNot) {
  auto make = [](std::int32_t socketTimeout) {
    return CMPPConnection(nullptr, "T", "127.0.0.1", 1, kCmppVersion30, "900001", "s", "ICP",
                          kConnMt, 0, socketTimeout, 5);
  };
  EXPECT_EQ(make(5).SocketTimeout(), 10);
  EXPECT_EQ(make(120).SocketTimeout(), 60);
  EXPECT_EQ(make(25).SocketTimeout(), 25);
  EXPECT_EQ(make(25).ConnectionTimeout(), 5);
  EXPECT_EQ(make(25).LoginRetryPauseMs(), 5000u);
  EXPECT_TRUE(make(25).Stopped());
}

// ------------------------------------------------------------------ keep-alive

TEST(LinkKeepAlive, ActiveTestEverySocketTimeoutAndReloginAfterTheIdleLimit) {
  RecordingClient client;
  CmppListener listener;
  LinkOptions o;
  o.socketTimeout = 1;
  o.connectionTimeout = 3;
  auto linked = StartLinked(client, listener, 0, o);
  ASSERT_TRUE(linked.link->Running());
  const auto start = Clock::now();
  // Answered active tests do not count as activity.
  int activeTests = 0;
  PeerPdu pdu;
  while (activeTests < 2 && linked.peer->Read(pdu, 3s)) {
    ASSERT_EQ(pdu.header.Command_Id, kCmppActiveTest);
    ++activeTests;
    std::array<std::uint8_t, 13> resp{};
    ASSERT_TRUE(linked.peer->Write(
        std::span(resp).first(EncodeActiveTestResp(resp, pdu.header.Sequence_Id))));
  }
  EXPECT_EQ(activeTests, 2);
  EXPECT_GE(Clock::now() - start, 1800ms);
  // After the idle limit the link opens a new connection, without TERMINATE.
  auto second = listener.Accept(5s);
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->AnswerLogin(0, 5s));
  EXPECT_GE(Clock::now() - start, 2900ms);
  while (linked.peer->Read(pdu, 2s)) EXPECT_NE(pdu.header.Command_Id, kCmppTerminate);
  ASSERT_TRUE(Eventually([&] { return linked.link->LoginCount() == 2; }));
  EXPECT_TRUE(linked.link->LoggedIn());
  linked.link->Stop();
}

// Writes `count` submits that the peer reads and leaves unanswered.
void WriteUnanswered(Linked& linked, int first, int count) {
  PeerPdu pdu;
  for (int i = first; i < first + count; ++i) {
    CmppSubmit s = MakeSubmit(i, "hello");
    ASSERT_EQ(linked.link->Submit(s), 0);
    ASSERT_TRUE(linked.peer->ReadUntil(kCmppSubmit, pdu, 5s));
  }
}

// The link came back on a new connection with an empty window.
void ExpectLoggedInAgain(Linked& linked, CmppListener& listener) {
  auto second = listener.Accept(5s);
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->AnswerLogin(0, 5s));
  ASSERT_TRUE(Eventually([&] { return linked.link->LoginCount() == 2; }));
  EXPECT_EQ(linked.link->Unanswered(), 0);
}

TEST(LinkKeepAlive, SixteenUnansweredSubmitsLeadToReloginInsteadOfActiveTest) {
  RecordingClient client;
  CmppListener listener;
  LinkOptions o;
  o.socketTimeout = 1;
  auto linked = StartLinked(client, listener, 0, o);
  WriteUnanswered(linked, 0, 15);
  EXPECT_EQ(linked.link->Unanswered(), 15);
  // Below the window a silent period gives an active test.
  PeerPdu pdu;
  ASSERT_TRUE(linked.peer->ReadUntil(kCmppActiveTest, pdu, 5s));

  WriteUnanswered(linked, 16, 1);
  EXPECT_EQ(linked.link->Unanswered(), 16);
  // At the window the next silent period closes the connection instead. (One
  // active test may have left before the 16th submit.)
  int activeTests = 0;
  while (linked.peer->Read(pdu, 5s)) {
    EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTest);
    ++activeTests;
  }
  EXPECT_LE(activeTests, 1);
  ExpectLoggedInAgain(linked, listener);
  linked.link->Stop();
}

// An SMG that stops answering submits but goes on sending other PDUs never
// lets a receive time out, so the keep-alive's re-login alone would leave
// the window full (and the link out of the client's choice) for good.
TEST(LinkKeepAlive, FullWindowWithoutAnswersLogsInAgainWhileOtherPdusKeepArriving) {
  RecordingClient client;
  CmppListener listener;
  LinkOptions o;
  o.socketTimeout = 1;
  auto linked = StartLinked(client, listener, 0, o);
  WriteUnanswered(linked, 0, 16);
  EXPECT_EQ(linked.link->Unanswered(), 16);
  const auto full = Clock::now();
  PeerPdu pdu;
  // Keep the link busy with active tests (each answered) every 300 ms.
  std::uint32_t seq = 100;
  bool closed = false;
  while (Clock::now() - full < 8s) {
    if (!linked.peer->SendActiveTest(seq++)) {
      closed = true;
      break;
    }
    while (linked.peer->Read(pdu, 300ms)) {
      EXPECT_NE(pdu.header.Command_Id, kCmppActiveTest) << "no keep-alive of its own was due";
    }
    if (linked.peer->WaitClosed(1ms)) {
      closed = true;
      break;
    }
  }
  ASSERT_TRUE(closed) << "the stalled window never led to a new login";
  EXPECT_GE(Clock::now() - full, 900ms) << "the window's answers were waited for a socket timeout";
  ExpectLoggedInAgain(linked, listener);
  EXPECT_TRUE(client.HasLine(
      "TESTTOKEN\tWARNING|16 unanswered submits, none answered for 1 s: logging in again;"))
      << client.AllLines();
  linked.link->Stop();
}

TEST(LinkKeepAlive, PduCutBySilentPeriodIsStillDecodedWhole) {
  RecordingClient client;
  client.StartWorkers(0, 0);
  CmppListener listener;
  LinkOptions o;
  o.socketTimeout = 1;
  auto linked = StartLinked(client, listener, 0, o);
  const auto bytes = Encode(MoMessage("split by silence"), 31);
  ASSERT_TRUE(linked.peer->Write(std::span(bytes).first(10)));  // part of the header
  PeerPdu pdu;
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));  // the silence passed: keep-alive
  ASSERT_EQ(pdu.header.Command_Id, kCmppActiveTest);
  ASSERT_TRUE(linked.peer->Write(std::span(bytes).subspan(10, 50)));  // into the body
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));
  ASSERT_EQ(pdu.header.Command_Id, kCmppActiveTest);
  ASSERT_TRUE(linked.peer->Write(std::span(bytes).subspan(60)));
  ExpectDeliverResp(*linked.peer, 31, 0);
  ASSERT_TRUE(client.WaitUntil([&] { return client.delivers.size() == 1; }));
  EXPECT_STREQ(reinterpret_cast<const char*>(client.delivers[0].Msg_Content), "split by silence");
  EXPECT_EQ(linked.link->LoginCount(), 1u);
  EXPECT_TRUE(client.HasLine("ERROR|RECVBODY|SOCKET="));
  linked.link->Stop();
}

// ------------------------------------------------------------------ received PDUs

TEST(LinkReceive, DeliverIsAnsweredBeforeItIsHandedUp) {
  RecordingClient client;
  client.StartWorkers(0, 0);
  std::atomic<int> peerFd{-1};
  std::atomic<int> unreadAtHandUp{-1};
  std::atomic<bool> onTestThread{true};
  const auto testThread = std::this_thread::get_id();
  client.onDeliver = [&](CMPPConnection&, const CmppDeliver&) {
    int n = -1;
    ::ioctl(peerFd.load(), FIONREAD, &n);
    unreadAtHandUp = n;
    onTestThread = std::this_thread::get_id() == testThread;
  };
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  peerFd = linked.peer->Fd();
  ASSERT_TRUE(linked.peer->SendDeliver(MoMessage("hello"), 77));
  ASSERT_TRUE(client.WaitUntil([&] { return client.delivers.size() == 1; }));
  EXPECT_GE(unreadAtHandUp.load(), 24);  // the whole DELIVER_RESP was there
  EXPECT_FALSE(onTestThread.load());
  ExpectDeliverResp(*linked.peer, 77, 0);
  const CmppDeliver d = client.Locked([&] { return client.delivers[0]; });
  EXPECT_STREQ(d.Src_terminal_Id, "13912345678");
  EXPECT_EQ(d.Msg_Length, 5u);

  CmppDeliver report = MoMessage("");
  report.Registered_Delivery = 1;
  CmppStatusReport r{};
  std::memcpy(r.Stat, "DELIVRD", 7);
  std::memcpy(r.Dest_terminal_Id, "13800138000", 11);
  SetReport(report, r);
  ASSERT_TRUE(linked.peer->SendDeliver(report, 78));
  ExpectDeliverResp(*linked.peer, 78, 0);
  ASSERT_TRUE(client.WaitUntil([&] { return client.reports.size() == 1; }));
  EXPECT_STREQ(ReportOf(client.Locked([&] { return client.reports[0]; })).Stat, "DELIVRD");
  const LinkCounters c = linked.link->Counters();
  EXPECT_EQ(c.mo, 1u);
  EXPECT_EQ(c.sr, 1u);
  linked.link->Stop();
}

TEST(LinkReceive, MalformedDeliverIsAnsweredWithItsResultAndTheLinkStaysUp) {
  RecordingClient client;
  client.StartWorkers(0, 0);
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  // Total_Length one byte too long.
  auto bad = Encode(MoMessage("bad"), 90);
  bad.push_back(0);
  bad[3] = static_cast<std::uint8_t>(bad.size());
  ASSERT_TRUE(linked.peer->Write(bad));
  ExpectDeliverResp(*linked.peer, 90, 4);
  // Registered_Delivery 2.
  CmppDeliver odd = MoMessage("odd");
  odd.Registered_Delivery = 2;
  ASSERT_TRUE(linked.peer->SendDeliver(odd, 91));
  ExpectDeliverResp(*linked.peer, 91, 7);
  // The same connection still carries a good DELIVER up.
  ASSERT_TRUE(linked.peer->SendDeliver(MoMessage("good"), 92));
  ExpectDeliverResp(*linked.peer, 92, 0);
  ASSERT_TRUE(client.WaitUntil([&] { return client.delivers.size() == 1; }));
  EXPECT_STREQ(reinterpret_cast<const char*>(client.delivers[0].Msg_Content), "good");
  EXPECT_TRUE(client.HasLine("RecvSmgMsg() failed,result:4;"));
  EXPECT_TRUE(client.HasLine("RecvSmgMsg() failed,result:7;"));
  EXPECT_EQ(linked.link->LoginCount(), 1u);
  EXPECT_EQ(linked.link->Counters().mo, 1u);
  linked.link->Stop();
}

TEST(LinkReceive, DeliverWhoseAnswerCannotBeWrittenIsNotHandedUp) {
  RecordingClient client;
  client.StartWorkers(0, 0);
  // Hold the receive thread inside a log line while the peer sends a DELIVER
  // and resets the connection, so the DELIVER_RESP write must fail.
  ReceiveThreadHold hold(client);
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  ASSERT_TRUE(SendUnknownCommand(*linked.peer));
  hold.WaitHeld();
  ASSERT_TRUE(linked.peer->SendDeliver(MoMessage("lost"), 93));
  linked.peer->Reset();
  hold.Release();
  // The link notices and logs in again; the DELIVER was never handed up.
  auto second = listener.Accept(5s);
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->AnswerLogin(0, 5s));
  ASSERT_TRUE(Eventually([&] { return linked.link->LoginCount() == 2; }));
  EXPECT_EQ(client.Locked([&] { return client.delivers.size(); }), 0u);
  EXPECT_EQ(linked.link->Counters().mo, 0u);
  // The DELIVER itself was read (no failed header read); writing its answer
  // failed, which is what kept it back.
  EXPECT_FALSE(client.HasLine("RECVHEAD")) << client.AllLines();
  EXPECT_TRUE(client.HasLine("RecvSmgMsg() failed, error_code:")) << client.AllLines();
  linked.link->Stop();
}

TEST(LinkReceive, TerminateIsAnsweredAndReloginWaitsForTheClose) {
  RecordingClient client;
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  ASSERT_TRUE(linked.peer->SendTerminate(555));
  PeerPdu pdu;
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));
  EXPECT_EQ(pdu.header.Command_Id, kCmppTerminateResp);
  EXPECT_EQ(pdu.header.Sequence_Id, 555u);
  EXPECT_TRUE(linked.link->LoggedIn());
  EXPECT_FALSE(listener.Accept(300ms)) << "logged in again before the SMG closed";
  linked.peer->Close();
  auto second = listener.Accept(5s);
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->AnswerLogin(0, 5s));
  ASSERT_TRUE(Eventually([&] { return linked.link->LoginCount() == 2; }));
  EXPECT_TRUE(client.HasLine("ERROR|RECVHEAD|TCPSOCKET|SOCKET="));
  EXPECT_TRUE(client.HasLine("RecvSmgMsg() failed, error_code:-1;"));
  linked.link->Stop();
}

TEST(LinkReceive, FrameAboveTheLimitDropsTheConnectionAndLogsInAgain) {
  RecordingClient client;
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  std::array<std::uint8_t, 12> huge{};
  EncodeHeader(huge, {4109, kCmppDeliver, 6});
  ASSERT_TRUE(linked.peer->Write(huge));
  EXPECT_TRUE(linked.peer->WaitClosed(5s));
  auto second = listener.Accept(5s);
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->AnswerLogin(0, 5s));
  ASSERT_TRUE(Eventually([&] { return linked.link->LoginCount() == 2; }));
  EXPECT_TRUE(client.HasLine("ERROR|RECVHEAD|TOTAL_LENGTH=4109|SOCKET="));
  EXPECT_TRUE(client.HasLine("|ERROR=" + std::to_string(kErrFrameTooLong) + ";"));
  linked.link->Stop();
}

// ------------------------------------------------------------------ submits

TEST(LinkSubmit, WritesTheRecordUnderItsOwnSequenceIdAndCountsTheAnswers) {
  RecordingClient client;
  client.StartWorkers(0, 0);
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  CmppSubmit s = MakeSubmit(4711, "hello world");
  ASSERT_EQ(linked.link->Submit(s), 0);
  EXPECT_NE(s.sequenceId, 0u);
  EXPECT_EQ(s.writeAttempts, 1u);
  EXPECT_FALSE(linked.link->Sending());
  PeerPdu pdu;
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));
  ASSERT_EQ(pdu.header.Command_Id, kCmppSubmit);
  EXPECT_EQ(pdu.header.Sequence_Id, s.sequenceId);
  CmppSubmit wire{};
  ASSERT_EQ(DecodeSubmit(pdu.header, pdu.body, kCmppVersion30, wire), 0);
  EXPECT_EQ(wire.Msg_Length, 11u);
  EXPECT_STREQ(wire.Dest_terminal_Id, "13800138000");
  // The hooks saw the record with its Sequence_Id.
  EXPECT_EQ(client.Locked([&] { return client.submitting.at(0).submit.sequenceId; }), s.sequenceId);
  EXPECT_EQ(client.Locked([&] { return client.sent.at(0).submit.recordId; }), 4711u);

  const std::uint8_t id[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  ASSERT_TRUE(linked.peer->SendSubmitResp(s.sequenceId, id, 0));
  CmppSubmit second = MakeSubmit(4712, "again");
  ASSERT_EQ(linked.link->Submit(second), 0);
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));
  ASSERT_TRUE(linked.peer->SendSubmitResp(second.sequenceId, id, 8));
  ASSERT_TRUE(client.WaitUntil([&] { return client.resps.size() == 2; }));
  // Two workers ran the hooks, in either order.
  std::map<std::uint32_t, std::int32_t> results;
  for (const CmppSubmitResp& r : client.resps) results[r.Sequence_Id] = r.Result;
  EXPECT_EQ(results,
            (std::map<std::uint32_t, std::int32_t>{{s.sequenceId, 0}, {second.sequenceId, 8}}));
  const LinkCounters c = linked.link->Counters();
  EXPECT_EQ(c.mtOk, 2u);
  EXPECT_EQ(c.respOk, 1u);
  EXPECT_EQ(c.respFail, 1u);
  EXPECT_EQ(linked.link->Unanswered(), 0);
  linked.link->Stop();
}

TEST(LinkSubmit, DeclinedOrUnencodableSubmitsWriteNothingAndLeaveTheLinkUsable) {
  RecordingClient client;
  CmppListener listener;
  auto linked = StartLinked(client, listener);
  client.accept = false;
  CmppSubmit declined = MakeSubmit(1, "no");
  EXPECT_EQ(linked.link->Submit(declined), kErrSubmitDeclined);
  // A declined submit must not leave the link marked as sending, or the
  // client would never choose it again; and it is reported failed, or its
  // row (already marked as handed over) would never get an outcome.
  EXPECT_FALSE(linked.link->Sending());
  EXPECT_EQ(client.Locked([&] { return client.failed.at(0).submit.lastError; }),
            kErrSubmitDeclined);
  client.accept = true;

  CmppSubmit tooMany = MakeSubmit(2, "x");
  tooMany.DestUsr_tl = 101;  // CMPP 3.0 holds 100
  EXPECT_EQ(linked.link->Submit(tooMany), kErrTooManyDestinations);
  EXPECT_EQ(client.Locked([&] { return client.failed.at(1).submit.lastError; }),
            kErrTooManyDestinations);
  EXPECT_EQ(linked.link->Counters().mtFail, 2u);
  EXPECT_FALSE(linked.link->Sending());

  // Nothing reached the wire, so the connection is still in step.
  CmppSubmit fine = MakeSubmit(3, "fine");
  ASSERT_EQ(linked.link->Submit(fine), 0);
  PeerPdu pdu;
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));
  EXPECT_EQ(pdu.header.Command_Id, kCmppSubmit);
  EXPECT_EQ(pdu.header.Sequence_Id, fine.sequenceId);
  EXPECT_EQ(linked.link->LoginCount(), 1u);
  linked.link->Stop();
}

// The record was queued for this link, so its row is already marked as
// handed over: without the failure hook it would never get an outcome.
TEST(LinkSubmit, LinkThatCannotLogInReports16001ThroughTheFailureHookNotJustItsResult) {
  RecordingClient client;
  auto listener = std::make_unique<CmppListener>();
  auto linked = StartLinked(client, *listener);
  listener.reset();  // further connects are refused
  linked.peer->Close();
  ASSERT_TRUE(
      client.WaitLine("TCPSocket::Connect() failed,error_code:" + std::to_string(ECONNREFUSED)));
  ASSERT_TRUE(Eventually([&] { return !linked.link->LoggedIn(); }));
  CmppSubmit s = MakeSubmit(5, "x");
  EXPECT_EQ(linked.link->Submit(s), kErrNotLoggedIn);
  EXPECT_EQ(s.sequenceId, 0u);
  EXPECT_EQ(s.writeAttempts, 0u);
  EXPECT_EQ(client.Locked([&] { return client.submitting.size(); }), 0u);
  ASSERT_EQ(client.Locked([&] { return client.failed.size(); }), 1u);
  EXPECT_EQ(client.Locked([&] { return client.failed[0].submit.recordId; }), 5u);
  EXPECT_EQ(client.Locked([&] { return client.failed[0].submit.lastError; }), kErrNotLoggedIn);
  EXPECT_EQ(linked.link->Counters().mtFail, 1u);
  EXPECT_FALSE(linked.link->Sending());
  linked.link->Stop();
}

// ------------------------------------------------------------------ stop

TEST(LinkStop, WakesTheReceiveThreadAtOnceAndWaitsForIt) {
  RecordingClient client;
  CmppListener listener;
  LinkOptions o;
  o.socketTimeout = 60;
  auto linked = StartLinked(client, listener, 0, o);
  ASSERT_TRUE(linked.link->Running());
  const auto start = Clock::now();
  linked.link->Stop();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_FALSE(linked.link->Running());
  EXPECT_FALSE(linked.link->LoggedIn());
  PeerPdu pdu;
  ASSERT_TRUE(linked.peer->Read(pdu, 5s));
  EXPECT_EQ(pdu.header.Command_Id, kCmppTerminate);
  EXPECT_TRUE(linked.peer->WaitClosed(5s));
  EXPECT_TRUE(
      client.HasLine("TESTTOKEN\tSTATICS|ICPID=ICP01|CONNTYPE=2|TOKEN=TESTTOKEN|MT_OK=0|"
                     "MT_FAIL=0|RESP_OK=0|RESP_FAIL=0|MO=0|SR=0;"));
  // Nothing the link reported came after Stop: the thread has ended.
  const std::size_t lines = client.Locked([&] { return client.lines.size(); });
  linked.link->Stop();
  EXPECT_EQ(client.Locked([&] { return client.stopped.size(); }), 1u);
  EXPECT_EQ(client.Locked([&] { return client.lines.size(); }), lines);
  // Stopped links do not log in again for a late worker.
  CmppSubmit s = MakeSubmit(1, "late");
  EXPECT_EQ(linked.link->Submit(s), kErrNotLoggedIn);
  EXPECT_FALSE(listener.Accept(200ms));
}

TEST(LinkStop, WaitsForAReceiveThreadThatIsStillBusyAndSaysSo) {
  RecordingClient client;
  // Hold the receive thread inside a log line of its own.
  ReceiveThreadHold hold(client);
  CmppListener listener;
  LinkTimings timings = ShortTimings();
  timings.stopWaitLogAfter = 100ms;
  auto future = std::async(std::launch::async, [&] {
    return CMPPConnection::Create(&client, "SLOW", "127.0.0.1", listener.Port(), kCmppVersion30,
                                  "900001", "888888", "ICP01", kConnMt, 0, 5, 1800, timings);
  });
  auto peer = listener.Accept(5s);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->AnswerLogin(0, 5s));
  auto link = future.get();
  ASSERT_TRUE(link->Running());
  ASSERT_TRUE(SendUnknownCommand(*peer));
  hold.WaitHeld();

  auto stopping = std::async(std::launch::async, [&] { link->Stop(); });
  ASSERT_TRUE(client.WaitLine(
      "SLOW\tERROR|Stop: the receive thread is still running after 100 ms, waiting for it;"));
  EXPECT_EQ(stopping.wait_for(200ms), std::future_status::timeout);
  hold.Release();
  ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(link->Running());
  EXPECT_TRUE(client.HasLine("SLOW\tSTATICS|"));
}

}  // namespace
}  // namespace brivane::cmpp::test
