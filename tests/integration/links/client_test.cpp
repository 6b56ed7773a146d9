// CMPPClient with its worker pool and links: tokens, pool sizes, start-up
// retries, rotation and eligibility, splitting, the select wait, events on
// workers, and release.
#include "cmpp/client.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "base/log.h"
#include "recording_client.h"
#include "support/cmpp_peer.h"
#include "support/smg_process.h"

namespace brivane::cmpp::test {
namespace {

using brivane::test::CmppListener;
using brivane::test::CmppPeer;
using brivane::test::SmgProcess;
using Clock = std::chrono::steady_clock;

LinkSettings Settings(std::uint16_t port, std::int32_t mt, std::int32_t mo, std::int32_t mtMo) {
  LinkSettings s;
  s.smgAddress = "127.0.0.1";
  s.version = kCmppVersion30;
  s.loginName = "900001";
  s.secret = "888888";
  s.icpId = "ICP01";
  s.socketTimeoutSeconds = 5;
  s.mtConnections = mt;
  s.moConnections = mo;
  s.mtAndMoConnections = mtMo;
  s.mtPort = s.moPort = s.mtAndMoPort = port;
  return s;
}

// The `submits` list of the simulator, one JSON object per line.
std::vector<std::string> Submits(SmgProcess& smg) {
  auto lines = smg.CommandLines("submits");
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

std::string JsonField(const std::string& json, const std::string& key) {
  const std::regex re("\"" + key + "\":(\"([^\"]*)\"|(-?[0-9]+))");
  std::smatch m;
  if (!std::regex_search(json, m, re)) return "<missing>";
  return m[2].matched ? m[2].str() : m[3].str();
}

// ------------------------------------------------------------------ basics

TEST(ClientBasics, TimestampsAreSeventeenDigitsAndNeverRepeat) {
  const std::string a = MakeTimestamp();
  const std::string b = MakeTimestamp();
  EXPECT_TRUE(std::regex_match(a, std::regex("20[0-9]{15}"))) << a;
  EXPECT_NE(a, b);
}

TEST(ClientBasics, WorkerPoolSizesFollowTheProcessorCountAndLimits) {
  const std::uint32_t p = std::max(1u, std::thread::hardware_concurrency());
  RecordingClient client;
  client.StartWorkers(0, 0);
  EXPECT_EQ(client.MinimumWorkers(), 2 * p + 2);
  EXPECT_EQ(client.MaximumWorkers(), 2 * p + 6);
  EXPECT_EQ(client.WorkerPool().ThreadCount(), 2 * p + 2);
  // Nothing changes while the pool runs.
  client.StartWorkers(40, 60);
  EXPECT_EQ(client.MinimumWorkers(), 2 * p + 2);
  client.StopWorkers();
  EXPECT_FALSE(client.WorkersStarted());
  client.StartWorkers(2 * p + 10, 2 * p + 20);
  EXPECT_EQ(client.MinimumWorkers(), 2 * p + 10);
  EXPECT_EQ(client.MaximumWorkers(), 2 * p + 20);
  EXPECT_EQ(client.WorkerPool().ThreadCount(), 2 * p + 10);
}

TEST(ClientBasics, ConcatenationReferencesRunModulo255) {
  std::uint8_t previous = CMPPClient::NextConcatReference();
  for (int i = 0; i < 600; ++i) {
    const std::uint8_t next = CMPPClient::NextConcatReference();
    EXPECT_EQ(next, static_cast<std::uint8_t>((previous + 1) % 255)) << i;
    previous = next;
  }
}

// ------------------------------------------------------------------ start-up

// Answers CONNECTs in the background with the given statuses, in order, then 0.
class ScriptedSmg {
 public:
  explicit ScriptedSmg(std::vector<std::uint32_t> statuses) : statuses_(std::move(statuses)) {
    thread_ = std::thread([this] {
      while (!done_) {
        auto peer = listener_.Accept(100ms);
        if (!peer) continue;
        const std::uint32_t status = logins_ < statuses_.size() ? statuses_[logins_] : 0;
        ++logins_;
        // Answer in the layout the CONNECT's Version asks for.
        brivane::test::PeerPdu pdu;
        CmppConnect connect{};
        if (!peer->Read(pdu, 5s) || DecodeConnect(pdu.header, pdu.body, connect) != 0) continue;
        peer->SetVersion(connect.Version);
        peer->SendConnectResp(pdu.header.Sequence_Id, status);
        // Accepted links stay open (and their keep-alives unanswered).
        if (status == 0) {
          peers_.push_back(std::move(peer));
        }
      }
    });
  }
  ~ScriptedSmg() {
    done_ = true;
    thread_.join();
  }
  std::uint16_t Port() const { return listener_.Port(); }
  std::size_t Logins() const { return logins_.load(); }

 private:
  CmppListener listener_;
  std::vector<std::uint32_t> statuses_;
  std::vector<std::unique_ptr<CmppPeer>> peers_;
  std::atomic<std::size_t> logins_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class ClientStartup : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(base::OpenLog(dir_.File("brivane.log"), 4)); }
  void TearDown() override { base::CloseLog(); }
  std::string Log() {
    base::FlushLog();
    return brivane::test::ReadFile(dir_.File("brivane.log"));
  }
  brivane::test::TempDir dir_;
};

TEST_F(ClientStartup, SecondAttemptAfterAFailedSecondLinkLeavesThreeMtLinks) {
  ScriptedSmg smg({0, 3, 0, 0});
  RecordingClient client;
  client.StartWorkers(0, 0);
  LinkSettings s = Settings(smg.Port(), 2, 0, 0);
  PoolResults pools;
  EXPECT_EQ(client.OpenLinks(s, &pools), 1);
  EXPECT_TRUE(pools.AllGood());
  EXPECT_EQ(client.LinkCount(), 3u);
  EXPECT_EQ(client.LoggedInLinks(kConnMt), 3u);
  EXPECT_EQ(smg.Logins(), 4u);
  EXPECT_NE(Log().find("严重：创建第 2 个MT连接失败!"), std::string::npos) << Log();
}

TEST_F(ClientStartup, GivesUpAfterTheConfiguredAttemptsAndReportsTheFailedPool) {
  ScriptedSmg smg({3, 3, 3, 3, 3, 3});
  RecordingClient client;
  LinkSettings s = Settings(smg.Port(), 0, 1, 1);
  s.reConnectSmgTimesOnStart = 2;
  PoolResults pools;
  EXPECT_EQ(client.OpenLinks(s, &pools), 0);
  EXPECT_TRUE(pools.mtGood);  // no MT links configured
  EXPECT_FALSE(pools.moGood);
  EXPECT_FALSE(pools.mtAndMoGood);  // never tried after the MO pool failed
  EXPECT_EQ(smg.Logins(), 2u);
  EXPECT_EQ(client.LinkCount(), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("严重：创建第 1 个MO连接失败！"), std::string::npos) << log;
}

TEST_F(ClientStartup, NegativeAttemptsRetryUntilEveryPoolIsComplete) {
  ScriptedSmg smg({3, 3, 3, 3, 0});
  RecordingClient client;
  LinkSettings s = Settings(smg.Port(), 0, 0, 1);
  s.reConnectSmgTimesOnStart = -1;
  EXPECT_EQ(client.OpenLinks(s), 1);
  EXPECT_EQ(smg.Logins(), 5u);
  EXPECT_EQ(client.LoggedInLinks(kConnMtMo), 1u);
  EXPECT_NE(Log().find("严重：创建第 1 个连接失败！"), std::string::npos);
}

TEST_F(ClientStartup, TokensNameTheVersionAndDifferBetweenLinks) {
  ScriptedSmg smg({});
  RecordingClient client;
  LinkSettings s = Settings(smg.Port(), 0, 0, 2);
  ASSERT_EQ(client.OpenLinks(s), 1);
  s.version = kCmppVersion20;
  s.mtAndMoConnections = 1;
  ASSERT_EQ(client.OpenLinks(s), 1);
  const auto states = client.LinkStates();
  ASSERT_EQ(states.size(), 3u);
  EXPECT_TRUE(std::regex_match(states[0].token, std::regex("CMPP3TOKEN:[0-9]{17}")));
  EXPECT_TRUE(std::regex_match(states[1].token, std::regex("CMPP3TOKEN:[0-9]{17}")));
  EXPECT_TRUE(std::regex_match(states[2].token, std::regex("CMPP2TOKEN:[0-9]{17}")));
  EXPECT_NE(states[0].token, states[1].token);
}

// ------------------------------------------------------------------ with the simulator

class ClientSmg : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(smg_.Start({})) << "brivane-smg did not start";
    client_.StartWorkers(0, 0);
  }
  LinkSettings Settings(std::int32_t mt, std::int32_t mo, std::int32_t mtMo) {
    return test::Settings(static_cast<std::uint16_t>(smg_.Port()), mt, mo, mtMo);
  }

