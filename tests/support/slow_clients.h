#pragma once
// Slow clients against the pages: connections from one loopback address
// that trickle a TLS ClientHello a byte at a time and come back when they
// are closed, and a probe that fetches the welcome page over its own TLS
// connection from another loopback address.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace brivane::test {

inline int ConnectFrom(const char* from, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// `count` connections from 127.0.0.1, each sending one byte of a TLS
// ClientHello every `every`, reopened as soon as the server closes one.
class SlowClients {
 public:
  SlowClients(int port, int count, std::chrono::milliseconds every) {
    thread_ = std::thread([this, port, count, every] { Run(port, count, every); });
  }
  ~SlowClients() {
    stop_ = true;
    thread_.join();
  }
  int Closed() const { return closed_.load(); }
  int Open() const { return open_.load(); }

 private:
  void Run(int port, int count, std::chrono::milliseconds every) {
    // A TLS 1.2 record header for a handshake and the start of a hello.
    static const unsigned char kHello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01,
                                           0xfc, 0x03, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55};
    struct Conn {
      int fd = -1;
      std::size_t sent = 0;
    };
    std::vector<Conn> conns(static_cast<std::size_t>(count));
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
      int open = 0;
      for (auto& c : conns) {
        if (c.fd < 0) {
          c.fd = ConnectFrom("127.0.0.1", port);
          c.sent = 0;
        }
        if (c.fd >= 0) ++open;
      }
      open_ = open;
      if (std::chrono::steady_clock::now() >= next) {
        for (auto& c : conns) {
          if (c.fd < 0) continue;
          const unsigned char b = kHello[c.sent % sizeof kHello];
          if (::send(c.fd, &b, 1, MSG_NOSIGNAL) != 1) {
            ::close(c.fd);
            c.fd = -1;
            ++closed_;
          }
          ++c.sent;
        }
        next += every;
      }
      // Notice closings between the bytes.
      std::vector<pollfd> fds;
      for (auto& c : conns)
        if (c.fd >= 0) fds.push_back({c.fd, POLLIN, 0});
      ::poll(fds.data(), fds.size(), 50);
      for (const auto& p : fds) {
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buf[256];
        if (::recv(p.fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) {
          for (auto& c : conns)
            if (c.fd == p.fd) c.fd = -1;
          ::close(p.fd);
          ++closed_;
        }
      }
    }
    for (auto& c : conns)
      if (c.fd >= 0) ::close(c.fd);
  }

  std::atomic<bool> stop_{false};
  std::atomic<int> closed_{0};
  std::atomic<int> open_{0};
  std::thread thread_;
};

// Fetches /welcome.html over TLS from `from`; the time the whole exchange
// took, or a negative duration when it failed or took longer than 5 s.
inline std::chrono::milliseconds TimedWelcome(const char* from, int port) {
  const auto start = std::chrono::steady_clock::now();
  const auto failed = std::chrono::milliseconds(-1);
  int fd = ConnectFrom(from, port);
  if (fd < 0) return failed;
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  std::string reply;
  if (SSL_connect(ssl) == 1) {
    const std::string request =
        "GET /welcome.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
      char buf[4096];
      int n;
      while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
        reply.append(buf, static_cast<std::size_t>(n));
    }
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  if (reply.rfind("HTTP/1.1 200", 0) != 0) return failed;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace brivane::test
