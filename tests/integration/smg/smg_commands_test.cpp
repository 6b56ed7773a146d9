// The simulator's control commands, each checked at the CMPP end: MO messages
// single and concatenated, the MO load, keep-alive and termination both ways,
// drop, raw bytes, silence, framing errors, several ports and the process life.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cmpp_peer.h"
#include "support/smg_process.h"

namespace brivane::test {
namespace {

using namespace cmpp;
using namespace std::chrono_literals;

class SmgCommands : public ::testing::Test {
 protected:
  void StartSmg(SmgProcess::Options options = {}) {
    ASSERT_TRUE(smg_.Start(options)) << ReadFile(smg_.OutputFile());
  }
  // Starts the simulator and logs the peer in on its first port.
  void StartSmgAndLogIn(CmppPeer& peer, SmgProcess::Options options = {}) {
    ASSERT_NO_FATAL_FAILURE(StartSmg(options));
    ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));
  }
  static SmgProcess::Options Quiet() {
    SmgProcess::Options options;
    options.quiet = true;
    return options;
  }
  SmgProcess smg_;
};

std::vector<std::uint8_t> Content(const ReceivedPdu& pdu) {
  const CmppDeliver& d = pdu.message->deliver;
  return {d.Msg_Content, d.Msg_Content + d.Msg_Length};
}

