#pragma once
// Test helpers: expected PDUs written out field by field from the wire layout
// (independently of the encoders), hex dumps for failure messages, and a
// loopback TCP pair for the transport tests.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cmpp/transport.h"

namespace brivane::cmpp::test {

using Bytes = std::vector<std::uint8_t>;

// Builds an expected byte vector: integers big-endian, texts zero-padded to
// their field width.
class Wire {
 public:
  Wire& U8(std::uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Wire& U32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      b_.push_back(static_cast<std::uint8_t>(v >> shift));
    return *this;
  }
  Wire& Text(std::string_view s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) b_.push_back(i < s.size() ? s[i] : 0);
    return *this;
  }
  Wire& Raw(const Bytes& bytes) {
    b_.insert(b_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Wire& Fill(std::uint8_t v, std::size_t n) {
    b_.insert(b_.end(), n, v);
    return *this;
  }
  const Bytes& bytes() const { return b_; }
  std::size_t size() const { return b_.size(); }

 private:
  Bytes b_;
};

inline std::string Hex(const std::uint8_t* p, std::size_t n) {
  std::string s;
  char two[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", p[i]);
    s += two;
    if (i % 4 == 3 && i + 1 < n) s += ' ';
  }
  return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes FromHex(std::string_view hex) {
  Bytes out;
  int nibble = -1;
  for (char c : hex) {
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (v < 0) continue;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
      nibble = -1;
    }
  }
  return out;
}

// A connected TCP pair on 127.0.0.1: `client` made with TCPSocket::Create and
// Connect (the code under test), `server` accepted with plain calls.
struct LoopbackPair {
  SocketHandle client = kNoSocket;
  SocketHandle server = kNoSocket;

  LoopbackPair() {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
      if (listener >= 0) ::close(listener);
      return;
    }
    EXPECT_EQ(TCPSocket::Create(client), 0);
    EXPECT_EQ(TCPSocket::Connect(client, "127.0.0.1", ntohs(a.sin_port)), 0);
    server = ::accept(listener, nullptr, nullptr);
    EXPECT_GE(server, 0);
    ::close(listener);
  }
  ~LoopbackPair() {
    TCPSocket::Close(client);
    if (server >= 0) ::close(server);
  }
  LoopbackPair(const LoopbackPair&) = delete;
  LoopbackPair& operator=(const LoopbackPair&) = delete;

  void CloseServer() {
    if (server >= 0) ::close(server);
    server = kNoSocket;
  }
};

}  // namespace brivane::cmpp::test

// The codec tests live in brivane::cmpp and write these helpers unqualified.
namespace brivane::cmpp {
using test::Bytes;
using test::FromHex;
using test::Hex;
using test::Wire;
}  // namespace brivane::cmpp