  SmgProcess smg_;
  RecordingClient client_;
};

TEST_F(ClientSmg, RotationGoesABCAOverThreeMtLinks) {
  ASSERT_EQ(client_.OpenLinks(Settings(3, 0, 0)), 1);
  const auto states = client_.LinkStates();
  ASSERT_EQ(states.size(), 3u);
  std::vector<std::string> chosen;
  for (int i = 0; i < 4; ++i) chosen.push_back(client_.SelectLink()->Token());
  EXPECT_EQ(chosen, (std::vector<std::string>{states[0].token, states[1].token, states[2].token,
                                              states[0].token}));

  // Submits queued one at a time (each written and answered before the next,
  // so every link is idle) follow the same rotation.
  for (std::uint32_t i = 0; i < 6; ++i) {
    CmppSubmit s = MakeSubmit(i, "rotate");
    ASSERT_EQ(client_.Submit(s), 0);
    ASSERT_TRUE(client_.WaitUntil(
        [&] { return client_.sent.size() == i + 1 && client_.resps.size() == i + 1; }));
  }
  std::vector<std::string> order;
  client_.Locked([&] {
    for (const auto& e : client_.submitting) order.push_back(e.token);
    return 0;
  });
  EXPECT_EQ(order, (std::vector<std::string>{states[1].token, states[2].token, states[0].token,
                                             states[1].token, states[2].token, states[0].token}));
}