TEST_F(SmgCommands, MoInEveryFormatArrivesWithItsFields) {
  for (int version : {32, 48}) {
    SCOPED_TRACE(version);
    SmgProcess::Options options;
    options.version = version;
    StartSmg(options);
    CmppPeer peer(static_cast<std::uint8_t>(version));
    ASSERT_TRUE(peer.ConnectAndLogin(smg_.Port()));

    struct Case {
      int fmt;
      std::string hex;
      std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {{0, "68656C6C6F", Bytes("hello")},
                          {8, "4F60597D", {0x4F, 0x60, 0x59, 0x7D}},
                          {15, "C4E3BAC3", {0xC4, 0xE3, 0xBA, 0xC3}}};
    for (const Case& c : cases) {
      const std::string reply = smg_.Command("mo 13800000001 10658000 " + std::to_string(c.fmt) +
                                             " " + c.hex + " SVC LNK9");
      ASSERT_EQ(reply.rfind("OK seq=", 0), 0u) << reply;
      ReceivedPdu pdu;
      ASSERT_TRUE(peer.Read(pdu));
      ASSERT_EQ(pdu.header.Command_Id, kCmppDeliver);
      ASSERT_EQ(pdu.result, 0);
      EXPECT_EQ("OK seq=" + std::to_string(pdu.header.Sequence_Id), reply);
      const CmppDeliver& d = pdu.message->deliver;
      EXPECT_EQ(d.Registered_Delivery, 0);
      EXPECT_EQ(d.Msg_Fmt, c.fmt);
      EXPECT_EQ(d.TP_udhi, 0);
      EXPECT_STREQ(d.Src_terminal_Id, "13800000001");
      EXPECT_STREQ(d.Dest_Id, "10658000");
      EXPECT_STREQ(d.Service_Id, "SVC");
      EXPECT_STREQ(d.LinkID, version == 48 ? "LNK9" : "");
      EXPECT_EQ(Content(pdu), c.bytes);
      ASSERT_TRUE(peer.SendDeliverResp(pdu));
    }
    EXPECT_TRUE(smg_.WaitStat("mo_acked", 3, 5s));
    EXPECT_EQ(smg_.Stats().at("mo_sent"), 3);
    smg_.Stop();
  }
}

TEST_F(SmgCommands, MoGoesRoundRobinAndNeedsALoggedInConnection) {
  StartSmg();
  EXPECT_EQ(smg_.Command("mo 1380 1065 0 41"), "ERR no logged-in connection");
  CmppPeer a(48);
  CmppPeer b(48);
  ASSERT_TRUE(a.ConnectAndLogin(smg_.Port()));
  ASSERT_TRUE(b.ConnectAndLogin(smg_.Port()));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(smg_.Command("mo 1380 1065 0 41").substr(0, 2), "OK");
  ReceivedPdu pdu;
  for (CmppPeer* peer : {&a, &b, &a, &b}) {
    ASSERT_TRUE(peer->Read(pdu));
    EXPECT_EQ(pdu.header.Command_Id, kCmppDeliver);
  }
  EXPECT_EQ(smg_.Command("mo 1380 1065 0 4"), "ERR HEX is not hex");
  EXPECT_EQ(smg_.Command("mo 1380 1065 x 41").rfind("ERR ", 0), 0u);
  EXPECT_EQ(smg_.Command("mo 1380 1065 0 " + std::string(512, 'A')),
            "ERR content longer than 255 bytes");
}

TEST_F(SmgCommands, MoLongSendsThePartsInTheOrderAskedWithTheirHeaders) {
  CmppPeer peer(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(peer));
  // 300 UCS-2 bytes with a 16-bit reference: parts of 132 bytes keep every
  // character whole (132 + 132 + 36).
  std::vector<std::uint8_t> text;
  for (int i = 0; i < 150; ++i) {
    text.push_back(0x4E);
    text.push_back(static_cast<std::uint8_t>(i));
  }
  EXPECT_EQ(smg_.Command("mo-long 13800000001 10658000 8 1 4660 2,3,1 " + HexText(text)),
            "OK parts=3");
  std::vector<std::vector<std::uint8_t>> parts(4);
  for (int expected : {2, 3, 1}) {
    ReceivedPdu pdu;
    ASSERT_TRUE(peer.Read(pdu));
    ASSERT_EQ(pdu.result, 0);
    EXPECT_EQ(pdu.message->deliver.TP_udhi, 1);
    EXPECT_EQ(pdu.message->deliver.Msg_Fmt, 8);
    const auto content = Content(pdu);
    ASSERT_GT(content.size(), 7u);
    const std::vector<std::uint8_t> header(content.begin(), content.begin() + 7);
    EXPECT_EQ(header, (std::vector<std::uint8_t>{0x06, 0x08, 0x04, 0x12, 0x34, 3,
                                                 static_cast<std::uint8_t>(expected)}));
    parts[static_cast<std::size_t>(expected)].assign(content.begin() + 7, content.end());
  }
  EXPECT_EQ(parts[1].size(), 132u);
  std::vector<std::uint8_t> joined;
  for (int i = 1; i <= 3; ++i) joined.insert(joined.end(), parts[i].begin(), parts[i].end());
  EXPECT_EQ(joined, text);

  // 8-bit reference, natural order: 140 text bytes make 134 + 6.
  const std::vector<std::uint8_t> ascii(140, 'a');
  EXPECT_EQ(smg_.Command("mo-long 1380 1065 0 0 200 - " + HexText(ascii)), "OK parts=2");
  for (int expected : {1, 2}) {
    ReceivedPdu pdu;
    ASSERT_TRUE(peer.Read(pdu));
    const auto content = Content(pdu);
    const std::vector<std::uint8_t> header(content.begin(), content.begin() + 6);
    EXPECT_EQ(header, (std::vector<std::uint8_t>{0x05, 0x00, 0x03, 200, 2,
                                                 static_cast<std::uint8_t>(expected)}));
    EXPECT_EQ(content.size(), expected == 1 ? 140u : 12u);
  }
  // A part left out and one sent twice are allowed; out of range is not.
  EXPECT_EQ(smg_.Command("mo-long 1380 1065 0 0 7 2,2 " + HexText(ascii)), "OK parts=2 sent=2");
  EXPECT_EQ(smg_.Command("mo-long 1380 1065 0 0 7 1,3 " + HexText(ascii)).rfind("ERR ", 0), 0u);
  EXPECT_EQ(smg_.Command("mo-long 1380 1065 0 0 256 - 41").rfind("ERR ", 0), 0u);
}

TEST_F(SmgCommands, MoLoadSendsTheCountAtTheRate) {
  CmppPeer peer(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(peer, Quiet()));
  ASSERT_EQ(smg_.Command("mo-load 500 200 13911112222 10650001"), "OK");
  std::set<std::string> texts;
  for (int i = 0; i < 200; ++i) {
    ReceivedPdu pdu;
    ASSERT_TRUE(peer.Read(pdu)) << "after " << i;
    ASSERT_EQ(pdu.header.Command_Id, kCmppDeliver);
    EXPECT_STREQ(pdu.message->deliver.Src_terminal_Id, "13911112222");
    const auto content = Content(pdu);
    texts.insert(std::string(content.begin(), content.end()));
    ASSERT_TRUE(peer.SendDeliverResp(pdu));
  }
  EXPECT_EQ(texts.size(), 200u) << "every MO of the load differs";
  EXPECT_TRUE(smg_.WaitStat("mo_acked", 200, 5s));
  // Nothing beyond the count.
  ASSERT_TRUE(peer.SendActiveTest(5));
  ReceivedPdu pdu;
  ASSERT_TRUE(peer.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTestResp);
  EXPECT_EQ(smg_.Stats().at("mo_sent"), 200);
}

// The stamped load carries the monotonic time of its write, which the MO
// forwarding benchmark subtracts from the receipt time.
TEST_F(SmgCommands, MoLoadStampIsTheMonotonicTimeOfTheWrite) {
  CmppPeer peer(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(peer, Quiet()));
  auto nowUs = [] {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  };
  const long long before = nowUs();
  ASSERT_EQ(smg_.Command("mo-load 1000 3 13911112222 10650001 stamp"), "OK");
  for (int i = 1; i <= 3; ++i) {
    ReceivedPdu pdu;
    ASSERT_TRUE(peer.Read(pdu));
    const long long received = nowUs();
    ASSERT_EQ(pdu.header.Command_Id, kCmppDeliver);
    const auto content = Content(pdu);
    const std::string text(content.begin(), content.end());
    const std::string head = "MO load " + std::to_string(i) + " t=";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    const long long stamp = std::stoll(text.substr(head.size()));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, received);
    ASSERT_TRUE(peer.SendDeliverResp(pdu));
  }
  EXPECT_EQ(smg_.Command("mo-load 1 1 a b stmp").rfind("ERR ", 0), 0u);
}

