#include "sp/long_sms.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/ticks.h"
#include "support/gate.h"
#include "support/process.h"

namespace brivane::sp {
namespace {

using namespace std::chrono_literals;
using cmpp::CmppDeliver;

// A part as the codec hands it over: Msg_Length as declared, at most 160
// content bytes kept, the rest zero. `declared` overrides Msg_Length.
CmppDeliver Part(std::uint32_t reference, std::uint8_t total, std::uint8_t sequence,
                 const std::string& text, const char* source = "13800138000", bool wide = false,
                 std::uint32_t tick = 0, int declared = -1) {
  CmppDeliver d{};
  std::vector<std::uint8_t> content;
  if (wide) {
    content = {0x06,  0x08,    0x04, std::uint8_t(reference >> 8), std::uint8_t(reference),
               total, sequence};
  } else {
    content = {0x05, 0x00, 0x03, std::uint8_t(reference), total, sequence};
  }
  content.insert(content.end(), text.begin(), text.end());
  d.Msg_Length = declared >= 0 ? std::uint32_t(declared) : std::uint32_t(content.size());
  std::memcpy(d.Msg_Content, content.data(), std::min<std::size_t>(content.size(), 160));
  d.TP_udhi = 1;
  d.Msg_Fmt = 15;
  d.Msg_Id[7] = sequence;
  std::strcpy(d.Src_terminal_Id, source);
  std::strcpy(d.Dest_Id, "10661234");
  d.receiveTick = tick;
  return d;
}

struct Handed {
  std::string source;
  std::string text;  // Msg_Length bytes of content
  int parts;
  int udhi;
  int lastMsgIdByte;
  bool zeroAfterText;
};

// Records what the store hands on; any thread may call it.
class Recorder {
 public:
  MoHandler Handler() {
    return [this](const CmppDeliver& d, int parts) {
      const std::size_t n = std::min<std::size_t>(d.Msg_Length, sizeof d.Msg_Content);
      const bool zero = std::all_of(d.Msg_Content + n, std::end(d.Msg_Content),
                                    [](std::uint8_t b) { return b == 0; });
      std::lock_guard lock(mutex_);
      handed_.push_back({d.Src_terminal_Id,
                         std::string(reinterpret_cast<const char*>(d.Msg_Content), n), parts,
                         d.TP_udhi, d.Msg_Id[7], zero});
    };
  }
  std::vector<Handed> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(handed_, {});
  }
  std::size_t Size() {
    std::lock_guard lock(mutex_);
    return handed_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Handed> handed_;
};

using test::Gate;

TEST(LongSms, RecognisesBothHeaderFormsWithUnsignedPartNumbers) {
  auto with = [](std::vector<std::uint8_t> content, std::uint8_t udhi = 1, int length = -1) {
    CmppDeliver d{};
    std::memcpy(d.Msg_Content, content.data(), content.size());
    d.Msg_Length = length >= 0 ? length : 10;
    d.TP_udhi = udhi;
    return IsConcatenatedPart(d);
  };
  EXPECT_TRUE(with({0x05, 0x00, 0x03, 0x2A, 3, 1}));
  EXPECT_TRUE(with({0x05, 0x00, 0x03, 0x2A, 3, 3}));
  EXPECT_TRUE(with({0x06, 0x08, 0x04, 0x01, 0x02, 2, 2}));
  EXPECT_TRUE(with({0x05, 0x00, 0x03, 0x2A, 0xF0, 0x05})) << "0xF0 is 240, not negative";
  EXPECT_TRUE(with({0x05, 0x00, 0x03, 0x2A, 3, 1}, 1, 7));
  EXPECT_FALSE(with({0x05, 0x00, 0x03, 0x2A, 2, 3})) << "part 3 of 2";
  EXPECT_FALSE(with({0x06, 0x08, 0x04, 0x01, 0x02, 2, 3})) << "part 3 of 2";
  EXPECT_FALSE(with({0x05, 0x00, 0x03, 0x2A, 0x05, 0xF0})) << "240 of 5";
  EXPECT_FALSE(with({0x05, 0x00, 0x03, 0x2A, 3, 1}, 0)) << "TP_udhi 0";
  EXPECT_FALSE(with({0x05, 0x00, 0x03, 0x2A, 3, 1}, 1, 6)) << "Msg_Length 6";
  EXPECT_FALSE(with({0x05, 0x01, 0x03, 0x2A, 3, 1}));
  EXPECT_FALSE(with({0x05, 0x00, 0x04, 0x2A, 3, 1}));
  EXPECT_FALSE(with({0x06, 0x08, 0x03, 0x01, 0x02, 2, 1}));
  EXPECT_FALSE(with({0x00, 0x03, 0x2A, 3, 1}));
}

TEST(LongSms, ParseFragmentReadsHeaderAndKeepsOnlyTheKeptText) {
  LongSmsFragment f{};
  ASSERT_TRUE(CLongSMSLog::ParseFragment(Part(0x2A, 3, 2, "hello"), f));
  EXPECT_EQ(f.form, 0u);
  EXPECT_EQ(f.reference, 0x2Au);
  EXPECT_EQ(f.total, 3u);
  EXPECT_EQ(f.sequence, 2u);
  EXPECT_EQ(f.textLength, 5u);
  EXPECT_EQ(f.keptLength, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.text), 5), "hello");
  EXPECT_EQ(f.deliver.Msg_Content[0], 0x05) << "the DELIVER is kept whole";