TEST_F(ClientSmg, LinksOverTheWindowAndMoLinksAreSkipped) {
  ASSERT_EQ(client_.OpenLinks(Settings(2, 1, 1)), 1);
  const auto states = client_.LinkStates();
  ASSERT_EQ(states.size(), 4u);
  ASSERT_EQ(states[2].connType, kConnMo);
  // Seventeen unanswered submits on the first MT link.
  ASSERT_EQ(smg_.Command("set silent 1"), "OK");
  auto first = client_.SelectLink();
  ASSERT_EQ(first->Token(), states[0].token);
  for (std::uint32_t i = 0; i < 17; ++i) {
    CmppSubmit s = MakeSubmit(i, "hold");
    ASSERT_EQ(first->Submit(s), 0);
  }
  ASSERT_EQ(first->Unanswered(), 17);
  std::vector<std::string> chosen;
  for (int i = 0; i < 4; ++i) chosen.push_back(client_.SelectLink()->Token());
  EXPECT_EQ(chosen, (std::vector<std::string>{states[1].token, states[3].token, states[1].token,
                                              states[3].token}));
}

TEST_F(ClientSmg, LongMessagesAreSplitIntoNumberedSegments) {
  ASSERT_EQ(client_.OpenLinks(Settings(1, 0, 0)), 1);
  std::string text160;
  for (int i = 0; i < 160; ++i) text160 += static_cast<char>('A' + i % 26);
  CmppSubmit long0 = MakeSubmit(1, text160, 0);
  ASSERT_EQ(client_.Submit(long0), 0);
  EXPECT_EQ(long0.Pk_total, 2);
  CmppSubmit whole = MakeSubmit(2, text160.substr(0, 159), 0);
  ASSERT_EQ(client_.Submit(whole), 0);
  EXPECT_EQ(whole.Pk_total, 1);
  CmppSubmit ucs2 = MakeSubmit(3, text160.substr(0, 141), 8);
  ASSERT_EQ(client_.Submit(ucs2), 0);
  EXPECT_EQ(ucs2.Pk_total, 2);
  ASSERT_TRUE(smg_.WaitStat("submits", 5, 5s));

  auto submits = Submits(smg_);
  ASSERT_EQ(submits.size(), 5u);
  // Workers may write in any order: sort by content.
  std::map<std::string, std::string> byContent;
  for (const auto& j : submits) byContent[JsonField(j, "Msg_Content")] = j;
  auto hex = [](const std::string& s) {
    std::string h;
    char two[3];
    for (unsigned char c : s) {
      std::snprintf(two, sizeof two, "%02X", c);
      h += two;
    }
    return h;
  };
  auto find = [&](const std::string& tailHex) -> std::string {
    for (const auto& [content, json] : byContent) {
      if (content.size() >= tailHex.size() &&
          ::strcasecmp(content.substr(content.size() - tailHex.size()).c_str(), tailHex.c_str()) ==
              0)
        return json;
    }
    return "";
  };
  const std::string a1 = find(hex(text160.substr(0, 150)));
  const std::string a2 = find(hex(text160.substr(150)));
  ASSERT_FALSE(a1.empty() || a2.empty());
  EXPECT_EQ(JsonField(a1, "Msg_Length"), "156");
  EXPECT_EQ(JsonField(a2, "Msg_Length"), "16");
  EXPECT_EQ(JsonField(a1, "Pk_total"), "2");
  EXPECT_EQ(JsonField(a1, "Pk_number"), "1");
  EXPECT_EQ(JsonField(a2, "Pk_number"), "2");
  EXPECT_EQ(JsonField(a1, "TP_udhi"), "1");
  const std::string header1 = JsonField(a1, "Msg_Content").substr(0, 12);
  const std::string header2 = JsonField(a2, "Msg_Content").substr(0, 12);
  EXPECT_EQ(header1.substr(0, 6), "050003");
  EXPECT_EQ(header1.substr(8), "0201");
  EXPECT_EQ(header2.substr(0, 8), header1.substr(0, 8));  // same reference
  EXPECT_EQ(header2.substr(8), "0202");

  const std::string w = find(hex(text160.substr(0, 159)));
  EXPECT_EQ(JsonField(w, "Msg_Length"), "159");
  EXPECT_EQ(JsonField(w, "TP_udhi"), "0");

  const std::string u1 = find(hex(text160.substr(0, 134)));
  const std::string u2 = find(hex(text160.substr(134, 7)));
  ASSERT_FALSE(u1.empty() || u2.empty());
  EXPECT_EQ(JsonField(u1, "Msg_Length"), "140");
  EXPECT_EQ(JsonField(u2, "Msg_Length"), "13");
  EXPECT_EQ(JsonField(u1, "Msg_Fmt"), "8");
  // The next long message took the next reference.
  const int ref1 = std::stoi(header1.substr(6, 2), nullptr, 16);
  const int ref3 = std::stoi(JsonField(u1, "Msg_Content").substr(6, 2), nullptr, 16);
  EXPECT_EQ(ref3, (ref1 + 1) % 255);
  // Every segment carries the record id of its message.
  client_.WaitUntil([&] { return client_.sent.size() == 5; });
  client_.Locked([&] {
    std::multiset<std::uint32_t> ids;
    for (const auto& e : client_.sent) ids.insert(e.submit.recordId);
    EXPECT_EQ(ids, (std::multiset<std::uint32_t>{1, 1, 2, 3, 3}));
    return 0;
  });
}

