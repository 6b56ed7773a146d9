#pragma once
// The long MO message store. A subscriber's long message reaches us as several
// DELIVERs, each with TP_udhi 1 and a concatenation header at the start of
// its content. CLongSMSLog keeps those parts until every part of a message is
// there, then hands one whole DELIVER to the MO handler. A part handed on
// alone (its companions did not come within the expiry age, the store was
// full, or the service stops) goes as its own text without the header.
// LongSMSMerger owns the thread that drives the expiry.
//
// The store knows nothing of the SP client: it calls the MoHandler given at
// construction, never while it holds its lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "cmpp/pdu.h"
#include "cmpp/sync.h"

namespace brivane::sp {

// Receives a merged message (TP_udhi 0, header-free text, partsCount the
// message's total) or a part handed on alone (TP_udhi 0, its own text after
// the header as Msg_Length bytes, the rest zero, partsCount the total its
// header declares, so that the application can tell it from a message).
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

// Holds the parts of incomplete messages. A message is known by its sender
// (letter case ignored), the width of its reference, the reference and the
// total; its parts are indexed by sequence number, so a new part finds its
// companions without a scan, and a repeated part (the SMG sends a part again
// when our answer was lost) is dropped, also when it comes after its message
// merged: the parts of a merged message are remembered (a hash of each
// part's text) for the expiry age, and a part with the same key, sequence
// and text is a repeat. A part with the same key and other text starts a new
// message. A stored part keeps only what
// handing it on needs: the DELIVER's fields without the 8 KB content area,
// and its own text. At most Capacity() parts are held: beyond that the
// oldest is handed on alone at once.
//
// AddFragment runs on many worker threads at once, expire on the merger
// thread, HandOnAll on the control thread at stop; lock_ (not re-entrant)
// guards every member below it and is held only for memory work: the
// handler always runs after it is released.
class CLongSMSLog {
 public:
  static constexpr std::chrono::milliseconds kExpiryAge{300000};
  static constexpr std::size_t kDefaultCapacity = 10000;

  explicit CLongSMSLog(MoHandler handler, std::chrono::milliseconds expiryAge = kExpiryAge,
                       TickSource ticks = nullptr,  // nullptr: base::TickCount
                       std::size_t capacity = kDefaultCapacity);
  // Parts still stored are lost with the store: they are logged (level 1).
  ~CLongSMSLog();
  CLongSMSLog(const CLongSMSLog&) = delete;
  CLongSMSLog& operator=(const CLongSMSLog&) = delete;

  // Fills `fragment` from a DELIVER whose content starts with 0x05 (8-bit
  // reference) or 0x06 (16-bit reference); false for anything else.
  static bool ParseFragment(const cmpp::CmppDeliver& deliver, LongSmsFragment& fragment);

  // Stores the part; when it completes its message, removes the companions
  // and hands the whole message on; a repeated part is dropped with a
  // level-3 line; a part beyond the capacity hands the oldest on alone with
  // a level-2 line. Handing on happens outside the lock. False when the
  // DELIVER is not a part (nothing done). Exceptions of the handler reach
  // the caller; the store is consistent by then.
  bool AddFragment(const cmpp::CmppDeliver& deliver);

  // Removes every stored part with this reference and source number (case
  // ignored, either reference width); answers how many.
  std::size_t RemoveMessage(std::uint32_t reference, const char* source);

  // Takes out every part whose age is at least the expiry age and hands each
  // on alone, in arrival order, after releasing the lock. Once `stop` is
  // requested the parts not yet handed on are put back, to be handed on by a
  // later expire or by HandOnAll. Answers how many were handed on.
  std::size_t expire(std::stop_token stop = {});

  // Hands every stored part on alone, in arrival order (the service stops:
  // the SMG was told we had them). Answers how many.
  std::size_t HandOnAll();

  // Parts stored now.
  std::size_t Count() const;
  // The most parts held; a smaller value takes effect with the next part.
  void SetCapacity(std::size_t parts);
  std::size_t Capacity() const;

