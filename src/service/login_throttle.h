#pragma once
// Failed logins to the administration pages, per client address: after a
// few free attempts each further failure makes the address wait a growing,
// bounded time before its next attempt is even looked at, and the failures
// are logged as one count per address and interval rather than a line
// each. Called from the listener's worker threads; one mutex guards the
// table. Knows nothing of HTTP: the caller says what happened and writes
// the lines it is handed.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/mutex.h"

namespace brivane::service {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    int freeFailures = 10;                      // failures before any wait (typos)
    std::chrono::milliseconds firstDelay{250};  // doubled by each failure after
    std::chrono::milliseconds maxDelay{30000};  // the longest wait
    std::chrono::seconds logInterval{60};       // one line per address and interval
    std::chrono::seconds forgetAfter{900};      // a quiet address starts afresh
    std::size_t maxAddresses = 4096;            // the table's bound
  };

  LoginThrottle() : LoginThrottle(Limits{}) {}
  explicit LoginThrottle(Limits limits) : limits_(limits) {}

  // How long the address must still wait; zero when it may try now.
  std::chrono::milliseconds RetryAfter(const std::string& address, Clock::time_point now);

  // A failed attempt: counted, the address's wait set.
  void Failed(const std::string& address, const std::string& user, Clock::time_point now);

  // A successful login forgets the address.
  void Succeeded(const std::string& address);

  // Log lines that are due: an address's first failure at once, then the
  // failures counted since its last line once an interval has passed.
  std::vector<std::string> DueLines(Clock::time_point now);

 private:
  struct Entry {
    int failures = 0;      // since the last success or forgetting
    int unlogged = 0;      // failures not yet in a line
    std::string lastUser;  // of the latest failure
    Clock::time_point lastFailure{};
    Clock::time_point lastLine{};
    bool logged = false;  // a line has been written for this address
    Clock::time_point allowedFrom{};
  };

  std::chrono::milliseconds DelayAfter(int failures) const;
  void Evict(Clock::time_point now) REQUIRES(mutex_);
  static std::string Line(const std::string& address, const Entry& entry);

  const Limits limits_;
  base::Mutex mutex_;
  std::map<std::string, Entry> table_ GUARDED_BY(mutex_);
};

}  // namespace brivane::service