// A WAP Push longer than one SMS: every segment carries the push's port
// addressing with the concatenation element added to the same header
// (0B 05 04 0B 84 23 F0 00 03 ref n i), then the next 128 bytes of the
// push. A header of its own in front would leave the port header as text.
TEST_F(ClientSmg, LongWapPushKeepsItsPortHeaderInEverySegment) {
  ASSERT_EQ(client_.OpenLinks(Settings(1, 0, 0)), 1);
  std::string body = "\x06\x05\x04\x0B\x84\x23\xF0";
  std::string wsp;
  for (int i = 0; i < 200; ++i) wsp += static_cast<char>(i);
  CmppSubmit push = MakeSubmit(7, body + wsp, 4);
  push.TP_udhi = 1;
  ASSERT_EQ(client_.Submit(push), 0);
  EXPECT_EQ(push.Pk_total, 2);
  ASSERT_TRUE(smg_.WaitStat("submits", 2, 5s));
  std::map<std::string, std::string> byNumber;
  for (const auto& j : Submits(smg_)) byNumber[JsonField(j, "Pk_number")] = j;
  ASSERT_EQ(byNumber.size(), 2u);
  const std::string first = JsonField(byNumber["1"], "Msg_Content");
  const std::string second = JsonField(byNumber["2"], "Msg_Content");
  EXPECT_EQ(JsonField(byNumber["1"], "Msg_Length"), "140");
  EXPECT_EQ(JsonField(byNumber["2"], "Msg_Length"), std::to_string(12 + 200 - 128));
  EXPECT_EQ(JsonField(byNumber["1"], "TP_udhi"), "1");
  EXPECT_EQ(JsonField(byNumber["1"], "Msg_Fmt"), "4");
  ASSERT_GE(first.size(), 24u);
  ASSERT_GE(second.size(), 24u);
  EXPECT_EQ(first.substr(0, 18), "0B05040B8423F00003");
  EXPECT_EQ(first.substr(20, 4), "0201");
  EXPECT_EQ(second.substr(0, 20), first.substr(0, 20)) << "one reference";
  EXPECT_EQ(second.substr(20, 4), "0202");
  std::string expected;
  char two[3];
  for (unsigned char c : wsp) {
    std::snprintf(two, sizeof two, "%02X", c);
    expected += two;
  }
  EXPECT_EQ(first.substr(24) + second.substr(24), expected);
}