  ASSERT_TRUE(CLongSMSLog::ParseFragment(Part(0x0102, 0xF0, 0xE0, "x", "1", true), f));
  EXPECT_EQ(f.form, 1u);
  EXPECT_EQ(f.reference, 258u);
  EXPECT_EQ(f.total, 240u);
  EXPECT_EQ(f.sequence, 224u);
  EXPECT_EQ(f.textLength, 1u);
  EXPECT_EQ(f.text[0], 'x');

  // Declares 194 text bytes; the link kept 160 content bytes, 154 of text.
  ASSERT_TRUE(CLongSMSLog::ParseFragment(Part(1, 2, 1, std::string(194, 'a'), "1", false, 0), f));
  EXPECT_EQ(f.textLength, 194u);
  EXPECT_EQ(f.keptLength, 154u);
  ASSERT_TRUE(
      CLongSMSLog::ParseFragment(Part(1, 2, 1, std::string(194, 'a'), "1", true, 0, 255), f));
  EXPECT_EQ(f.textLength, 248u);
  EXPECT_EQ(f.keptLength, 153u);
  // Shorter than its own header: no text, no underflow.
  ASSERT_TRUE(CLongSMSLog::ParseFragment(Part(1, 2, 1, "", "1", false, 0, 3), f));
  EXPECT_EQ(f.textLength, 0u);
  EXPECT_EQ(f.keptLength, 0u);

  CmppDeliver plain{};
  plain.Msg_Length = 10;
  plain.Msg_Content[0] = 'h';
  EXPECT_FALSE(CLongSMSLog::ParseFragment(plain, f));
  CLongSMSLog store(nullptr);
  EXPECT_FALSE(store.AddFragment(plain));
  EXPECT_EQ(store.Count(), 0u);
}

TEST(LongSms, MergesOutOfOrderPartsOnceWithTextInSequenceOrder) {
  Recorder rec;
  CLongSMSLog store(rec.Handler());
  EXPECT_TRUE(store.AddFragment(Part(0x2A, 3, 2, "BBB")));
  EXPECT_TRUE(store.AddFragment(Part(0x2A, 3, 3, "CC")));
  EXPECT_EQ(rec.Size(), 0u);
  EXPECT_EQ(store.Count(), 2u);
  EXPECT_TRUE(store.AddFragment(Part(0x2A, 3, 1, "AAAA")));
  const auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, "AAAABBBCC");
  EXPECT_EQ(handed[0].parts, 3);
  EXPECT_EQ(handed[0].udhi, 0);
  EXPECT_EQ(handed[0].lastMsgIdByte, 1) << "the last part's DELIVER carries the message";
  EXPECT_TRUE(handed[0].zeroAfterText) << "no header or old text behind the merged text";
  EXPECT_EQ(store.Count(), 0u);

  // A one-part "message" merges at once, without its header.
  EXPECT_TRUE(store.AddFragment(Part(7, 1, 1, "solo")));
  ASSERT_EQ(rec.Take().at(0).text, "solo");
}