TEST_F(SmgCommands, ActiveTestBothWays) {
  CmppPeer sp(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(sp));
  EXPECT_EQ(smg_.Command("active-test"), "OK n=1");
  ReceivedPdu pdu;
  ASSERT_TRUE(sp.Read(pdu));
  ASSERT_EQ(pdu.header.Command_Id, kCmppActiveTest);
  EXPECT_EQ(pdu.header.Total_Length, 12u);
  ASSERT_TRUE(sp.SendActiveTestResp(pdu.header.Sequence_Id));
  EXPECT_TRUE(smg_.WaitStat("active_test_resps_rx", 1, 5s));
  EXPECT_EQ(smg_.Stats().at("active_tests_tx"), 1);

  ASSERT_TRUE(sp.SendActiveTest(4242));
  ASSERT_TRUE(sp.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTestResp);
  EXPECT_EQ(pdu.header.Sequence_Id, 4242u);
  EXPECT_EQ(pdu.header.Total_Length, 13u);
  EXPECT_EQ(smg_.Stats().at("active_tests_rx"), 1);
}

TEST_F(SmgCommands, TerminateFromTheSimulatorClosesOnceAnswered) {
  CmppPeer sp(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(sp));
  EXPECT_EQ(smg_.Command("terminate"), "OK n=1");
  ReceivedPdu pdu;
  ASSERT_TRUE(sp.Read(pdu));
  ASSERT_EQ(pdu.header.Command_Id, kCmppTerminate);
  ASSERT_TRUE(sp.SendTerminateResp(pdu.header.Sequence_Id));
  EXPECT_TRUE(sp.WaitClosed());
  EXPECT_TRUE(smg_.WaitStat("terminate_resps_rx", 1, 5s));
}

