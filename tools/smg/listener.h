#pragma once
// A TCP listener on 127.0.0.1 with its own accept thread. Each accepted socket
// (TCP_NODELAY set, close-on-exec) is handed to the callback, which owns it
// from then on. Stop wakes the thread through a pipe, joins it and closes the
// listening socket. Start and Stop are called from one thread (main).

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace brivane::smg {

class Listener {
 public:
  using AcceptFn = std::function<void(int fd, int port)>;

  Listener() = default;
  ~Listener() { Stop(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens; false with a reason in *error (port in use, ...).
  // Port 0 lets the kernel choose; Port() then says which it chose.
  bool Start(int port, AcceptFn onAccept, std::string* error);
  void Stop();
  // The bound port (0 before Start).
  int Port() const { return port_; }

 private:
  void Run();

  int port_ = 0;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  AcceptFn onAccept_;
  std::thread thread_;
};

}  // namespace brivane::smg