TEST_F(ClientSmg, OnlyMoLinksMeansNoSubmitIsTakenAndTheRecordIsReported) {
  ASSERT_EQ(client_.OpenLinks(Settings(0, 1, 0)), 1);
  client_.SetSelectWaitForTest(CMPPClient::kSelectTries, 3ms);
  CmppSubmit s = MakeSubmit(77, "nowhere");
  const auto start = Clock::now();
  EXPECT_EQ(client_.Submit(s), kErrNoLink);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 300 * 3ms);  // 301 tries, 300 pauses
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(client_.HasLine("The record whose id is equal to 77 failed to be sent!"));
  EXPECT_EQ(client_.Locked([&] { return client_.submitting.size(); }), 0u);
  EXPECT_EQ(smg_.Stats()["submits"], 0);
}

TEST_F(ClientSmg, SubmitWaitingForTheBusyLinkGoesOnWhenItsWriteEnds) {
  // Hold the only link in its write (OnSubmitting runs with the sending
  // flag set) while a second Submit waits; its pauses are 10 s long, so
  // only the link's own wake-up lets it go on at once.
  std::latch inWrite(1), release(1);
  std::atomic<bool> holdOnce{true};
  client_.onSubmitting = [&](CMPPConnection&, const CmppSubmit&) {
    if (holdOnce.exchange(false)) {
      inWrite.count_down();
      release.wait();
    }
  };
  ASSERT_EQ(client_.OpenLinks(Settings(1, 0, 0)), 1);
  client_.SetSelectWaitForTest(3, 10s);
  CmppSubmit first = MakeSubmit(1, "first");
  ASSERT_EQ(client_.Submit(first), 0);
  inWrite.wait();
  auto second = std::async(std::launch::async, [&] {
    CmppSubmit s = MakeSubmit(2, "second");
    return client_.Submit(s);
  });
  ASSERT_TRUE(Eventually([&] { return client_.WaitingSubmits() == 1; }));
  const auto released = Clock::now();
  release.count_down();
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(second.get(), 0);
  EXPECT_LT(Clock::now() - released, 5s);
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.resps.size() == 2; }));
}

