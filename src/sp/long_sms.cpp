#include "sp/long_sms.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>

#include "base/log.h"
#include "base/ticks.h"

namespace brivane::sp {

using cmpp::CmppDeliver;
using cmpp::MySyncGuard;

namespace {

constexpr std::size_t kSourceWidth = sizeof(CmppDeliver::Src_terminal_Id);
// The whole message keeps a terminating zero, as every record text does.
constexpr std::size_t kMergedRoom = cmpp::kContentAreaSize - 1;
// Sequence and total are single header bytes.
constexpr std::size_t kMaxParts = 256;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Source numbers compare without regard to (ASCII) letter case.
bool SameSource(const char* a, const char* b) {
  for (std::size_t i = 0; i < kSourceWidth; ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

bool SameMessage(const LongSmsFragment& stored, const LongSmsFragment& part) {
  return stored.reference == part.reference &&
         SameSource(stored.deliver.Src_terminal_Id, part.deliver.Src_terminal_Id);
}

// The source number for a log line: it came off the wire, so anything but
// printable ASCII is shown as '?'.
std::string LoggableSource(const char* source) {
  std::string out;
  for (std::size_t i = 0; i < kSourceWidth && source[i] != 0; ++i) {
    const char c = source[i];
    out += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return out;
}

}  // namespace

bool IsConcatenatedPart(const CmppDeliver& deliver) {
  if (deliver.TP_udhi != 1 || deliver.Msg_Length <= 6) return false;
  const std::uint8_t* c = deliver.Msg_Content;
  if (c[0] == 0x05 && c[1] == 0x00 && c[2] == 0x03) return c[5] <= c[4];
  if (c[0] == 0x06 && c[1] == 0x08 && c[2] == 0x04) return c[6] <= c[5];
  return false;
}

// ============================================================ CLongSMSLog

CLongSMSLog::CLongSMSLog(MoHandler handler, std::chrono::milliseconds expiryAge, TickSource ticks)
    : handler_(std::move(handler)),
      expiryMs_(static_cast<std::uint32_t>(expiryAge.count())),
      ticks_(ticks ? std::move(ticks) : TickSource(&base::TickCount)) {}

CLongSMSLog::~CLongSMSLog() {
  if (!fragments_.empty()) {
    base::LogF(3, "WARNING|CLongSMSLog: {} stored parts dropped;", fragments_.size());
  }
}

//   8-bit reference:  05 00 03 ref t n | text from byte 6
//   16-bit reference: 06 08 04 refHigh refLow t n | text from byte 7
bool CLongSMSLog::ParseFragment(const CmppDeliver& deliver, LongSmsFragment& fragment) {
  const std::uint8_t* c = deliver.Msg_Content;
  std::uint32_t header = 0;
  if (c[0] == 0x05) {
    fragment.form = 0;
    fragment.reference = c[3];
    fragment.total = c[4];
    fragment.sequence = c[5];
    header = 6;
  } else if (c[0] == 0x06) {
    fragment.form = 1;
    fragment.reference = std::uint32_t{c[3]} * 256 + c[4];
    fragment.total = c[5];
    fragment.sequence = c[6];
    header = 7;
  } else {
    return false;
  }
  // Msg_Length is what the SMG declared; only the first 160 content bytes
  // were kept, so the text held may be shorter than the text declared.
  const std::uint32_t kept =
      static_cast<std::uint32_t>(std::min<std::size_t>(deliver.Msg_Length, cmpp::kMoContentKept));
  fragment.textLength = deliver.Msg_Length > header ? deliver.Msg_Length - header : 0;
  fragment.keptLength = kept > header ? kept - header : 0;
  std::memset(fragment.text, 0, sizeof fragment.text);
  std::memcpy(fragment.text, c + header, fragment.keptLength);
  fragment.deliver = deliver;
  return true;
}

bool CLongSMSLog::AddFragment(const CmppDeliver& deliver) {
  // The part is parsed into a list node of its own, so storing it is a
  // splice: the 8 KB DELIVER is copied once, here.
  std::list<LongSmsFragment> incoming;
  LongSmsFragment& fragment = incoming.emplace_back();
  if (!ParseFragment(deliver, fragment)) return false;

  bool merged = false;
  {
    // Merge and append are one step, so two parts of a message arriving at
    // once on two workers cannot both be stored without a merge.
    MySyncGuard guard(lock_);
    merged = Merge(fragment);
    if (!merged) fragments_.splice(fragments_.end(), incoming);
  }
  if (merged) handler_(fragment.deliver, static_cast<int>(fragment.total));
  return true;
}

bool CLongSMSLog::Merge(LongSmsFragment& fragment) {
  MySyncGuard guard(lock_);
  try {
    if (fragment.total >= kMaxParts || fragment.sequence >= kMaxParts) return false;
    // The first stored part of each sequence, in arrival order; the new part
    // comes last.
    std::array<const LongSmsFragment*, kMaxParts> bySequence{};
    std::uint32_t stored = 0;
    for (const LongSmsFragment& part : fragments_) {
      if (!SameMessage(part, fragment)) continue;
      ++stored;
      if (part.sequence < kMaxParts && bySequence[part.sequence] == nullptr) {
        bySequence[part.sequence] = &part;
      }
    }
    if (stored + 1 != fragment.total) return false;
    if (bySequence[fragment.sequence] == nullptr) bySequence[fragment.sequence] = &fragment;

    // A sequence is missing when two parts share one: the message cannot be
    // built yet. Its parts stay stored and expire in their time.
    std::uint64_t declared = 0;
    std::uint64_t kept = 0;
    for (std::uint32_t s = 1; s <= fragment.total; ++s) {
      if (bySequence[s] == nullptr) return false;
      declared += bySequence[s]->textLength;
      kept += bySequence[s]->keptLength;
    }
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kept, kMergedRoom));
    if (length < declared) {
      base::LogF(2,
                 "ERROR|CLongSMSLog::Merge: text of reference {} from {} cut: {} bytes declared "
                 "by {} parts, {} merged;",
                 fragment.reference, LoggableSource(fragment.deliver.Src_terminal_Id), declared,
                 fragment.total, length);
    }

    // Every text lives in its fragment's own field, so the new part's DELIVER
    // can become the whole message: Msg_Id, numbers, LinkID and receive stamp
    // are those of the part that arrived last.
    CmppDeliver& whole = fragment.deliver;
    std::memset(whole.Msg_Content, 0, sizeof whole.Msg_Content);
    std::size_t at = 0;
    for (std::uint32_t s = 1; s <= fragment.total; ++s) {
      const std::size_t n = std::min<std::size_t>(bySequence[s]->keptLength, kMergedRoom - at);
      std::memcpy(whole.Msg_Content + at, bySequence[s]->text, n);
      at += n;
    }
    whole.TP_udhi = 0;
    whole.Msg_Length = static_cast<std::uint32_t>(at);
    RemoveMessage(fragment.reference, whole.Src_terminal_Id);
    return true;
  } catch (...) {
    base::LogWrite(1, "Exception occured in CLongSMS::Merge");
    return false;
  }
}

std::size_t CLongSMSLog::RemoveMessage(std::uint32_t reference, const char* source) {
  MySyncGuard guard(lock_);
  std::size_t removed = 0;
  for (auto it = fragments_.begin(); it != fragments_.end();) {
    if (it->reference == reference && SameSource(it->deliver.Src_terminal_Id, source)) {
      it = fragments_.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  return removed;
}

std::size_t CLongSMSLog::expire(std::stop_token stop) {
  // Expired parts leave the list under the lock and are handed on after it
  // is released: the handler stores and forwards them (database retries,
  // HTTP timeouts), and the workers bringing new parts must not wait for it.
  std::list<LongSmsFragment> expired;
  try {
    MySyncGuard guard(lock_);
    // Read under the lock, so no stored part was stamped after `now`; an age
    // in the upper half of the range would mean a stamp ahead of the clock,
    // which does not count as old.
    const std::uint32_t now = ticks_();
    for (auto it = fragments_.begin(); it != fragments_.end();) {
      const auto next = std::next(it);
      const std::uint32_t age = base::TicksSince(it->deliver.receiveTick, now);
      if (age >= expiryMs_ && age < 0x80000000u) expired.splice(expired.end(), fragments_, it);
      it = next;
    }
  } catch (...) {
    base::LogWrite(1, "Exception occured in CLongSMSLog::expire");
  }

  std::size_t handed = 0;
  std::size_t left = expired.size();
  for (const LongSmsFragment& part : expired) {
    if (stop.stop_requested()) {
      base::LogF(2, "ERROR|CLongSMSLog::expire: stopped, {} expired parts dropped;", left);
      break;
    }
    --left;
    try {
      handler_(part.deliver, static_cast<int>(part.total));
      ++handed;
    } catch (...) {
      base::LogWrite(1, "Exception occured in CLongSMSLog::expire");
    }
  }
  return handed;
}

std::size_t CLongSMSLog::Count() const {
  MySyncGuard guard(lock_);
  return fragments_.size();
}

// ========================================================== LongSMSMerger

// What the merger thread uses, shared with it: if the thread must be left
// running, the store and these fields live until it ends.
struct LongSMSMerger::State {
  std::shared_ptr<CLongSMSLog> store;
  std::chrono::milliseconds period;
  std::stop_source running;  // requested: end after the current pass
  std::stop_source abandon;  // requested: the owner stopped waiting, hand on nothing more
  std::mutex mutex;          // guards ended
  std::condition_variable_any wake;
  std::condition_variable_any endedChanged;
  bool ended = false;
};

LongSMSMerger::LongSMSMerger(std::shared_ptr<CLongSMSLog> store, std::chrono::milliseconds period)
    : state_(std::make_shared<State>()) {
  state_->store = std::move(store);
  state_->period = period;
  thread_ = std::thread([state = state_] { Run(state); });
}

LongSMSMerger::~LongSMSMerger() { Stop(kStopWait); }

void LongSMSMerger::Run(const std::shared_ptr<State>& state) {
  try {
    const std::stop_token running = state->running.get_token();
    const std::stop_token abandon = state->abandon.get_token();
    while (!running.stop_requested()) {
      state->store->expire(abandon);
      std::unique_lock lock(state->mutex);
      // Wakes early when Stop is called.
      state->wake.wait_for(lock, running, state->period, [] { return false; });
    }
  } catch (...) {
    base::LogWrite(1, "EXCEPTION|LongSMSMerger::Run;");
  }
  std::lock_guard lock(state->mutex);
  state->ended = true;
  state->endedChanged.notify_all();
}

bool LongSMSMerger::Stop(std::chrono::milliseconds wait) {
  if (!thread_.joinable()) return true;
  state_->running.request_stop();
  bool ended = false;
  {
    std::unique_lock lock(state_->mutex);
    ended = state_->endedChanged.wait_for(lock, wait, [this] { return state_->ended; });
  }
  if (ended) {
    thread_.join();
    return true;
  }
  state_->abandon.request_stop();
  thread_.detach();
  base::LogF(1,
             "ERROR|LongSMSMerger::Stop: merger thread still handing parts on after {} ms, left "
             "detached;",
             wait.count());
  return false;
}

bool LongSMSMerger::Running() const { return !state_->running.stop_requested(); }

}  // namespace brivane::sp