TEST_F(SmgCommands, TerminateFromTheSpIsAnsweredThenClosed) {
  SmgProcess::Options options;
  options.version = 32;
  StartSmg(options);
  CmppPeer sp(32);
  ASSERT_TRUE(sp.ConnectAndLogin(smg_.Port()));
  ASSERT_TRUE(sp.SendTerminate(99));
  ReceivedPdu pdu;
  ASSERT_TRUE(sp.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppTerminateResp);
  EXPECT_EQ(pdu.header.Sequence_Id, 99u);
  EXPECT_TRUE(sp.WaitClosed());
  EXPECT_EQ(smg_.Stats().at("terminates_rx"), 1);
}

TEST_F(SmgCommands, DropClosesEveryConnectionButKeepsListening) {
  SmgProcess::Options options;
  options.ports = 2;
  StartSmg(options);
  ASSERT_NE(smg_.Port(0), smg_.Port(1));
  CmppPeer a(48);
  CmppPeer b(48);
  ASSERT_TRUE(a.ConnectAndLogin(smg_.Port(0)));
  ASSERT_TRUE(b.ConnectAndLogin(smg_.Port(1)));
  const auto lines = smg_.CommandLines("connections");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "OK n=2");
  EXPECT_EQ(lines[1].find("port=" + std::to_string(smg_.Port(0)) + " logged_in=1 version=48"),
            lines[1].find("port="));
  EXPECT_NE(lines[2].find("port=" + std::to_string(smg_.Port(1))), std::string::npos);

  EXPECT_EQ(smg_.Command("drop"), "OK n=2");
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return smg_.Command("connections") == "OK n=0"; }, 5s));
  CmppPeer again(48);
  EXPECT_TRUE(again.ConnectAndLogin(smg_.Port(1)));
  EXPECT_EQ(smg_.Stats().at("logins"), 3);
}

TEST_F(SmgCommands, RawWritesTheExactBytes) {
  CmppPeer sp(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(sp));
  // A header that declares 4109 bytes: a framing error for the SP.
  EXPECT_EQ(smg_.Command("raw 0000100D000000050000002A"), "OK n=1");
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(sp.ReadBytes(bytes, 12));
  EXPECT_EQ(HexText(bytes), "0000100D000000050000002A");
  EXPECT_EQ(smg_.Command("raw 0G"), "ERR HEX is not hex");
}

TEST_F(SmgCommands, SilentReadsEverythingAndAnswersNothing) {
  CmppPeer sp(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(sp));
  EXPECT_EQ(smg_.Command("set silent 1"), "OK");
  sp.Submit("13800138000", "unanswered", 1);
  ASSERT_TRUE(sp.SendActiveTest(1));
  EXPECT_TRUE(smg_.WaitStat("active_tests_rx", 1, 5s));
  EXPECT_EQ(smg_.Stats().at("submits"), 1);
  ReceivedPdu pdu;
  EXPECT_FALSE(sp.Read(pdu, 300ms)) << "nothing may come while silent";
  const auto submits = smg_.CommandLines("submits");
  ASSERT_EQ(submits.size(), 2u);
  EXPECT_NE(submits[1].find("\"Msg_Id\":\"\""), std::string::npos) << submits[1];

  EXPECT_EQ(smg_.Command("set silent 0"), "OK");
  ASSERT_TRUE(sp.SendActiveTest(2));
  ASSERT_TRUE(sp.Read(pdu));
  EXPECT_EQ(pdu.header.Command_Id, kCmppActiveTestResp);
  EXPECT_EQ(pdu.header.Sequence_Id, 2u);
  EXPECT_EQ(smg_.Command("set silent 2"), "ERR silent must be 0 or 1");
}