TEST_F(ClientSmg, EventsReachTheHooksOnWorkerThreadsWithMatchingIds) {
  ASSERT_EQ(client_.OpenLinks(Settings(0, 0, 1)), 1);
  CmppSubmit s = MakeSubmit(5, "with report", 0, 1);
  ASSERT_EQ(client_.Submit(s), 0);
  ASSERT_TRUE(
      client_.WaitUntil([&] { return client_.resps.size() == 1 && client_.reports.size() == 1; }));
  EXPECT_EQ(smg_.Command("mo 13912345678 10658888 15 6d6f").rfind("OK", 0), 0u);
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.delivers.size() == 1; }));

  const auto submits = Submits(smg_);
  ASSERT_EQ(submits.size(), 1u);
  client_.Locked([&] {
    const CmppSubmitResp& r = client_.resps[0];
    EXPECT_EQ(r.Sequence_Id, client_.submitting.at(0).submit.sequenceId);
    std::uint64_t id = 0;
    for (std::uint8_t b : r.Msg_Id) id = id << 8 | b;
    EXPECT_EQ(std::to_string(id), JsonField(submits[0], "Msg_Id"));
    EXPECT_EQ(std::memcmp(ReportOf(client_.reports[0]).Msg_Id, r.Msg_Id, 8), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(client_.delivers[0].Msg_Content), "mo");
    return 0;
  });
  const auto states = client_.LinkStates();
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].counters.mtOk, 1u);
  EXPECT_EQ(states[0].counters.respOk, 1u);
  EXPECT_EQ(states[0].counters.sr, 1u);
  EXPECT_EQ(states[0].counters.mo, 1u);
}

TEST_F(ClientSmg, ReleaseStopsEveryLinkAndTheClientCanStartAgain) {
  ASSERT_EQ(client_.OpenLinks(Settings(1, 1, 1)), 1);
  ASSERT_TRUE(client_.SelectLink());
  const auto before = client_.LinkStates();
  client_.Release();
  EXPECT_FALSE(client_.WorkersStarted());
  EXPECT_EQ(client_.LinkCount(), 0u);
  // The link chosen last is gone with the list; nothing refers to it.
  EXPECT_FALSE(client_.SelectLink());
  client_.Locked([&] {
    EXPECT_EQ(client_.stopped.size(), 3u);
    return 0;
  });
  for (const auto& state : before) {
    EXPECT_TRUE(client_.HasLine(state.token + "\tSTATICS|ICPID=ICP01|CONNTYPE=" +
                                std::to_string(state.connType) + "|TOKEN=" + state.token + "|"));
  }
  ASSERT_TRUE(smg_.WaitStat("terminates_rx", 3, 5s));

  client_.StartWorkers(0, 0);
  ASSERT_EQ(client_.OpenLinks(Settings(1, 0, 0)), 1);
  CmppSubmit s = MakeSubmit(8, "again");
  ASSERT_EQ(client_.Submit(s), 0);
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.resps.size() == 1; }));
}