TEST(LongSms, MessagesAreKeyedByReferenceAndCaseInsensitiveSource) {
  Recorder rec;
  CLongSMSLog store(rec.Handler());
  // Same reference, two senders, interleaved.
  store.AddFragment(Part(0x2A, 2, 1, "a1", "13800000001"));
  store.AddFragment(Part(0x2A, 2, 1, "b1", "13800000002"));
  store.AddFragment(Part(0x2A, 2, 2, "b2", "13800000002"));
  store.AddFragment(Part(0x2A, 2, 2, "a2", "13800000001"));
  auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].source + handed[0].text, "13800000002b1b2");
  EXPECT_EQ(handed[1].source + handed[1].text, "13800000001a1a2");

  // Senders differing only in letter case are one sender.
  store.AddFragment(Part(9, 2, 1, "x", "abcDEF"));
  store.AddFragment(Part(9, 2, 2, "y", "ABCdef"));
  handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, "xy");

  // The 16-bit reference 0x0102 is 258: neither 1 nor 2, and merges with itself.
  store.AddFragment(Part(0x0102, 2, 1, "p", "1", true));
  store.AddFragment(Part(0x02, 2, 2, "q", "1"));
  store.AddFragment(Part(0x01, 2, 2, "r", "1"));
  EXPECT_EQ(rec.Size(), 0u);
  store.AddFragment(Part(0x0102, 2, 2, "s", "1", true));
  handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, "ps");
  EXPECT_EQ(store.Count(), 2u);
  EXPECT_EQ(store.RemoveMessage(2, "1"), 1u);
  EXPECT_EQ(store.Count(), 1u);
}

// An expired part goes on as its own text, without the concatenation
// header, so that its text decodes by Msg_Fmt from its first byte.
TEST(LongSms, ExpiredPartsGoOnOneByOneAsTheirTextAfterTheirOwnAge) {
  std::uint32_t now = 1000;
  Recorder rec;
  CLongSMSLog store(rec.Handler(), 300000ms, [&] { return now; });
  store.AddFragment(Part(0x2A, 3, 1, "one", "1", false, 1000));
  store.AddFragment(Part(0x2A, 3, 3, "three", "1", false, 101000));
  now = 1000 + 299999;
  EXPECT_EQ(store.expire(), 0u);
  now = 1000 + 300000;
  EXPECT_EQ(store.expire(), 1u);
  now = 101000 + 299999;
  EXPECT_EQ(store.expire(), 0u);
  now = 101000 + 300000;
  EXPECT_EQ(store.expire(), 1u);
  const auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].text, "one");
  EXPECT_EQ(handed[1].text, "three");
  for (const auto& h : handed) {
    EXPECT_EQ(h.udhi, 0);
    EXPECT_EQ(h.parts, 3);
    EXPECT_TRUE(h.zeroAfterText);
  }
  EXPECT_EQ(store.Count(), 0u);
}

TEST(LongSms, ExpiryAgeIsWrapSafeAndIgnoresStampsAheadOfTheClock) {
  std::uint32_t now = 0;
  Recorder rec;
  CLongSMSLog store(rec.Handler(), 300000ms, [&] { return now; });
  const std::uint32_t stamp = 0xFFFFFF00u;
  store.AddFragment(Part(1, 2, 1, "w", "1", false, stamp));
  for (std::uint32_t t : {stamp, 0x100u, stamp + 299999u}) {
    now = t;
    EXPECT_EQ(store.expire(), 0u) << t;
  }
  now = stamp + 300000u;  // 299744 after the wrap
  EXPECT_EQ(store.expire(), 1u);

  // A part stamped just after the clock was read is young, not 49 days old.
  now = 5000;
  store.AddFragment(Part(1, 2, 1, "w", "1", false, 5002));
  EXPECT_EQ(store.expire(), 0u);
  EXPECT_EQ(store.Count(), 1u);
}

// The SMG sends a part again when our answer to it was lost: the repeat is
// dropped and the message merges once, as soon as every part is there.
TEST(LongSms, RepeatedPartIsDroppedAndTheMessageMergesOnce) {
  std::uint32_t now = 0;
  Recorder rec;
  CLongSMSLog store(rec.Handler(), 300000ms, [&] { return now; });
  store.AddFragment(Part(5, 3, 1, "first"));
  store.AddFragment(Part(5, 3, 1, "again"));
  store.AddFragment(Part(5, 3, 3, "last"));
  EXPECT_EQ(rec.Size(), 0u);
  EXPECT_EQ(store.Count(), 2u) << "the repeat is not stored";
  store.AddFragment(Part(5, 3, 2, "mid"));
  auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, "firstmidlast") << "the part stored first is kept";
  EXPECT_EQ(store.Count(), 0u);
  store.AddFragment(Part(5, 3, 3, "late repeat"));
  EXPECT_EQ(store.Count(), 1u) << "a repeat after the merge starts a new message";
  now = 300000;
  EXPECT_EQ(store.expire(), 1u);
  EXPECT_EQ(rec.Take().at(0).text, "late repeat");
}