TEST_F(SmgCommands, FramingErrorsAndRequestsBeforeLoginClose) {
  CmppPeer tooLong(48);
  ASSERT_NO_FATAL_FAILURE(StartSmgAndLogIn(tooLong));
  const std::vector<std::uint8_t> header4109 = {0, 0, 0x10, 0x0D, 0, 0, 0, 4, 0, 0, 0, 1};
  ASSERT_TRUE(tooLong.SendRaw(header4109));
  EXPECT_TRUE(tooLong.WaitClosed());

  CmppPeer tooShort(48);
  ASSERT_TRUE(tooShort.ConnectAndLogin(smg_.Port()));
  const std::vector<std::uint8_t> header11 = {0, 0, 0, 11, 0, 0, 0, 8, 0, 0, 0, 1};
  ASSERT_TRUE(tooShort.SendRaw(header11));
  EXPECT_TRUE(tooShort.WaitClosed());
  EXPECT_TRUE(smg_.WaitStat("malformed", 2, 5s));

  CmppPeer early(48);
  ASSERT_TRUE(early.Connect(smg_.Port()));
  ASSERT_TRUE(early.SendActiveTest(1));
  EXPECT_TRUE(early.WaitClosed());

  // A SUBMIT whose length does not add up is answered with Result 4.
  CmppPeer bad(48);
  ASSERT_TRUE(bad.ConnectAndLogin(smg_.Port()));
  std::vector<std::uint8_t> pdu(12 + 200, 0);
  pdu[3] = static_cast<std::uint8_t>(pdu.size());
  pdu[7] = 4;
  pdu[11] = 9;
  ASSERT_TRUE(bad.SendRaw(pdu));
  ReceivedPdu resp;
  ASSERT_TRUE(bad.Read(resp));
  EXPECT_EQ(resp.header.Command_Id, kCmppSubmitResp);
  EXPECT_EQ(resp.message->submitResp.Result, 4);
  EXPECT_EQ(smg_.Stats().at("submits_bad"), 1);
}

TEST_F(SmgCommands, ControlRepliesToBadInput) {
  StartSmg();
  EXPECT_EQ(smg_.Command("frobnicate"), "ERR unknown command");
  EXPECT_EQ(smg_.Command(""), "ERR unknown command");
  EXPECT_EQ(smg_.Command("set nothing 1"), "ERR unknown key nothing");
  EXPECT_EQ(smg_.Command("set submit-result x"), "ERR not a number: x");
  EXPECT_EQ(smg_.Command("set report-stat TOOLONGX"), "ERR report-stat takes 1 to 7 characters");
  EXPECT_EQ(smg_.Command("submits x").rfind("ERR ", 0), 0u);
  EXPECT_EQ(smg_.Command("mo-load x 1").rfind("ERR ", 0), 0u);
  // Several commands on one control connection are answered in order.
  const auto lines = smg_.CommandLines("stats\nconnections\nbogus");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("OK logins=0 refused=0 connections=0 submits=0 ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "OK n=0");
  EXPECT_EQ(lines[2], "ERR unknown command");
}

TEST_F(SmgCommands, RestartKeepsThePorts) {
  StartSmg();
  const int port = smg_.Port();
  const int control = smg_.ControlPort();
  CmppPeer before(48);
  ASSERT_TRUE(before.ConnectAndLogin(port));
  ASSERT_TRUE(smg_.Restart());
  EXPECT_TRUE(before.WaitClosed());
  EXPECT_EQ(smg_.Port(), port);
  EXPECT_EQ(smg_.ControlPort(), control);
  CmppPeer after(48);
  EXPECT_TRUE(after.ConnectAndLogin(port));
  EXPECT_EQ(smg_.Stats().at("logins"), 1) << "a fresh process";
}

// Starts brivane-smg directly on port 0, to see its output and exit status.
class SmgExit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        child_.Start({BuiltProgram("brivane-smg"), "--port", "0", "--control-port", "0", "--quiet"},
                     dir_.File("out")));
    // With --quiet, stdout is the ports line and READY, nothing else.
    const std::regex announced("PORTS cmpp=[0-9]+ control=[0-9]+\nREADY\n");
    ASSERT_TRUE(
        WaitFor([&] { return std::regex_match(ReadFile(dir_.File("out")), announced); }, 10s))
        << ReadFile(dir_.File("out"));
    std::vector<int> cmpp;
    ASSERT_TRUE(ParsePortsLine(ReadFile(dir_.File("out")), cmpp, controlPort_));
    ASSERT_EQ(cmpp.size(), 1u);
    cmppPort_ = cmpp[0];
  }
  int ExitStatus() {
    const int status = child_.Wait(5s);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  TempDir dir_;
  ChildProcess child_;
  int cmppPort_ = 0;
  int controlPort_ = 0;
};

