#pragma once
// The long MO message store. A subscriber's long message reaches us as several
// DELIVERs, each with TP_udhi 1 and a concatenation header at the start of
// its content. CLongSMSLog keeps those parts until every part of a message is
// there, then hands one whole DELIVER to the MO handler; parts whose
// companions do not come within the expiry age are handed on one by one, as
// received. LongSMSMerger owns the thread that drives that expiry.
//
// The store knows nothing of the SP client: it calls the MoHandler given at
// construction, never while it holds its lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <stop_token>
#include <thread>

#include "cmpp/pdu.h"
#include "cmpp/sync.h"

namespace brivane::sp {

// Receives a merged message (TP_udhi 0, header-free text, partsCount the
// message's total) or an expired part (as received, header included, TP_udhi
// 1, partsCount the total its header declares).
using MoHandler = std::function<void(const cmpp::CmppDeliver& deliver, int partsCount)>;

// 32-bit milliseconds on the clock that stamps CmppDeliver::receiveTick.
using TickSource = std::function<std::uint32_t()>;

// True when the DELIVER is one part of a concatenated message: TP_udhi 1,
// Msg_Length above 6, and the content starts with 05 00 03 ref t n (8-bit
// reference) or 06 08 04 refHigh refLow t n (16-bit reference) with n <= t.
bool IsConcatenatedPart(const cmpp::CmppDeliver& deliver);

// One stored part.
struct LongSmsFragment {
  static constexpr std::size_t kTextSize = 160;

  std::uint32_t form;       // 0: 8-bit reference, 1: 16-bit reference
  std::uint32_t reference;  // 0..255, or refHigh * 256 + refLow
  std::uint32_t total;      // parts of the message
  std::uint32_t sequence;   // this part's number, from 1
  std::uint8_t text[kTextSize];
  // What the part declares: Msg_Length less its header (0 when shorter).
  std::uint32_t textLength;
  // What the DELIVER kept of that text (the link keeps 160 content bytes);
  // at most textLength, and the number of valid bytes in `text`.
  std::uint32_t keptLength;
  // The DELIVER as received; its receiveTick is the part's arrival time.
  cmpp::CmppDeliver deliver;
};

// Holds the parts of incomplete messages in arrival order. AddFragment runs
// on many worker threads at once, expire on the merger thread; lock_ (a
// re-entrant MyCriticalSection) guards fragments_ and is held only for list
// work: the handler always runs after it is released. Meant for a handful of
// incomplete messages: every part and every expiry pass scans the list.
// Destroying the store drops the parts still in it without handing them on.
class CLongSMSLog {
 public:
  static constexpr std::chrono::milliseconds kExpiryAge{300000};

  explicit CLongSMSLog(MoHandler handler, std::chrono::milliseconds expiryAge = kExpiryAge,
                       TickSource ticks = nullptr);  // nullptr: base::TickCount
  ~CLongSMSLog();
  CLongSMSLog(const CLongSMSLog&) = delete;
  CLongSMSLog& operator=(const CLongSMSLog&) = delete;

  // Fills `fragment` from a DELIVER whose content starts with 0x05 (8-bit
  // reference) or 0x06 (16-bit reference); false for anything else.
  static bool ParseFragment(const cmpp::CmppDeliver& deliver, LongSmsFragment& fragment);

  // Stores the part, or, when it completes its message, removes the
  // companions and hands the whole message on (outside the lock). False when
  // the DELIVER is not a part (nothing done). Exceptions of the handler
  // reach the caller; the store is consistent by then.
  bool AddFragment(const cmpp::CmppDeliver& deliver);

  // Completes the message of `fragment` when the store holds total - 1 parts
  // of it (same reference, same source number without regard to case) and
  // those parts with `fragment` have every sequence 1..total. Then removes
  // them, turns fragment.deliver into the whole message and answers true.
  // Otherwise changes nothing and answers false. Takes the store lock.
  bool Merge(LongSmsFragment& fragment);

  // Removes every stored part with this reference and source number (case
  // ignored); answers how many.
  std::size_t RemoveMessage(std::uint32_t reference, const char* source);

  // Takes out every part whose age is at least the expiry age and hands each
  // on as received, in arrival order, after releasing the lock. Once `stop`
  // is requested the parts not yet handed on are dropped with a log line.
  // Answers how many were handed on.
  std::size_t expire(std::stop_token stop = {});

  // Parts stored now.
  std::size_t Count() const;

 private:
  const MoHandler handler_;
  const std::uint32_t expiryMs_;
  const TickSource ticks_;
  mutable cmpp::MyCriticalSection lock_;
  std::list<LongSmsFragment> fragments_;  // guarded by lock_
};

// Owns the merger thread, which runs store->expire() once a period until
// stopped. The thread shares ownership of the store, so the store outlives
// the thread even when the owner lets go of it first. Created and stopped by
// the SP client's control thread.
class LongSMSMerger {
 public:
  static constexpr std::chrono::milliseconds kPeriod{1000};
  static constexpr std::chrono::milliseconds kStopWait{3000};

  // Starts the thread (throws std::system_error when it cannot).
  explicit LongSMSMerger(std::shared_ptr<CLongSMSLog> store,
                         std::chrono::milliseconds period = kPeriod);
  // Stop(kStopWait) when still running.
  ~LongSMSMerger();
  LongSMSMerger(const LongSMSMerger&) = delete;
  LongSMSMerger& operator=(const LongSMSMerger&) = delete;

  // Clears the running flag, wakes the thread and waits up to `wait` for it
  // to end; true when it ended and was joined. False when a handing-on was
  // still running: the thread is then detached with a log line, hands on
  // nothing more and ends by itself, keeping the store alive until then.
  // The handler call in progress is the handler owner's to survive.
  bool Stop(std::chrono::milliseconds wait = kStopWait);

  bool Running() const;

 private:
  struct State;
  static void Run(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace brivane::sp