 private:
  struct MessageKey {
    std::string source;  // letters in lower case, up to the first zero
    std::uint32_t form;
    std::uint32_t reference;
    std::uint32_t total;
    bool operator<(const MessageKey& other) const;
  };
  // A part as stored: the DELIVER without its content area, and its text.
  struct StoredPart {
    std::uint8_t Msg_Id[8];
    char Dest_Id[22];
    char Service_Id[11];
    std::uint8_t TP_pid;
    std::uint8_t Msg_Fmt;
    char Src_terminal_Id[33];
    std::uint8_t Src_terminal_type;
    char LinkID[21];
    std::uint32_t receiveTick;
    char receiveTime[20];
    std::uint32_t form;
    std::uint32_t reference;
    std::uint32_t sequence;
    std::uint32_t total;
    std::uint32_t textLength;        // declared by Msg_Length
    std::vector<std::uint8_t> text;  // what was kept of it
    std::uint64_t arrival;           // the store's arrival counter
  };
  using Message = std::map<std::uint32_t, StoredPart>;  // by sequence
  using Messages = std::map<MessageKey, Message>;
  struct Slot {
    Messages::iterator message;
    std::uint32_t sequence;
  };

  static bool ParseHeader(const cmpp::CmppDeliver& deliver, std::uint32_t& form,
                          std::uint32_t& reference, std::uint32_t& total, std::uint32_t& sequence,
                          std::uint32_t& header);
  static std::unique_ptr<cmpp::CmppDeliver> Alone(const StoredPart& part);
  // The numbers, fields and kept text of a part; false when its content has
  // no concatenation header.
  static bool PartOf(const cmpp::CmppDeliver& deliver, StoredPart& part);
  // What storing one part led to, acted on once the lock is let go.
  struct Added {
    bool duplicate = false;
    std::unique_ptr<cmpp::CmppDeliver> whole;  // the merged message, when complete
    std::uint64_t declared = 0;                // text bytes its parts declared
    std::vector<StoredPart> evicted;           // oldest parts beyond the capacity
  };
  // Caller holds lock_. Stores the part unless it repeats one held or merged
  // already, merges its message when complete, and evicts beyond capacity.
  Added StoreLocked(const MessageKey& key, StoredPart&& part, std::size_t textHash) REQUIRES(lock_);
  // Caller holds lock_. True when this part, same text, belongs to a message
  // merged within the expiry age; a different text forgets that merge.
  bool MergedAlreadyLocked(const MessageKey& key, std::uint32_t sequence, std::size_t textHash)
      REQUIRES(lock_);
  // Caller holds lock_. When every part of the message is held: the merged
  // message, remembered in recent_ and taken out of the store; else null.
  std::unique_ptr<cmpp::CmppDeliver> MergeLocked(Messages::iterator message,
                                                 std::uint32_t lastSequence,
                                                 std::uint64_t& declared) REQUIRES(lock_);
  // Caller holds lock_. Takes one part out of both indexes.
  StoredPart TakeLocked(std::map<std::uint64_t, Slot>::iterator slot) REQUIRES(lock_);
  // Caller holds lock_. Stores a part taken out earlier back under its
  // arrival number; false when its sequence is held again meanwhile.
  bool PutBackLocked(StoredPart&& part) REQUIRES(lock_);
  void HandOn(std::vector<StoredPart>& parts, const char* why);

  const MoHandler handler_;
  const std::uint32_t expiryMs_;
  const TickSource ticks_;
  mutable cmpp::MyMutex lock_;
  Messages messages_ GUARDED_BY(lock_);
  std::map<std::uint64_t, Slot> byArrival_ GUARDED_BY(lock_);
  std::uint64_t nextArrival_ GUARDED_BY(lock_) = 0;
  std::size_t capacity_ GUARDED_BY(lock_);

  // Messages merged within the expiry age: the hash of each part's text by
  // sequence, when, and a generation that tells the current entry of a key
  // from an older one in recentOrder_ (oldest first). At most kRecentMax.
  static constexpr std::size_t kRecentMax = 10000;
  struct Recent {
    std::map<std::uint32_t, std::size_t> textHash;
    std::uint32_t mergedTick;
    std::uint64_t generation;
  };
  std::map<MessageKey, Recent> recent_ GUARDED_BY(lock_);
  std::vector<std::pair<std::uint64_t, MessageKey>> recentOrder_ GUARDED_BY(lock_);
  std::size_t recentFront_ GUARDED_BY(lock_) = 0;
  std::uint64_t nextGeneration_ GUARDED_BY(lock_) = 0;
  // Caller holds lock_. Drops the remembered merges older than the expiry
  // age or beyond kRecentMax.
  void TrimRecentLocked(std::uint32_t now) REQUIRES(lock_);
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