// A repeat usually comes after its message merged (the SMG waits for our
// lost answer first): a part with the same key, sequence and text within
// the expiry age is dropped; other text, or a later time, is a new message.
TEST(LongSms, RepeatAfterTheMergeIsDroppedOnlyWhenItIsTheSamePartInTime) {
  struct Case {
    const char* name;
    std::string text;
    std::uint32_t after;  // ms after the merge
    bool dropped;
  };
  const Case cases[] = {
      {"same part at once", "last", 0, true},
      {"same part just inside the age", "last", 299999, true},
      {"same part after the age", "last", 300000, false},
      {"other text: a new message", "new text", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t now = 1000;
    Recorder rec;
    CLongSMSLog store(rec.Handler(), 300000ms, [&] { return now; });
    store.AddFragment(Part(9, 2, 1, "first", "1", false, now));
    store.AddFragment(Part(9, 2, 2, "last", "1", false, now));
    ASSERT_EQ(rec.Take().size(), 1u);
    now += c.after;
    store.AddFragment(Part(9, 2, 2, c.text, "1", false, now));
    EXPECT_EQ(store.Count(), c.dropped ? 0u : 1u);
    // Once a new message started under the key, the old one is forgotten:
    // its part 1 again completes the new message instead of being dropped.
    if (!c.dropped) {
      store.AddFragment(Part(9, 2, 1, "first", "1", false, now));
      const auto handed = rec.Take();
      ASSERT_EQ(handed.size(), 1u);
      EXPECT_EQ(handed[0].text, "first" + c.text);
    }
  }
}

TEST(LongSms, CutsTextToWhatWasKeptAndToTheContentFieldAndSaysSo) {
  test::TempDir dir;
  ASSERT_TRUE(base::OpenLog(dir.File("brivane.log"), 2));
  Recorder rec;
  CLongSMSLog store(rec.Handler());

  // Part 1 declares 194 text bytes (Msg_Length 200), of which 154 were kept.
  std::string long1(154, 'a');
  long1 += std::string(40, 'z');
  store.AddFragment(Part(3, 2, 1, long1, "13900000000", false, 0, 200));
  store.AddFragment(Part(3, 2, 2, "tail", "13900000000"));
  auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, std::string(154, 'a') + "tail");

  // 60 parts of 154 kept bytes each: 9240 bytes, the field holds 8192.
  std::string expected;
  for (int s = 1; s <= 60; ++s) {
    const std::string text(154, char('A' + s % 26));
    expected += text;
    store.AddFragment(Part(4, 60, std::uint8_t(s), text, "13900000000"));
  }
  handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].parts, 60);
  EXPECT_EQ(handed[0].text, expected.substr(0, 8192));
  EXPECT_TRUE(handed[0].zeroAfterText) << "content stays zero-terminated";
  EXPECT_EQ(store.Count(), 0u);

  base::FlushLog();
  const std::string log = test::ReadFile(dir.File("brivane.log"));
  base::CloseLog();
  EXPECT_NE(log.find("ERROR|CLongSMSLog::Merge: text of reference 3 from 13900000000 cut: 198 "
                     "bytes declared by 2 parts, 158 merged;"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERROR|CLongSMSLog::Merge: text of reference 4 from 13900000000 cut: 9240 "
                     "bytes declared by 60 parts, 8192 merged;"),
            std::string::npos)
      << log;
}

