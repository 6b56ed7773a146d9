// Bounded waits of a link and of the client: a Logout cuts a login short
// whatever the SMG does, an endless start-up retry hears a cancel, and every
// non-zero CONNECT_RESP Status is a refusal.
#include <gtest/gtest.h>

#include <future>

#include "cmpp/connection.h"
#include "recording_client.h"
#include "support/cmpp_peer.h"
#include "support/unanswered_port.h"

namespace brivane::cmpp::test {
namespace {

using brivane::test::CmppListener;
using brivane::test::MsSince;
using brivane::test::UnansweredPort;
using Clock = std::chrono::steady_clock;

std::shared_ptr<CMPPConnection> Unstarted(RecordingClient& client, std::uint16_t port,
                                          std::int32_t socketTimeout) {
  return std::make_shared<CMPPConnection>(&client, "TESTTOKEN", "127.0.0.1", port, kCmppVersion30,
                                          "900001", "888888", "ICP01", kConnMtMo, 0, socketTimeout,
                                          1800, ShortTimings());
}

// With a 30 s socket timeout, a login to an SMG that does not answer would
// hold its link (and the lock Logout needs) for 30 s; Logout ends it at once.
TEST(LinkStop, LogoutCutsALoginShortWhateverTheSmgDoes) {
  enum class Smg { kDropsConnects, kAcceptsButNeverAnswers };
  for (Smg smg : {Smg::kDropsConnects, Smg::kAcceptsButNeverAnswers}) {
    SCOPED_TRACE(smg == Smg::kDropsConnects ? "drops connects" : "never answers");
    RecordingClient client;
    UnansweredPort unanswered;
    CmppListener listener;
    const std::uint16_t port = smg == Smg::kDropsConnects ? unanswered.Port() : listener.Port();
    ASSERT_NE(port, 0);
    auto link = Unstarted(client, port, 30);
    auto start = std::async(std::launch::async, [&] { return link->Start(); });
    if (smg == Smg::kAcceptsButNeverAnswers) {
      auto peer = listener.Accept(5s);
      ASSERT_TRUE(peer);
      brivane::test::PeerPdu pdu;
      ASSERT_TRUE(peer->Read(pdu, 5s));  // the CONNECT, never answered
      ASSERT_EQ(pdu.header.Command_Id, kCmppConnect);
    } else {
      std::this_thread::sleep_for(300ms);  // the connect is waiting
    }
    const auto stopAt = Clock::now();
    link->Stop();
    const int code = start.get();
    const long long ms = MsSince(stopAt);
    std::cout << "login cut short after " << ms << " ms\n";
    EXPECT_NE(code, kOk);
    EXPECT_LT(ms, 3000);
    EXPECT_FALSE(link->LoggedIn());
    EXPECT_FALSE(link->Running());
  }
}

// An aborted link never logs in again, not even through a later Start.
TEST(LinkStop, AbortedLinkRefusesEveryLaterLogin) {
  RecordingClient client;
  CmppListener listener;
  auto link = Unstarted(client, listener.Port(), 5);
  link->Abort();
  EXPECT_EQ(link->Start(), kErrNotLoggedIn);
  EXPECT_EQ(link->Login(), kErrNotLoggedIn);
  EXPECT_FALSE(listener.Accept(200ms)) << "an aborted link connected";
}

// Every non-zero Status refuses the login with its own code; four-byte
// statuses near 0xFFFFFFFF must not wrap round to success or a small code.
TEST(LinkStop, EveryNonZeroConnectStatusIsARefusal) {
  struct Case {
    std::uint32_t status;
    int code;
  };
  const Case cases[] = {
      {1, 11},
      {3, 13},
      {0xFFFFFFF6u, kErrLoginRefused},
      {0xFFFFFFFFu, kErrLoginRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    RecordingClient client;
    CmppListener listener;
    auto link = Unstarted(client, listener.Port(), 5);
    auto start = std::async(std::launch::async, [&] { return link->Start(); });
    auto peer = listener.Accept(5s);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->AnswerLogin(c.status, 5s));
    EXPECT_EQ(start.get(), c.code);
    EXPECT_FALSE(link->LoggedIn());
    EXPECT_FALSE(link->Running());
    EXPECT_EQ(client.Locked([&] { return client.loginFailures; }), std::vector<int>{c.code});
  }
}

TEST(LinkStop, LoginFailureCodeTable) {
  struct Case {
    std::uint32_t command, status;
    int code;
  };
  const Case cases[] = {
      {kCmppConnectResp, 0, kOk},
      {kCmppConnectResp, 9, 19},
      {kCmppConnectResp, kMaxLoginStatusCode - 10, static_cast<int>(kMaxLoginStatusCode)},
      {kCmppConnectResp, kMaxLoginStatusCode - 9, kErrLoginRefused},
      {kCmppConnectResp, 0xFFFFFFF6u, kErrLoginRefused},
      {kCmppActiveTest, 0, kResultBadLength},
      {kCmppActiveTest, 0xFFFFFFF6u, kResultBadLength},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoginFailureCode(c.command, c.status), c.code) << c.command << " " << c.status;
  }
}

// An endless start-up retry against a port that refuses: attempts at most
// about one a second, and a cancel ends it at once.
TEST(ClientStop, EndlessStartUpRetryPausesASecondAndHearsTheCancel) {
  RecordingClient client;
  std::uint16_t port;
  {
    CmppListener closed;
    port = closed.Port();
  }
  LinkSettings s;
  s.smgAddress = "127.0.0.1";
  s.loginName = "900001";
  s.secret = "888888";
  s.mtAndMoConnections = 1;
  s.mtAndMoPort = port;
  s.reConnectSmgTimesOnStart = -1;
  s.reConnectSmgInterval = 3;
  auto open = std::async(std::launch::async, [&] { return client.OpenLinks(s); });
  std::this_thread::sleep_for(2500ms);
  const auto cancelAt = Clock::now();
  client.CancelOpenLinks();
  EXPECT_EQ(open.get(), 0);
  const long long ms = MsSince(cancelAt);
  std::cout << "endless retry ended " << ms << " ms after the cancel\n";
  EXPECT_LT(ms, 1000);
  const std::size_t attempts = client.Locked([&] { return client.loginFailures.size(); });
  EXPECT_GE(attempts, 2u);
  EXPECT_LE(attempts, 4u) << "3 ms between endless attempts hammers the SMG";
  client.ResumeOpenLinks();
  EXPECT_FALSE(client.OpenLinksCancelled());
}

}  // namespace
}  // namespace brivane::cmpp::test

