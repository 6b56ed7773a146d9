#include "sp/long_sms.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "base/log.h"
#include "base/strings.h"
#include "base/ticks.h"

namespace brivane::sp {

using cmpp::CmppDeliver;
using cmpp::MySyncGuard;

namespace {

// What a merged message remembers of each part's kept text.
std::size_t TextHash(const std::vector<std::uint8_t>& text) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

constexpr std::size_t kSourceWidth = sizeof(CmppDeliver::Src_terminal_Id);
// The whole message keeps a terminating zero, as every record text does.
constexpr std::size_t kMergedRoom = cmpp::kContentAreaSize - 1;

// Source numbers compare without regard to (ASCII) letter case.
std::string SourceKey(const char* source) {
  std::string key;
  for (std::size_t i = 0; i < kSourceWidth && source[i] != 0; ++i)
    key += base::AsciiLower(source[i]);
  return key;
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

bool CLongSMSLog::MessageKey::operator<(const MessageKey& other) const {
  return std::tie(source, form, reference, total) <
         std::tie(other.source, other.form, other.reference, other.total);
}

CLongSMSLog::CLongSMSLog(MoHandler handler, std::chrono::milliseconds expiryAge, TickSource ticks,
                         std::size_t capacity)
    : handler_(std::move(handler)),
      expiryMs_(static_cast<std::uint32_t>(expiryAge.count())),
      ticks_(ticks ? std::move(ticks) : TickSource(&base::TickCount)),
      capacity_(std::max<std::size_t>(1, capacity)) {}

CLongSMSLog::~CLongSMSLog() {
  if (!byArrival_.empty()) {
    base::LogF(1, "ERROR|CLongSMSLog: {} stored parts lost;", byArrival_.size());
  }
}

//   8-bit reference:  05 00 03 ref t n | text from byte 6
//   16-bit reference: 06 08 04 refHigh refLow t n | text from byte 7
bool CLongSMSLog::ParseHeader(const CmppDeliver& deliver, std::uint32_t& form,
                              std::uint32_t& reference, std::uint32_t& total,
                              std::uint32_t& sequence, std::uint32_t& header) {
  const std::uint8_t* c = deliver.Msg_Content;
  if (c[0] == 0x05) {
    form = 0;
    reference = c[3];
    total = c[4];
    sequence = c[5];
    header = 6;
  } else if (c[0] == 0x06) {
    form = 1;
    reference = std::uint32_t{c[3]} * 256 + c[4];
    total = c[5];
    sequence = c[6];
    header = 7;
  } else {
    return false;
  }
  return true;
}

bool CLongSMSLog::ParseFragment(const CmppDeliver& deliver, LongSmsFragment& fragment) {
  std::uint32_t header = 0;
  if (!ParseHeader(deliver, fragment.form, fragment.reference, fragment.total, fragment.sequence,
                   header))
    return false;
  // Msg_Length is what the SMG declared; only the first 160 content bytes
  // were kept, so the text held may be shorter than the text declared.
  const std::uint32_t kept =
      static_cast<std::uint32_t>(std::min<std::size_t>(deliver.Msg_Length, cmpp::kMoContentKept));
  fragment.textLength = deliver.Msg_Length > header ? deliver.Msg_Length - header : 0;
  fragment.keptLength = kept > header ? kept - header : 0;
  std::memset(fragment.text, 0, sizeof fragment.text);
  std::memcpy(fragment.text, deliver.Msg_Content + header, fragment.keptLength);
  fragment.deliver = deliver;
  return true;
}

std::unique_ptr<CmppDeliver> CLongSMSLog::Alone(const StoredPart& part) {
  auto d = std::make_unique<CmppDeliver>();
  std::memset(d.get(), 0, sizeof *d);
  std::memcpy(d->Msg_Id, part.Msg_Id, sizeof d->Msg_Id);
  std::memcpy(d->Dest_Id, part.Dest_Id, sizeof d->Dest_Id);
  std::memcpy(d->Service_Id, part.Service_Id, sizeof d->Service_Id);
  d->TP_pid = part.TP_pid;
  d->TP_udhi = 0;
  d->Msg_Fmt = part.Msg_Fmt;
  std::memcpy(d->Src_terminal_Id, part.Src_terminal_Id, sizeof d->Src_terminal_Id);
  d->Src_terminal_type = part.Src_terminal_type;
  std::memcpy(d->LinkID, part.LinkID, sizeof d->LinkID);
  d->receiveTick = part.receiveTick;
  std::memcpy(d->receiveTime, part.receiveTime, sizeof d->receiveTime);
  // An empty text may have no buffer at all: copy nothing then.
  const std::size_t n = std::min(part.text.size(), kMergedRoom);
  if (n > 0) std::memcpy(d->Msg_Content, part.text.data(), n);
  d->Msg_Length = static_cast<std::uint32_t>(n);
  return d;
}

CLongSMSLog::StoredPart CLongSMSLog::TakeLocked(std::map<std::uint64_t, Slot>::iterator slot) {
  Messages::iterator message = slot->second.message;
  auto it = message->second.find(slot->second.sequence);
  StoredPart part = std::move(it->second);
  message->second.erase(it);
  if (message->second.empty()) messages_.erase(message);
  byArrival_.erase(slot);
  return part;
}

bool CLongSMSLog::PutBackLocked(StoredPart&& part) {
  auto [message, added] = messages_.try_emplace(
      MessageKey{SourceKey(part.Src_terminal_Id), part.form, part.reference, part.total});
  const std::uint32_t sequence = part.sequence;
  const std::uint64_t arrival = part.arrival;
  if (!message->second.emplace(sequence, std::move(part)).second) return false;
  byArrival_.emplace(arrival, Slot{message, sequence});
  return true;
}

void CLongSMSLog::HandOn(std::vector<StoredPart>& parts, const char* why) {
  for (const StoredPart& part : parts) {
    if (base::LogEnabled(3))
      base::LogF(3, "INFO|CLongSMSLog: part {}/{} from {} handed on alone ({});", part.sequence,
                 part.total, LoggableSource(part.Src_terminal_Id), why);
    handler_(*Alone(part), static_cast<int>(part.total));
  }
}

bool CLongSMSLog::PartOf(const CmppDeliver& deliver, StoredPart& part) {
  std::uint32_t header = 0;
  if (!ParseHeader(deliver, part.form, part.reference, part.total, part.sequence, header))
    return false;
  std::memcpy(part.Msg_Id, deliver.Msg_Id, sizeof part.Msg_Id);
  std::memcpy(part.Dest_Id, deliver.Dest_Id, sizeof part.Dest_Id);
  std::memcpy(part.Service_Id, deliver.Service_Id, sizeof part.Service_Id);
  part.TP_pid = deliver.TP_pid;
  part.Msg_Fmt = deliver.Msg_Fmt;
  std::memcpy(part.Src_terminal_Id, deliver.Src_terminal_Id, sizeof part.Src_terminal_Id);
  part.Src_terminal_type = deliver.Src_terminal_type;
  std::memcpy(part.LinkID, deliver.LinkID, sizeof part.LinkID);
  part.receiveTick = deliver.receiveTick;
  std::memcpy(part.receiveTime, deliver.receiveTime, sizeof part.receiveTime);
  // Only the first 160 content bytes were kept; the text held may be
  // shorter than the text declared.
  const std::size_t kept = std::min<std::size_t>(deliver.Msg_Length, cmpp::kMoContentKept);
  part.textLength = deliver.Msg_Length > header ? deliver.Msg_Length - header : 0;
  if (kept > header) part.text.assign(deliver.Msg_Content + header, deliver.Msg_Content + kept);
  return true;
}

bool CLongSMSLog::MergedAlreadyLocked(const MessageKey& key, std::uint32_t sequence,
                                      std::size_t textHash) {
  auto seen = recent_.find(key);
  if (seen == recent_.end()) return false;
  auto sent = seen->second.textHash.find(sequence);
  if (sent != seen->second.textHash.end() && sent->second == textHash) return true;
  recent_.erase(seen);  // other text: a new message under the same key
  return false;
}

std::unique_ptr<CmppDeliver> CLongSMSLog::MergeLocked(Messages::iterator message,
                                                      std::uint32_t lastSequence,
                                                      std::uint64_t& declared) {
  const MessageKey& key = message->first;
  const Message& parts = message->second;
  const std::uint32_t total = key.total;
  // Complete when every sequence 1..total is there (the map holds each
  // sequence once; a sequence 0 or above the total never completes).
  bool complete = total >= 1 && parts.size() >= total;
  for (std::uint32_t s = 1; complete && s <= total; ++s) complete = parts.count(s) != 0;
  if (!complete) return nullptr;

  // The part that arrived last carries the message: Msg_Id, numbers, LinkID
  // and receive stamp.
  std::unique_ptr<CmppDeliver> whole = Alone(parts.at(lastSequence));
  std::size_t at = 0;
  for (std::uint32_t s = 1; s <= total; ++s) {
    const StoredPart& p = parts.at(s);
    declared += p.textLength;
    const std::size_t n = std::min(p.text.size(), kMergedRoom - at);
    if (n > 0) std::memcpy(whole->Msg_Content + at, p.text.data(), n);
    at += n;
  }
  whole->Msg_Length = static_cast<std::uint32_t>(at);
  Recent merged{{}, ticks_(), nextGeneration_++};
  for (const auto& [s, p] : parts) merged.textHash.emplace(s, TextHash(p.text));
  recentOrder_.emplace_back(merged.generation, key);
  recent_.insert_or_assign(key, std::move(merged));
  for (const auto& [s, p] : parts) byArrival_.erase(p.arrival);
  messages_.erase(message);
  return whole;
}

CLongSMSLog::Added CLongSMSLog::StoreLocked(const MessageKey& key, StoredPart&& part,
                                            std::size_t textHash) {
  Added added;
  TrimRecentLocked(ticks_());
  const std::uint32_t sequence = part.sequence;
  if (MergedAlreadyLocked(key, sequence, textHash)) {
    added.duplicate = true;  // a repeat of a part of a message merged already
    return added;
  }
  auto message = messages_.find(key);
  if (message != messages_.end() && message->second.count(sequence) != 0) {
    added.duplicate = true;
    return added;
  }
  if (message == messages_.end()) message = messages_.try_emplace(key).first;
  part.arrival = nextArrival_++;
  byArrival_.emplace(part.arrival, Slot{message, sequence});
  message->second.emplace(sequence, std::move(part));
  added.whole = MergeLocked(message, sequence, added.declared);
  while (byArrival_.size() > capacity_) added.evicted.push_back(TakeLocked(byArrival_.begin()));
  return added;
}

bool CLongSMSLog::AddFragment(const CmppDeliver& deliver) {
  StoredPart part;
  if (!PartOf(deliver, part)) return false;
  const MessageKey key{SourceKey(deliver.Src_terminal_Id), part.form, part.reference, part.total};
  const std::uint32_t sequence = part.sequence;
  const std::size_t textHash = TextHash(part.text);  // outside the lock
  Added added;
  {
    MySyncGuard guard(lock_);
    added = StoreLocked(key, std::move(part), textHash);
  }

  if (added.duplicate) {
    base::LogF(3, "WARNING|CLongSMSLog: part {}/{} of reference {} from {} came again, dropped;",
               sequence, key.total, key.reference, LoggableSource(deliver.Src_terminal_Id));
    return true;
  }
  if (!added.evicted.empty()) {
    base::LogF(2, "WARNING|CLongSMSLog: store full ({} parts), {} oldest handed on alone;",
               Capacity(), added.evicted.size());
    HandOn(added.evicted, "store full");
  }
  if (added.whole) {
    if (added.whole->Msg_Length < added.declared) {
      base::LogF(2,
                 "ERROR|CLongSMSLog::Merge: text of reference {} from {} cut: {} bytes declared "
                 "by {} parts, {} merged;",
                 key.reference, LoggableSource(added.whole->Src_terminal_Id), added.declared,
                 key.total, added.whole->Msg_Length);
    }
    handler_(*added.whole, static_cast<int>(key.total));
  }
  return true;
}

void CLongSMSLog::TrimRecentLocked(std::uint32_t now) {
  while (recentFront_ < recentOrder_.size()) {
    const auto& [generation, key] = recentOrder_[recentFront_];
    auto it = recent_.find(key);
    const bool current = it != recent_.end() && it->second.generation == generation;
    if (current) {
      const std::uint32_t age = base::TicksSince(it->second.mergedTick, now);
      const bool old = age >= expiryMs_ && age < 0x80000000u;
      if (!old && recent_.size() <= kRecentMax) break;
      recent_.erase(it);
    }
    ++recentFront_;
  }
  // Compact the order list once its consumed front outweighs the rest.
  if (recentFront_ > 1024 && recentFront_ * 2 > recentOrder_.size()) {
    recentOrder_.erase(recentOrder_.begin(),
                       recentOrder_.begin() + static_cast<std::ptrdiff_t>(recentFront_));
    recentFront_ = 0;
  }
}

std::size_t CLongSMSLog::RemoveMessage(std::uint32_t reference, const char* source) {
  const std::string wanted = SourceKey(source);
  MySyncGuard guard(lock_);
  std::size_t removed = 0;
  for (auto it = messages_.begin(); it != messages_.end();) {
    if (it->first.reference == reference && it->first.source == wanted) {
      for (const auto& [s, p] : it->second) byArrival_.erase(p.arrival);
      removed += it->second.size();
      it = messages_.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

std::size_t CLongSMSLog::expire(std::stop_token stop) {
  // Expired parts leave the store under the lock and are handed on after it
  // is released: the handler stores and forwards them (database retries,
  // HTTP timeouts), and the workers bringing new parts must not wait for it.
  std::vector<StoredPart> expired;
  try {
    MySyncGuard guard(lock_);
    // Read under the lock, so no stored part was stamped after `now`; an age
    // in the upper half of the range would mean a stamp ahead of the clock,
    // which does not count as old.
    const std::uint32_t now = ticks_();
    for (auto it = byArrival_.begin(); it != byArrival_.end();) {
      const auto next = std::next(it);
      const StoredPart& part = it->second.message->second.at(it->second.sequence);
      const std::uint32_t age = base::TicksSince(part.receiveTick, now);
      if (age >= expiryMs_ && age < 0x80000000u) expired.push_back(TakeLocked(it));
      it = next;
    }
  } catch (...) {
    base::LogWrite(1, "Exception occured in CLongSMSLog::expire");
  }

  std::size_t handed = 0;
  for (std::size_t i = 0; i < expired.size(); ++i) {
    if (stop.stop_requested()) {
      // Not dropped: back into the store, for HandOnAll at the stop.
      MySyncGuard guard(lock_);
      for (std::size_t k = i; k < expired.size(); ++k) {
        PutBackLocked(std::move(expired[k]));
      }
      base::LogF(2, "WARNING|CLongSMSLog::expire: stopped, {} expired parts kept in the store;",
                 expired.size() - i);
      break;
    }
    try {
      std::vector<StoredPart> one;
      one.push_back(std::move(expired[i]));
      HandOn(one, "expired");
      ++handed;
    } catch (...) {
      base::LogWrite(1, "Exception occured in CLongSMSLog::expire");
    }
  }
  return handed;
}

std::size_t CLongSMSLog::HandOnAll() {
  std::vector<StoredPart> all;
  {
    MySyncGuard guard(lock_);
    while (!byArrival_.empty()) all.push_back(TakeLocked(byArrival_.begin()));
  }
  if (all.empty()) return 0;
  base::LogF(2, "WARNING|CLongSMSLog: stopping, {} stored parts handed on alone;", all.size());
  std::size_t handed = 0;
  for (StoredPart& part : all) {
    try {
      std::vector<StoredPart> one;
      one.push_back(std::move(part));
      HandOn(one, "stop");
      ++handed;
    } catch (...) {
      base::LogWrite(1, "Exception occured in CLongSMSLog::HandOnAll");
    }
  }
  return handed;
}

std::size_t CLongSMSLog::Count() const {
  MySyncGuard guard(lock_);
  return byArrival_.size();
}

void CLongSMSLog::SetCapacity(std::size_t parts) {
  MySyncGuard guard(lock_);
  capacity_ = std::max<std::size_t>(1, parts);
}

std::size_t CLongSMSLog::Capacity() const {
  MySyncGuard guard(lock_);
  return capacity_;
}

// ========================================================== LongSMSMerger

// What the merger thread uses, shared with it: if the thread must be left
// running, the store and these fields live until it ends.
struct LongSMSMerger::State {
  std::shared_ptr<CLongSMSLog> store;
  std::chrono::milliseconds period;
  std::stop_source running;  // requested: end after the current pass
  std::stop_source abandon;  // requested: the owner stopped waiting, hand on nothing more
  base::Mutex mutex;
  std::condition_variable_any wake;
  std::condition_variable_any endedChanged;
  bool ended GUARDED_BY(mutex) = false;
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
      base::UniqueLock lock(state->mutex);
      // Wakes early when Stop is called.
      state->wake.wait_for(lock, running, state->period, [] { return false; });
    }
  } catch (...) {
    base::LogWrite(1, "EXCEPTION|LongSMSMerger::Run;");
  }
  base::MutexLock lock(state->mutex);
  state->ended = true;
  state->endedChanged.notify_all();
}

bool LongSMSMerger::Stop(std::chrono::milliseconds wait) {
  if (!thread_.joinable()) return true;
  state_->running.request_stop();
  bool ended = false;
  {
    base::UniqueLock lock(state_->mutex);
    ended = state_->endedChanged.wait_for(
        lock, wait, [this]() REQUIRES(state_->mutex) { return state_->ended; });
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