TEST(LongSms, HandingOnExpiredPartsDoesNotHoldTheStore) {
  test::TempDir dir;
  ASSERT_TRUE(base::OpenLog(dir.File("brivane.log"), 2));
  std::uint32_t now = 0;
  Gate gate;
  std::atomic<int> calls{0};
  Recorder rec;
  auto record = rec.Handler();
  CLongSMSLog store(
      [&](const CmppDeliver& d, int parts) {
        if (++calls == 1) {
          gate.Wait();
          throw std::runtime_error("handler failed");
        }
        record(d, parts);
      },
      300000ms, [&] { return now; });
  store.AddFragment(Part(1, 2, 1, "x", "1"));
  store.AddFragment(Part(2, 2, 1, "y", "1"));
  now = 300000;
  auto expiring = std::async(std::launch::async, [&] { return store.expire(); });
  ASSERT_TRUE(test::WaitFor([&] { return calls == 1; }, 10s));

  // While the first expired part is being handed on, parts come and merge.
  auto adding = std::async(std::launch::async, [&] {
    store.AddFragment(Part(9, 2, 1, "m", "2"));
    store.AddFragment(Part(9, 2, 2, "n", "2"));
    return store.Count();
  });
  const bool added = adding.wait_for(10s) == std::future_status::ready;
  gate.Open();
  ASSERT_TRUE(added) << "AddFragment waited for the handing-on";
  EXPECT_EQ(adding.get(), 0u);
  // The throwing handler costs its own part only.
  EXPECT_EQ(expiring.get(), 1u);
  const auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].text, "mn");
  EXPECT_EQ(handed[1].text, "y");
  base::FlushLog();
  EXPECT_NE(
      test::ReadFile(dir.File("brivane.log")).find("Exception occured in CLongSMSLog::expire"),
      std::string::npos);
  base::CloseLog();
}

TEST(LongSms, MergerThreadExpiresPartsOnTheRealClock) {
  Recorder rec;
  std::mutex mutex;
  std::vector<std::uint32_t> ages;
  auto record = rec.Handler();
  auto store = std::make_shared<CLongSMSLog>(
      [&](const CmppDeliver& d, int parts) {
        {
          std::lock_guard lock(mutex);
          ages.push_back(base::TicksSince(d.receiveTick));
        }
        record(d, parts);
      },
      300ms);
  LongSMSMerger merger(store, 20ms);
  EXPECT_TRUE(merger.Running());
  const std::uint32_t t0 = base::TickCount();
  store->AddFragment(Part(0x2A, 3, 1, "one", "1", false, t0));
  ASSERT_TRUE(test::WaitFor([&] { return base::TicksSince(t0) >= 150; }, 10s, 5ms));
  store->AddFragment(Part(0x2A, 3, 3, "three", "1", false, base::TickCount()));
  ASSERT_TRUE(test::WaitFor([&] { return rec.Size() == 2; }, 10s));
  EXPECT_TRUE(merger.Stop());
  EXPECT_FALSE(merger.Running());
  const auto handed = rec.Take();
  EXPECT_EQ(handed[0].text, "one");
  EXPECT_EQ(handed[1].text, "three");
  std::lock_guard lock(mutex);
  for (std::uint32_t age : ages) EXPECT_GE(age, 300u);
}