namespace brivane::cmpp::test {
namespace {

// A client whose pool leaves its workers after 300 ms.
class SlowHookClient : public CMPPClient {
 public:
  SlowHookClient() : CMPPClient(std::chrono::milliseconds(300)) {}
  ~SlowHookClient() override { Release(); }
  void LogWrite(std::string_view) override {}
  void OnDeliver(CMPPConnection&, const CmppDeliver&) override {
    entered = true;
    std::this_thread::sleep_for(1500ms);
    // Touches the client after the pool gave up on this worker: must not
    // run on a released (or, under AddressSanitizer, freed) client.
    lastLinkCount = static_cast<int>(LinkCount());
    ended = true;
  }
  std::atomic<bool> entered{false}, ended{false};
  std::atomic<int> lastLinkCount{-1};
};

TEST(ClientStop, ReleaseWaitsForAnItemThePoolLeftRunning) {
  auto client = std::make_unique<SlowHookClient>();
  client->StartWorkers(0, 0);
  auto link = std::make_shared<CMPPConnection>(client.get(), "TESTTOKEN", "127.0.0.1", 1,
                                               kCmppVersion30, "900001", "888888", "ICP01",
                                               kConnMtMo, 0, 5, 1800, ShortTimings());
  client->QueueDeliver(link, CmppDeliver{});
  ASSERT_TRUE(Eventually([&] { return client->entered.load(); }));
  const auto start = Clock::now();
  client->Release();
  EXPECT_TRUE(client->ended.load()) << "Release returned while a worker still ran a hook";
  EXPECT_EQ(client->RunningItems(), 0);
  EXPECT_GE(MsSince(start), 800);  // beyond the pool's own 300 ms wait
  link.reset();
  client.reset();
}

}  // namespace
}  // namespace brivane::cmpp::test
