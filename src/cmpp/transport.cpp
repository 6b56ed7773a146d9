#include "cmpp/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <string>

namespace brivane::cmpp {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until `socket` is ready for `events` or the timeout passes. poll(),
// unlike select() on an fd_set, has no limit on the descriptor number.
// A signal does not lengthen the wait: it resumes with the time that is left.
int WaitReady(SocketHandle socket, short events, std::int32_t timeoutSeconds) {
  const long long totalMs =
      timeoutSeconds <= 0 ? 0 : std::min<long long>(timeoutSeconds * 1000LL, INT_MAX);
  const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{socket, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return kTimeout;
    if (p.revents & POLLNVAL) return EBADF;
    // Ready, or POLLERR / POLLHUP: the following send or recv reports which.
    return kOk;
  }
}

int ConnectNonBlocking(SocketHandle socket, const sockaddr_in& address,
                       std::int32_t timeoutSeconds) {
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return kOk;
  }
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  // A Shutdown from another thread wakes this wait (the kernel drops the
  // connect), so a stop need not wait it out.
  if (int code = WaitReady(socket, POLLOUT, timeoutSeconds); code != kOk) return code;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  if (error != 0) return error;
  // Ready without an error can also mean "shut down before it connected".
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return errno == ENOTCONN ? ECONNABORTED : errno;
  }
  return kOk;
}

bool Retryable(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

int TCPSocket::Create(SocketHandle& socket) {
  socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    const int error = errno;
    socket = kNoSocket;
    return error;
  }
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return kOk;
}

int TCPSocket::Connect(SocketHandle socket, std::string_view host, std::uint16_t port,
                       std::int32_t timeoutSeconds) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const std::string text(host);
  if (::inet_aton(text.c_str(), &address.sin_addr) == 0) return EINVAL;
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) return errno;
  if (::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  const int code = ConnectNonBlocking(socket, address, timeoutSeconds);
  // The caller's blocking mode comes back whatever the outcome.
  ::fcntl(socket, F_SETFL, flags);
  return code;
}

int TCPSocket::Send(SocketHandle socket, std::span<const std::uint8_t> data,
                    std::int32_t timeoutSeconds) {
  if (data.empty()) return kOk;
  if (socket < 0) return EBADF;
  std::size_t done = 0;
  while (done < data.size()) {
    // MSG_DONTWAIT: write what fits now, so a peer that stops reading cannot
    // hold this call beyond the next bounded wait. A socket with room in its
    // buffer (the usual case) is written without a wait first.
    const ssize_t n =
        ::send(socket, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return kPeerClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    if (int code = WaitReady(socket, POLLOUT, timeoutSeconds); code != kOk) return code;
  }
  return kOk;
}

int TCPSocket::Recv(SocketHandle socket, std::span<std::uint8_t> buffer,
                    std::int32_t timeoutSeconds) {
  if (buffer.empty()) return kOk;
  if (socket < 0) return EBADF;
  std::size_t done = 0;
  while (done < buffer.size()) {
    if (int code = WaitReady(socket, POLLIN, timeoutSeconds); code != kOk) return code;
    const ssize_t n = ::recv(socket, buffer.data() + done, buffer.size() - done, MSG_DONTWAIT);
    if (n < 0) {
      if (Retryable(errno)) continue;
      return errno;
    }
    if (n == 0) return kPeerClosed;
    done += static_cast<std::size_t>(n);
  }
  return kOk;
}

int TCPSocket::RecvSome(SocketHandle socket, std::span<std::uint8_t> buffer,
                        std::int32_t timeoutSeconds, std::size_t& received) {
  received = 0;
  if (buffer.empty()) return kOk;
  if (socket < 0) return EBADF;
  // Under load data is usually waiting already: try first, wait only when
  // nothing is there.
  for (;;) {
    const ssize_t n = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      received = static_cast<std::size_t>(n);
      return kOk;
    }
    if (n == 0) return kPeerClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    if (int code = WaitReady(socket, POLLIN, timeoutSeconds); code != kOk) return code;
  }
}

int TCPSocket::Shutdown(SocketHandle socket) {
  if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
  return kOk;
}

int TCPSocket::Close(SocketHandle& socket) {
  if (socket < 0) {
    socket = kNoSocket;
    return kOk;
  }
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
  socket = kNoSocket;
  return kOk;
}

}  // namespace brivane::cmpp