TEST_F(SmgExit, QuitAnswersAndExitsZero) {
  CmppPeer control(48);  // the control port speaks lines; a raw socket will do
  ASSERT_TRUE(control.Connect(controlPort_));
  ASSERT_TRUE(control.SendRaw(Bytes("quit\n")));
  std::vector<std::uint8_t> reply;
  ASSERT_TRUE(control.ReadBytes(reply, 3));
  EXPECT_EQ(std::string(reply.begin(), reply.end()), "OK\n");
  EXPECT_EQ(ExitStatus(), 0);
}

TEST_F(SmgExit, SignalsExitZeroAndCloseConnections) {
  CmppPeer sp(48);
  ASSERT_TRUE(sp.ConnectAndLogin(cmppPort_));
  child_.Signal(SIGINT);
  EXPECT_EQ(ExitStatus(), 0);
  EXPECT_TRUE(sp.WaitClosed());
}

TEST_F(SmgExit, PortInUseIsAClearStartFailure) {
  ChildProcess clash;
  ASSERT_TRUE(clash.Start(
      {BuiltProgram("brivane-smg"), "--port", std::to_string(cmppPort_), "--control-port", "0"},
      dir_.File("clash")));
  const int status = clash.Wait(5s);
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_NE(ReadFile(dir_.File("clash")).find("cannot bind"), std::string::npos);
  child_.Signal(SIGTERM);
  EXPECT_EQ(ExitStatus(), 0);
}

// Every port given as 0 is a distinct one the kernel chose, announced in
// order, and each of them serves.
TEST_F(SmgExit, PortsGivenAsZeroAreAnnouncedAndServe) {
  ChildProcess two;
  ASSERT_TRUE(two.Start(
      {BuiltProgram("brivane-smg"), "--port", "0", "--port", "0", "--control-port", "0", "--quiet"},
      dir_.File("two")));
  std::vector<int> cmpp;
  int control = 0;
  ASSERT_TRUE(
      WaitFor([&] { return ParsePortsLine(ReadFile(dir_.File("two")), cmpp, control); }, 10s))
      << ReadFile(dir_.File("two"));
  ASSERT_EQ(cmpp.size(), 2u);
  EXPECT_NE(cmpp[0], cmpp[1]);
  EXPECT_NE(control, cmpp[0]);
  EXPECT_NE(control, cmpp[1]);
  for (int port : cmpp) {
    CmppPeer sp(48);
    EXPECT_TRUE(sp.ConnectAndLogin(port)) << port;
  }
  CmppPeer controlClient(48);
  ASSERT_TRUE(controlClient.Connect(control));
  ASSERT_TRUE(controlClient.SendRaw(Bytes("quit\n")));
  const int status = two.Wait(5s);
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace brivane::test
