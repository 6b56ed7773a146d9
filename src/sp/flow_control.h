#pragma once
// What the SP does when the SMG says "too fast": a SUBMIT_RESP with Result 8
// (flow control) is not final, the segment is written again after a pause
// that grows with each try (FlowRetryQueue, FlowControlPause); and an
// optional cap on the submits each link writes per second (LinkRateCap), so
// that an SP matches its contract instead of being refused.
//
// Threads: LinkRateCap is called by the engine's workers, many at once, and
// guards its map with one mutex (memory work only). FlowRetryQueue owns one
// thread that resends what is due; Add and Size are called from any thread;
// Start and Stop from the client's control thread. mutex_ guards entries_,
// stop_ and resending_.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "cmpp/pdu.h"

namespace brivane::sp {

// The SUBMIT_RESP Result by which an SMG refuses a submit over the rate it
// allows.
inline constexpr std::uint32_t kFlowControlResult = 8;

struct FlowControlSettings {
  static constexpr int kDefaultTries = 3;
  static constexpr int kMaxTries = 20;
  static constexpr std::chrono::milliseconds kDefaultPause{1000};
  // The longest pause between two tries, whatever the first pause.
  static constexpr std::chrono::milliseconds kMaxPause{30000};

  // Writes of one segment at most, the first included; 1 = a refusal is
  // final.
  int tries = kDefaultTries;
  // The pause before the second write; it doubles before each further one.
  std::chrono::milliseconds firstPause = kDefaultPause;
  // Submits per second each link writes at most; 0 = no cap.
  std::uint32_t linkSubmitsPerSecond = 0;
};

// The pause before writing a segment again after its `writes`-th write was
// refused: firstPause, doubled for each write after the first, at most
// kMaxPause (and never below 1 ms).
std::chrono::milliseconds FlowControlPause(const FlowControlSettings& settings,
                                           std::uint32_t writes);

// Per-link submit slots: the n-th submit on a link may be written no
// earlier than 1/rate seconds after the (n-1)-th. A link that stayed idle
// does not save up slots for a burst.
class LinkRateCap {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LinkRateCap(std::uint32_t perSecond = 0) : perSecond_(perSecond) {}
  void SetRate(std::uint32_t perSecond);
  std::uint32_t Rate() const;
  // Reserves the link's next slot and gives its time (`now` when there is
  // no cap or the link is idle). The caller waits until then.
  Clock::time_point Reserve(const std::string& link, Clock::time_point now);
  // Forgets every link (their tokens change at the next start).
  void Clear();

 private:
  mutable base::Mutex mutex_;
  std::uint32_t perSecond_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, Clock::time_point> next_ GUARDED_BY(mutex_);
};

// Segments refused with Result 8 waiting for their next write.
class FlowRetryQueue {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::unique_ptr<cmpp::CmppSubmit> segment;
    std::string msgId;  // the Msg_Id of the refusing answer
    Clock::time_point due;
  };
  using Resend = std::function<void(Entry&)>;

  explicit FlowRetryQueue(Resend resend) : resend_(std::move(resend)) {}
  ~FlowRetryQueue();
  FlowRetryQueue(const FlowRetryQueue&) = delete;
  FlowRetryQueue& operator=(const FlowRetryQueue&) = delete;

  // Starts the thread that calls resend for each entry once it is due, in
  // the order of their times. Nothing while it runs.
  void Start();
  // False (and the entry left with the caller) when the queue is not
  // running.
  bool Add(Entry& entry);
  // Stops the thread (after a resend it is running) and gives the entries
  // not resent, so that the caller records them.
  std::vector<Entry> Stop();
  // Entries waiting plus the one being resent.
  std::size_t Size() const;

 private:
  void Run();

  Resend resend_;
  mutable base::Mutex mutex_;
  base::CondVar cv_;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
  bool running_ GUARDED_BY(mutex_) = false;
  bool stop_ GUARDED_BY(mutex_) = false;
  bool resending_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace brivane::sp