// The queue of submits is bounded: past the bound Submit waits until a
// worker has written one, or, when nothing moves for the whole select wait,
// queues all the same rather than hold the pass for good.
TEST_F(ClientSmg, SubmitWaitsForRoomInTheQueueForAtMostTheSelectWait) {
  struct Case {
    const char* name;
    bool openGate;    // the writes go on while the third Submit waits
    int selectTries;  // the select wait: (tries - 1) x 20 ms
  };
  for (const Case& c : std::vector<Case>{{"room made", true, 1500}, {"stuck", false, 3}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(client_.OpenLinks(Settings(0, 0, 3)), 1);
    client_.SetMaxQueuedSubmitsForTest(2);
    client_.SetSelectWaitForTest(c.selectTries, 20ms);
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> open = gate->get_future().share();
    client_.onSubmitting = [open](CMPPConnection&, const CmppSubmit&) { open.wait(); };
    const std::size_t sentBefore = client_.Locked([&] { return client_.sent.size(); });
    for (std::uint32_t i = 0; i < 2; ++i) {
      CmppSubmit s = MakeSubmit(i, "held");
      ASSERT_EQ(client_.Submit(s), 0);
    }
    auto third = std::async(std::launch::async, [&] {
      CmppSubmit s = MakeSubmit(2, "third");
      return client_.Submit(s);
    });
    if (c.openGate) {
      // Full: the third waits (its bound is 30 s away) until writes go on.
      EXPECT_EQ(third.wait_for(300ms), std::future_status::timeout);
      EXPECT_EQ(client_.QueuedSubmits(), 2u);
      gate->set_value();
      EXPECT_EQ(third.get(), 0);
    } else {
      // Nothing moves: queued after the 40 ms select wait, over the bound.
      ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
      EXPECT_EQ(third.get(), 0);
      EXPECT_EQ(client_.QueuedSubmits(), 3u);
      gate->set_value();
    }
    ASSERT_TRUE(client_.WaitUntil([&] { return client_.sent.size() == sentBefore + 3; }));
    EXPECT_TRUE(Eventually([&] { return client_.QueuedSubmits() == 0; }));
    client_.onSubmitting = nullptr;
    client_.Release();
    client_.StartWorkers(0, 0);
  }
}

// A releasing client waits for QueuedSubmits to reach 0 before it stops its
// links: it must count a submit from Submit until its worker has tried the
// write, not only while the item waits in the queue.
TEST_F(ClientSmg, QueuedSubmitsCountsEachSubmitUntilItsWriteWasTried) {
  ASSERT_EQ(client_.OpenLinks(Settings(0, 0, 3)), 1);
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  client_.onSubmitting = [open](CMPPConnection&, const CmppSubmit&) { open.wait(); };
  for (std::uint32_t i = 0; i < 3; ++i) {
    CmppSubmit s = MakeSubmit(i, "held");
    ASSERT_EQ(client_.Submit(s), 0);
  }
  EXPECT_EQ(client_.QueuedSubmits(), 3u);
  gate.set_value();
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.sent.size() == 3; }));
  EXPECT_TRUE(Eventually([&] { return client_.QueuedSubmits() == 0; }));
  client_.onSubmitting = nullptr;
}

// An MO flood while every worker is busy: once the pool holds
// kQueueHighWater items the link stops reading (its receive thread waits for
// room), so the queue and the memory it takes stay bounded and the rest
// stays with the SMG, unanswered; nothing is lost once the workers go on.
TEST_F(ClientSmg, FloodOfDeliversWaitsForRoomInThePoolInsteadOfQueueingWithoutBound) {
  ASSERT_EQ(client_.OpenLinks(Settings(0, 0, 1)), 1);
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  client_.onDeliver = [open](CMPPConnection&, const CmppDeliver&) { open.wait(); };
  constexpr long kMo = 6000;
  const std::size_t workers = client_.MinimumWorkers();
  ASSERT_EQ(smg_.Command("mo-load 100000 " + std::to_string(kMo)), "OK");
  ASSERT_TRUE(Eventually(
      [&] { return client_.WorkerPool().QueuedCount() >= CMPPClient::kQueueHighWater; }, 20s));
  std::size_t most = 0;
  for (int i = 0; i < 50; ++i) {
    most = std::max(most, client_.WorkerPool().QueuedCount());
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_LE(most, CMPPClient::kQueueHighWater + 1);
  // Answered: what is queued, what the blocked workers hold, and the one
  // DELIVER the waiting link read last.
  const long answered = smg_.Stats()["mo_acked"];
  EXPECT_LE(answered, static_cast<long>(CMPPClient::kQueueHighWater + workers + 1));
  EXPECT_LT(answered, kMo);

  gate.set_value();
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.delivers.size() == kMo; }, 60s))
      << client_.Locked([&] { return client_.delivers.size(); });
  EXPECT_TRUE(smg_.WaitStat("mo_acked", kMo, 10s));
  client_.onDeliver = nullptr;
}

