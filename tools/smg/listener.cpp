#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brivane::smg {

bool Listener::Start(int port, AcceptFn onAccept, std::string* error) {
  auto fail = [&](const char* what) {
    if (error)
      *error = std::string(what) + " port " + std::to_string(port) + ": " + strerror(errno);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  };
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return fail("socket");
  const int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("cannot bind");
  if (listen(fd_, 64) != 0) return fail("cannot listen on");
  socklen_t len = sizeof addr;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return fail("cannot read the address of");
  if (pipe2(wake_, O_CLOEXEC) != 0) return fail("pipe for");
  port_ = ntohs(addr.sin_port);
  onAccept_ = std::move(onAccept);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Listener::Stop() {
  if (thread_.joinable()) {
    const char byte = 1;
    while (write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int* fd : {&fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void Listener::Run() {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  while (true) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      // The peer gave up already, or descriptors ran out: then let some close.
      if (errno == EMFILE || errno == ENFILE) poll(nullptr, 0, 50);
      continue;
    }
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    onAccept_(client, port_);
  }
}

}  // namespace brivane::smg
