#pragma once
// A loopback port whose connects are never answered, as when a firewall
// drops them: a listener with backlog 0 whose one-place accept queue is kept
// full, so the kernel drops every further SYN and the connecting side waits
// (retrying its SYN) until its own timeout. Needs no root. Header-only.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace brivane::test {

class UnansweredPort {
 public:
  // On `port` (a peer's port that just closed, say), or on a free one.
  explicit UnansweredPort(std::uint16_t port = 0) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    // Connect until one connect stays unanswered: the queue is full then.
    for (int i = 0; i < 8; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers_.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
      if (errno != EINPROGRESS) return;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 300) == 0) {
        port_ = ntohs(a.sin_port);
        return;
      }
    }
  }
  ~UnansweredPort() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;

  // 0 when the port could not be made unanswering.
  std::uint16_t Port() const { return port_; }
  // The local ports of its own connects (one of them waits unanswered).
  std::vector<std::uint16_t> FillerPorts() const {
    std::vector<std::uint16_t> ports;
    for (int fd : fillers_) {
      sockaddr_in a{};
      socklen_t len = sizeof a;
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        ports.push_back(ntohs(a.sin_port));
    }
    return ports;
  }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  std::uint16_t port_ = 0;
};

}  // namespace brivane::test
