#pragma once
// Keeps the administration pages answering while clients misbehave. It is
// the listener's worker pool (an httplib task queue of its own threads) and
// bounds, for every connection, the time from the start of its TLS
// handshake to the end of its request, and the number of connections that
// are still handshaking or sending a request: per client address and in
// all. The total bound stays below the number of workers, so some are
// always free to serve a request that has arrived, whatever the others do.
//
// The library gives no hook at accept time, so a connection becomes known
// to the guard when OpenSSL starts its handshake (an info callback on the
// server's TLS context, running on the worker thread itself); the pages
// mark the request as arrived and the response as written from that same
// thread. A connection over a bound is shut down at once; one past its
// deadline is shut down by the guard's watchdog thread, which makes the
// worker's blocked read end. Descriptors are only shut down, never closed:
// the library still owns them.
//
// Threads: the workers and the watchdog; mutex_ guards slots_ and the
// counters. The watchdog and the workers are joined by the destructor and
// by shutdown().

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace httplib {
class TaskQueue;
}

namespace brivane::service {

class ConnectionGuard {
 public:
  struct Limits {
    std::size_t workers = 32;
    std::size_t maxPending = 24;                      // handshaking or sending, in all
    std::size_t maxPendingPerAddress = 8;             // the same, per client address
    std::chrono::milliseconds requestTimeout{10000};  // handshake + request
    std::chrono::milliseconds watchInterval{100};
    std::chrono::seconds logInterval{60};
  };

  ConnectionGuard() : ConnectionGuard(Limits{}) {}
  explicit ConnectionGuard(Limits limits);
  ~ConnectionGuard();
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // A task queue for the server's new_task_queue; the server owns and
  // shuts it down, the guard must outlive it.
  httplib::TaskQueue* NewTaskQueue();

  // Installs the handshake hook on the server's TLS context.
  void Watch(SSL_CTX* context);

  // Called from the page handlers on the worker that serves the request.
  static void RequestArrived();
  static void ResponseWritten();

  // Connections shut down so far, for tests and the log.
  std::size_t Refused() const;
  std::size_t TimedOut() const;
  // Connections handshaking or sending a request right now.
  std::size_t PendingForTest() const;

 private:
  class Pool;
  struct Slot {
    enum class State { kIdle, kStarted, kPending, kServing, kShutDown };
    State state = State::kIdle;
    int fd = -1;
    std::string address;  // client address without port
    std::string peer;     // address and port, to recognise the descriptor
    std::chrono::steady_clock::time_point deadline{};
  };

  static void OnInfo(const SSL* ssl, int where, int ret);
  void HandshakeStarted(Slot& slot, int fd);
  void Arrived(Slot& slot);
  void Written(Slot& slot);
  void Finished(Slot& slot);
  // At a stop: ends every connection still handshaking or sending, so that
  // the workers can be joined at once.
  void ShutDownPending();
  void WatchLoop();

  const Limits limits_;
  mutable base::Mutex mutex_;
  // One per worker of every pool.
  std::vector<std::unique_ptr<Slot>> slots_ GUARDED_BY(mutex_);
  std::size_t refused_ GUARDED_BY(mutex_) = 0;
  std::size_t timedOut_ GUARDED_BY(mutex_) = 0;
  std::size_t refusedLogged_ GUARDED_BY(mutex_) = 0;
  std::size_t timedOutLogged_ GUARDED_BY(mutex_) = 0;
  std::string lastRefusedAddress_ GUARDED_BY(mutex_);
  bool stop_ GUARDED_BY(mutex_) = false;
  base::CondVar stopCv_;
  std::thread watchdog_;
};

}  // namespace brivane::service