// The pool and the client under traffic both ways; run under ThreadSanitizer
// too. Every submit is answered and every MO message reaches OnDeliver.
TEST_F(ClientSmg, SubmitsAndMoTrafficTogetherAreAllDelivered) {
  ASSERT_EQ(client_.OpenLinks(Settings(2, 1, 0)), 1);
  constexpr int kSubmits = 300, kMo = 200;
  ASSERT_EQ(smg_.Command("mo-load 2000 " + std::to_string(kMo)), "OK");
  for (int i = 0; i < kSubmits; ++i) {
    CmppSubmit s = MakeSubmit(static_cast<std::uint32_t>(i), "load");
    ASSERT_EQ(client_.Submit(s), 0);
  }
  ASSERT_TRUE(client_.WaitUntil(
      [&] { return client_.resps.size() == kSubmits && client_.delivers.size() == kMo; }, 30s))
      << client_.Locked([&] { return client_.resps.size(); }) << " responses, "
      << client_.Locked([&] { return client_.delivers.size(); }) << " MO messages";
  for (const LinkState& state : client_.LinkStates()) {
    if (state.connType == kConnMo) {
      EXPECT_EQ(state.counters.mtOk, 0u);
    }
  }
  client_.Release();
  EXPECT_EQ(client_.LinkCount(), 0u);
}

// The SMG reassembles a long message per link: every segment of a row is
// written on the one link its row was queued for, in order, however many
// rows are queued at once over several links.
TEST_F(ClientSmg, EverySegmentOfARowGoesOutOnOneLinkInOrder) {
  ASSERT_EQ(client_.OpenLinks(Settings(3, 0, 0)), 1);
  constexpr std::uint32_t kRows = 6;
  for (std::uint32_t id = 1; id <= kRows; ++id) {
    CmppSubmit s = MakeSubmit((1ull << 32) + id, std::string(400, char('a' + id)));
    ASSERT_EQ(client_.Submit(s), 0);
    EXPECT_EQ(s.Pk_total, 3);
  }
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.sent.size() == 3 * kRows; }));
  std::map<std::uint64_t, std::vector<SubmitEvent>> byRow;
  client_.Locked([&] {
    for (const auto& e : client_.sent) byRow[e.submit.recordId].push_back(e);
    return 0;
  });
  ASSERT_EQ(byRow.size(), kRows);
  std::set<std::string> links;
  for (const auto& [id, events] : byRow) {
    SCOPED_TRACE(id);
    EXPECT_GT(id, 0xFFFFFFFFull) << "the row id stays whole";
    ASSERT_EQ(events.size(), 3u);
    for (std::size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].token, events[0].token);
      EXPECT_EQ(events[i].submit.Pk_number, i + 1);
    }
    links.insert(events[0].token);
  }
  EXPECT_GT(links.size(), 1u) << "rows still rotate over the links";
}

// Once one segment of a row is not written, the rest of that row are not
// tried (on a new connection they would arrive without the earlier ones):
// each is reported failed with that code, so each gets an outcome.
TEST_F(ClientSmg, SegmentsAfterOneThatWasNotWrittenAreReportedFailedNotWritten) {
  ASSERT_EQ(client_.OpenLinks(Settings(1, 0, 0)), 1);
  client_.accept = false;
  CmppSubmit s = MakeSubmit(9, std::string(400, 'x'));
  ASSERT_EQ(client_.Submit(s), 0);
  ASSERT_TRUE(client_.WaitUntil([&] { return client_.failed.size() == 3; }));
  client_.Locked([&] {
    EXPECT_EQ(client_.submitting.size(), 1u) << "only the first segment was tried";
    EXPECT_TRUE(client_.sent.empty());
    // The declined first segment is reported too, then the two not tried.
    EXPECT_EQ(client_.failed[0].submit.Pk_number, 1);
    EXPECT_EQ(client_.failed[1].submit.Pk_number, 2);
    EXPECT_EQ(client_.failed[2].submit.Pk_number, 3);
    for (const auto& e : client_.failed) EXPECT_EQ(e.submit.lastError, kErrSubmitDeclined);
    return 0;
  });
  EXPECT_EQ(smg_.Stats()["submits"], 0);
  client_.accept = true;
}

}  // namespace
}  // namespace brivane::cmpp::test