// Stopping the merger leaves the parts in the store (the client hands them
// on at the service's stop, or keeps them across an in-place restart).
TEST(LongSms, StoppingTheMergerKeepsTheStoredPartsAndStopsPromptly) {
  Recorder rec;
  auto store = std::make_shared<CLongSMSLog>(rec.Handler(), 60s);
  std::weak_ptr<CLongSMSLog> watch = store;
  auto merger = std::make_unique<LongSMSMerger>(store, 60s);
  // Received now: a part stamped with tick 0 is as old as the machine's
  // uptime and the merger's first pass may expire it before the count.
  const std::uint32_t now = base::TickCount();
  for (std::uint8_t r = 0; r < 5; ++r) store->AddFragment(Part(r, 3, 1, "p", "1", false, now));
  EXPECT_EQ(store->Count(), 5u);
  // The thread sleeps a 60 s period; stopping wakes it.
  EXPECT_TRUE(merger->Stop());
  merger.reset();
  EXPECT_EQ(store->Count(), 5u);
  EXPECT_EQ(rec.Size(), 0u);
  EXPECT_EQ(store->HandOnAll(), 5u);
  EXPECT_EQ(rec.Size(), 5u);
  EXPECT_EQ(store->Count(), 0u);
  store.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(LongSms, MergerLeftRunningKeepsItsStoreAndHandsOnNothingMore) {
  test::TempDir dir;
  ASSERT_TRUE(base::OpenLog(dir.File("brivane.log"), 2));
  auto gate = std::make_shared<Gate>();
  auto calls = std::make_shared<std::atomic<int>>(0);
  std::atomic<std::uint32_t> now{0};
  auto store = std::make_shared<CLongSMSLog>(
      [gate, calls](const CmppDeliver&, int) {
        ++*calls;
        gate->Wait();
      },
      300000ms, [&now] { return now.load(); });
  std::weak_ptr<CLongSMSLog> watch = store;
  store->AddFragment(Part(1, 2, 1, "x", "1"));
  store->AddFragment(Part(2, 2, 1, "y", "1"));
  auto merger = std::make_unique<LongSMSMerger>(store, 10ms);
  now = 300000;
  ASSERT_TRUE(test::WaitFor([&] { return *calls == 1; }, 10s));

  EXPECT_FALSE(merger->Stop(100ms));
  merger.reset();
  store.reset();
  EXPECT_FALSE(watch.expired()) << "the running thread still holds the store";
  gate->Open();
  ASSERT_TRUE(test::WaitFor([&] { return watch.expired(); }, 10s));
  EXPECT_EQ(*calls, 1) << "the second expired part is not handed on once the owner stopped "
                          "waiting";
  base::FlushLog();
  const std::string log = test::ReadFile(dir.File("brivane.log"));
  base::CloseLog();
  EXPECT_NE(log.find("ERROR|LongSMSMerger::Stop: merger thread still handing parts on after 100 "
                     "ms, left detached;"),
            std::string::npos)
      << log;
  // Put back, not dropped; the store, going with the thread, says it is lost.
  EXPECT_NE(log.find("WARNING|CLongSMSLog::expire: stopped, 1 expired parts kept in the store;"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERROR|CLongSMSLog: 1 stored parts lost;"), std::string::npos) << log;
}

// Parts of many messages from several worker threads at once, with the
// merger sweeping all the while: each message is handed on exactly once,
// whole. Run under ThreadSanitizer too.
TEST(LongSms, ConcurrentPartsMergeEachMessageExactlyOnce) {
  constexpr int kThreads = 4;
  constexpr int kSenders = 25;
  constexpr int kReferences = 8;
  std::vector<std::vector<CmppDeliver>> perThread(kThreads);
  std::map<std::string, std::string> expected;  // lower-case sender + reference -> text
  std::mt19937 rng(12345);
  std::vector<CmppDeliver> all;
  for (int s = 0; s < kSenders; ++s) {
    for (int r = 0; r < kReferences; ++r) {
      const int total = 2 + (s + r) % 4;
      std::string text;
      for (int q = 1; q <= total; ++q) {
        const std::string piece = fmt::format("s{}r{}q{};", s, r, q);
        text += piece;
        // Sender numbers whose letters change case from part to part.
        const std::string source = fmt::format("{}{}", q % 2 ? "ab" : "AB", s);
        all.push_back(Part(std::uint32_t(r * 31), std::uint8_t(total), std::uint8_t(q), piece,
                           source.c_str(), r % 2 == 1, base::TickCount()));
      }
      expected[fmt::format("ab{}/{}", s, r * 31)] = text;
    }
  }
  std::shuffle(all.begin(), all.end(), rng);
  for (std::size_t i = 0; i < all.size(); ++i) perThread[i % kThreads].push_back(all[i]);

  std::mutex mutex;
  std::map<std::string, std::vector<std::string>> handed;
  auto store = std::make_shared<CLongSMSLog>(
      [&](const CmppDeliver& d, int parts) {
        std::string key = d.Src_terminal_Id;
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        // The reference is not in a merged message; the text names it.
        const std::string text(reinterpret_cast<const char*>(d.Msg_Content), d.Msg_Length);
        const auto r = text.find('r');
        key += fmt::format("/{}", 31 * std::stoi(text.substr(r + 1)));
        std::lock_guard lock(mutex);
        handed[key].push_back(fmt::format("{}#{}#{}", text, parts, d.TP_udhi));
      },
      600s);
  LongSMSMerger merger(store, 1ms);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (const CmppDeliver& d : perThread[t]) store->AddFragment(d);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_TRUE(merger.Stop());

  EXPECT_EQ(store->Count(), 0u);
  ASSERT_EQ(handed.size(), expected.size());
  for (const auto& [key, text] : expected) {
    const auto& got = handed[key];
    ASSERT_EQ(got.size(), 1u) << key;
    const int total = int(std::count(text.begin(), text.end(), ';'));
    EXPECT_EQ(got[0], fmt::format("{}#{}#0", text, total)) << key;
  }
}

// A message is its sender, its reference width, its reference and its
// total: parts that differ in any of them never merge with each other.
TEST(LongSms, MessageKeyIsSenderReferenceWidthReferenceAndTotal) {
  struct Case {
    const char* what;
    CmppDeliver first, second;
    bool merges;
    std::size_t storedAfter;
  };
  const Case cases[] = {
      {"same everything", Part(7, 2, 1, "a", "139"), Part(7, 2, 2, "b", "139"), true, 0},
      {"sender in another case", Part(7, 2, 1, "a", "ab1"), Part(7, 2, 2, "b", "AB1"), true, 0},
      {"8-bit and 16-bit reference 7", Part(7, 2, 1, "a", "139"), Part(7, 2, 2, "b", "139", true),
       false, 2},
      {"16-bit 0x0107 and 8-bit 7", Part(0x0107, 2, 1, "a", "139", true), Part(7, 2, 2, "b", "139"),
       false, 2},
      {"other total", Part(7, 2, 1, "a", "139"), Part(7, 3, 2, "b", "139"), false, 2},
      {"other sender", Part(7, 2, 1, "a", "139"), Part(7, 2, 2, "b", "138"), false, 2},
      {"same sequence twice", Part(7, 2, 1, "a", "139"), Part(7, 2, 1, "b", "139"), false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder rec;
    CLongSMSLog store(rec.Handler());
    store.AddFragment(c.first);
    store.AddFragment(c.second);
    const auto handed = rec.Take();
    if (c.merges) {
      ASSERT_EQ(handed.size(), 1u);
      EXPECT_EQ(handed[0].text, "ab");
    } else {
      EXPECT_TRUE(handed.empty());
    }
    EXPECT_EQ(store.Count(), c.storedAfter);
  }
}

// A full store hands its oldest part on alone, at once, and keeps the rest.
TEST(LongSms, FullStoreHandsTheOldestPartOnAlone) {
  Recorder rec;
  CLongSMSLog store(rec.Handler(), 300000ms, nullptr, 3);
  for (std::uint8_t r = 1; r <= 3; ++r)
    store.AddFragment(Part(r, 2, 1, std::string{'p', char('0' + r)}));
  EXPECT_EQ(rec.Size(), 0u);
  store.AddFragment(Part(4, 2, 1, "p4"));
  auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, "p1");
  EXPECT_EQ(handed[0].parts, 2);
  EXPECT_EQ(store.Count(), 3u);
  // A completing part merges without pushing anything out.
  store.AddFragment(Part(2, 2, 2, "q2"));
  handed = rec.Take();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].text, "p2q2");
  EXPECT_EQ(store.Count(), 2u);
  // A smaller capacity takes effect with the next part.
  store.SetCapacity(1);
  store.AddFragment(Part(5, 2, 1, "p5"));
  handed = rec.Take();
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].text, "p3");
  EXPECT_EQ(handed[1].text, "p4");
  EXPECT_EQ(store.HandOnAll(), 1u);
  EXPECT_EQ(rec.Take().at(0).text, "p5");
}

// A UCS-2 part behind a 7-byte header (16-bit reference) is handed on from
// its first character, not one byte off; a part that declared more than the
// 160 bytes kept carries only what was kept, with no zero bytes added.
TEST(LongSms, PartHandedOnAloneIsItsKeptTextAlignedAfterTheHeader) {
  std::uint32_t now = 0;
  Recorder rec;
  CLongSMSLog store(rec.Handler(), 1000ms, [&] { return now; });
  const std::string ucs2("\x4F\x60\x59\x7D", 4);  // two characters
  CmppDeliver wide = Part(0x1234, 3, 2, ucs2, "139", true);
  wide.Msg_Fmt = 8;
  store.AddFragment(wide);
  store.AddFragment(Part(9, 2, 1, std::string(194, 'z'), "139"));  // declares 194, keeps 154
  now = 1000;
  EXPECT_EQ(store.expire(), 2u);
  const auto handed = rec.Take();
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].text, ucs2);
  EXPECT_EQ(handed[0].parts, 3);
  EXPECT_EQ(handed[1].text, std::string(154, 'z'));
  EXPECT_TRUE(handed[1].zeroAfterText);
}

}  // namespace
}  // namespace brivane::sp
