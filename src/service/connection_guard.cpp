#include "service/connection_guard.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "base/log.h"

namespace brivane::service {
namespace {

// The guard and slot of the worker thread running this code, if it is one.
thread_local ConnectionGuard* tGuard = nullptr;
thread_local void* tSlot = nullptr;

// "address" and "address:port" of the connection's peer; false when the
// descriptor is no longer a connected socket.
bool PeerOf(int fd, std::string* address, std::string* peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  char text[INET6_ADDRSTRLEN] = {};
  unsigned port = 0;
  if (ss.ss_family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  *address = text;
  *peer = *address + "|" + std::to_string(port);
  return true;
}

}  // namespace

// A fixed set of workers over one queue, each with its slot in the guard.
class ConnectionGuard::Pool : public httplib::TaskQueue {
 public:
  Pool(ConnectionGuard& guard, std::size_t workers) : guard_(guard) {
    for (std::size_t i = 0; i < workers; ++i) {
      Slot* slot;
      {
        base::MutexLock lock(guard_.mutex_);
        guard_.slots_.push_back(std::make_unique<Slot>());
        slot = guard_.slots_.back().get();
      }
      threads_.emplace_back([this, slot] { Work(*slot); });
    }
  }
  ~Pool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    {
      base::MutexLock lock(mutex_);
      jobs_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }

  void shutdown() override {
    {
      base::MutexLock lock(mutex_);
      if (down_) return;
      down_ = true;
    }
    cv_.notify_all();
    guard_.ShutDownPending();
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void Work(Slot& slot) {
    tGuard = &guard_;
    tSlot = &slot;
    for (;;) {
      std::function<void()> fn;
      {
        base::UniqueLock lock(mutex_);
        cv_.wait(lock, [&] { return down_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      {
        base::MutexLock lock(guard_.mutex_);
        slot.state = Slot::State::kStarted;
      }
      try {
        fn();
      } catch (...) {
        base::LogWrite(1, "EXCEPTION|admin connection;");
      }
      guard_.Finished(slot);
    }
  }

  ConnectionGuard& guard_;
  base::Mutex mutex_;  // guards jobs_ and down_
  base::CondVar cv_;
  std::deque<std::function<void()>> jobs_;
  bool down_ = false;
  std::vector<std::thread> threads_;
};

ConnectionGuard::ConnectionGuard(Limits limits) : limits_(limits) {
  watchdog_ = std::thread([this] { WatchLoop(); });
}

ConnectionGuard::~ConnectionGuard() {
  {
    base::MutexLock lock(mutex_);
    stop_ = true;
  }
  stopCv_.notify_all();
  watchdog_.join();
}

httplib::TaskQueue* ConnectionGuard::NewTaskQueue() { return new Pool(*this, limits_.workers); }

void ConnectionGuard::Watch(SSL_CTX* context) { SSL_CTX_set_info_callback(context, &OnInfo); }

void ConnectionGuard::OnInfo(const SSL* ssl, int where, int) {
  if ((where & SSL_CB_HANDSHAKE_START) == 0 || tGuard == nullptr) return;
  tGuard->HandshakeStarted(*static_cast<Slot*>(tSlot), SSL_get_fd(ssl));
}

void ConnectionGuard::RequestArrived() {
  if (tGuard) tGuard->Arrived(*static_cast<Slot*>(tSlot));
}

void ConnectionGuard::ResponseWritten() {
  if (tGuard) tGuard->Written(*static_cast<Slot*>(tSlot));
}

void ConnectionGuard::HandshakeStarted(Slot& slot, int fd) {
  std::string address;
  std::string peer;
  if (fd < 0 || !PeerOf(fd, &address, &peer)) return;
  base::MutexLock lock(mutex_);
  if (slot.state != Slot::State::kStarted) return;  // a renegotiation
  std::size_t pending = 0;
  std::size_t fromAddress = 0;
  for (const auto& s : slots_) {
    if (s->state != Slot::State::kPending) continue;
    ++pending;
    if (s->address == address) ++fromAddress;
  }
  if (pending >= limits_.maxPending || fromAddress >= limits_.maxPendingPerAddress) {
    // This thread owns the descriptor right now: the handshake's next read
    // sees the end of the stream and the library closes it.
    ::shutdown(fd, SHUT_RDWR);
    slot.state = Slot::State::kShutDown;
    ++refused_;
    lastRefusedAddress_ = address;
    return;
  }
  slot.state = Slot::State::kPending;
  slot.fd = fd;
  slot.address = std::move(address);
  slot.peer = std::move(peer);
  slot.deadline = std::chrono::steady_clock::now() + limits_.requestTimeout;
}

void ConnectionGuard::Arrived(Slot& slot) {
  base::MutexLock lock(mutex_);
  if (slot.state == Slot::State::kPending) slot.state = Slot::State::kServing;
}

void ConnectionGuard::Written(Slot& slot) {
  // A kept-alive connection waits for its next request under the same bound.
  base::MutexLock lock(mutex_);
  if (slot.state != Slot::State::kServing) return;
  slot.state = Slot::State::kPending;
  slot.deadline = std::chrono::steady_clock::now() + limits_.requestTimeout;
}

void ConnectionGuard::Finished(Slot& slot) {
  base::MutexLock lock(mutex_);
  slot = Slot{};
}

void ConnectionGuard::ShutDownPending() {
  base::MutexLock lock(mutex_);
  for (auto& s : slots_) {
    if (s->state != Slot::State::kPending) continue;
    std::string address;
    std::string peer;
    if (PeerOf(s->fd, &address, &peer) && peer == s->peer) ::shutdown(s->fd, SHUT_RDWR);
    s->state = Slot::State::kShutDown;
  }
}

std::size_t ConnectionGuard::Refused() const {
  base::MutexLock lock(mutex_);
  return refused_;
}

std::size_t ConnectionGuard::PendingForTest() const {
  base::MutexLock lock(mutex_);
  return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](const auto& s) {
    return s->state == Slot::State::kPending;
  }));
}

std::size_t ConnectionGuard::TimedOut() const {
  base::MutexLock lock(mutex_);
  return timedOut_;
}

void ConnectionGuard::WatchLoop() {
  auto lastLine = std::chrono::steady_clock::now() - limits_.logInterval;
  base::UniqueLock lock(mutex_);
  while (!stop_) {
    stopCv_.wait_for(lock, limits_.watchInterval);
    const auto now = std::chrono::steady_clock::now();
    for (auto& s : slots_) {
      if (s->state != Slot::State::kPending || now < s->deadline) continue;
      // The worker may have closed the descriptor a moment ago and the
      // number been reused: shut it down only while it is still the same
      // peer's connection.
      std::string address;
      std::string peer;
      if (PeerOf(s->fd, &address, &peer) && peer == s->peer) ::shutdown(s->fd, SHUT_RDWR);
      s->state = Slot::State::kShutDown;
      ++timedOut_;
    }
    if (now - lastLine >= limits_.logInterval &&
        (refused_ != refusedLogged_ || timedOut_ != timedOutLogged_)) {
      const std::size_t refused = refused_ - refusedLogged_;
      const std::size_t timedOut = timedOut_ - timedOutLogged_;
      const std::string last = lastRefusedAddress_;
      refusedLogged_ = refused_;
      timedOutLogged_ = timedOut_;
      lastLine = now;
      lock.unlock();
      base::LogF(2, "信息：管理页面连接：超限拒绝 {} 个（最近来自 {}），请求超时断开 {} 个",
                 refused, last.empty() ? "-" : last, timedOut);
      lock.lock();
    }
  }
}

}  // namespace brivane::service
