// TCPSocket over real loopback sockets.
#include "cmpp/transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "cmpp/pdu.h"
#include "support/process.h"
#include "support/unanswered_port.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::LoopbackPair;

using Clock = std::chrono::steady_clock;

void WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    ASSERT_GT(w, 0);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

int Unread(int fd) {
  int n = -1;
  ::ioctl(fd, FIONREAD, &n);
  return n;
}

TEST(Transport, PeerSendsFiveBytesAndClosesGivesPeerClosed) {
  LoopbackPair pair;
  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  WriteAll(pair.server, five, 5);
  pair.CloseServer();
  std::uint8_t head[12];
  EXPECT_EQ(TCPSocket::Recv(pair.client, head, 1), kPeerClosed);
}

TEST(Transport, SilenceForTheWholeTimeoutGivesTimeoutAndKeepsTheSocket) {
  LoopbackPair pair;
  std::uint8_t head[12];
  const auto start = Clock::now();
  EXPECT_EQ(TCPSocket::Recv(pair.client, head, 1), kTimeout);
  EXPECT_GE(Clock::now() - start, milliseconds(950));
  // Still open and usable in both directions.
  const std::uint8_t data[12] = {0, 0, 0, 12, 0, 0, 0, 8, 0, 0, 0, 1};
  WriteAll(pair.server, data, sizeof data);
  EXPECT_EQ(TCPSocket::Recv(pair.client, head, 1), 0);
  EXPECT_EQ(std::memcmp(head, data, 12), 0);
  EXPECT_EQ(TCPSocket::Send(pair.client, data, 1), 0);
}

TEST(Transport, ZeroLengthTouchesNothing) {
  EXPECT_EQ(TCPSocket::Send(kNoSocket, {}, 1), 0);
  EXPECT_EQ(TCPSocket::Recv(kNoSocket, {}, 1), 0);
  LoopbackPair pair;
  EXPECT_EQ(TCPSocket::Recv(pair.client, {}, 1), 0);
  EXPECT_EQ(TCPSocket::Send(pair.client, {}, 1), 0);
  EXPECT_EQ(Unread(pair.server), 0);
}

TEST(Transport, ClosedHandleGivesTheNotASocketErrors) {
  LoopbackPair pair;
  SocketHandle closed = pair.client;
  TCPSocket::Close(pair.client);
  EXPECT_EQ(pair.client, kNoSocket);
  std::uint8_t b[4] = {};
  EXPECT_EQ(TCPSocket::Send(pair.client, b, 1), EBADF);
  EXPECT_EQ(TCPSocket::Recv(pair.client, b, 1), EBADF);
  // A stale number that no longer names a descriptor.
  EXPECT_EQ(TCPSocket::Send(closed, b, 1), EBADF);
  // A descriptor that is not a socket.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(TCPSocket::Send(fds[1], b, 1), ENOTSOCK);
  ::write(fds[1], "abcd", 4);
  EXPECT_EQ(TCPSocket::Recv(fds[0], b, 1), ENOTSOCK);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(Transport, CloseTwiceIsHarmless) {
  SocketHandle s = kNoSocket;
  ASSERT_EQ(TCPSocket::Create(s), 0);
  ASSERT_GE(s, 0);
  EXPECT_EQ(TCPSocket::Close(s), 0);
  EXPECT_EQ(s, kNoSocket);
  EXPECT_EQ(TCPSocket::Close(s), 0);
  EXPECT_EQ(s, kNoSocket);
  // The number may be reused right away; a second Close must not touch it.
  int reused = ::open("/dev/null", O_RDONLY);
  EXPECT_EQ(TCPSocket::Close(s), 0);
  EXPECT_NE(::fcntl(reused, F_GETFD), -1);
  ::close(reused);
}

TEST(Transport, HostNameInsteadOfAddressFails) {
  SocketHandle s = kNoSocket;
  ASSERT_EQ(TCPSocket::Create(s), 0);
  EXPECT_EQ(TCPSocket::Connect(s, "localhost", 7890), EINVAL);
  EXPECT_EQ(TCPSocket::Connect(s, "smg.example.com", 7890), EINVAL);
  EXPECT_EQ(TCPSocket::Connect(s, "", 7890), EINVAL);
  TCPSocket::Close(s);
}

TEST(Transport, ConnectToAPortNobodyListensOnIsRefused) {
  brivane::test::RefusingPort refusing;
  ASSERT_NE(refusing.Port(), 0);
  SocketHandle s = kNoSocket;
  ASSERT_EQ(TCPSocket::Create(s), 0);
  EXPECT_EQ(TCPSocket::Connect(s, "127.0.0.1", static_cast<std::uint16_t>(refusing.Port())),
            ECONNREFUSED);
  TCPSocket::Close(s);
}

// A connect nobody answers ends at its own timeout, or at once when another
// thread shuts the socket down (a stop must not wait for the timeout).
TEST(Transport, UnansweredConnectEndsAtItsTimeoutOrAtShutdown) {
  struct Case {
    const char* name;
    std::int32_t timeoutSeconds;
    bool shutDown;
    int expected;
    long long minMs, maxMs;
  };
  const Case cases[] = {
      {"timeout", 1, false, kTimeout, 900, 4000},
      {"shutdown", 30, true, ECONNABORTED, 0, 4000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    brivane::test::UnansweredPort unanswered;
    ASSERT_NE(unanswered.Port(), 0) << "could not make an unanswered port";
    SocketHandle s = kNoSocket;
    ASSERT_EQ(TCPSocket::Create(s), 0);
    const auto start = std::chrono::steady_clock::now();
    auto connect = std::async(std::launch::async, [&] {
      return TCPSocket::Connect(s, "127.0.0.1", unanswered.Port(), c.timeoutSeconds);
    });
    if (c.shutDown) {
      std::this_thread::sleep_for(milliseconds(300));  // let the connect start waiting
      TCPSocket::Shutdown(s);
    }
    const int code = connect.get();
    const auto ms =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
    // Shut down before the kernel gave up, the connect may also report the
    // reset or the missing peer; it must never report success.
    if (c.shutDown) {
      EXPECT_NE(code, kOk);
    } else {
      EXPECT_EQ(code, c.expected);
    }
    EXPECT_GE(ms, c.minMs);
    EXPECT_LT(ms, c.maxMs);
    // The socket keeps the blocking mode it had.
    EXPECT_EQ(::fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    TCPSocket::Close(s);
  }
}

TEST(Transport, SendToAClosedPeerReportsAnErrorWithoutSigpipe) {
  // SIGPIPE would end this test program; MSG_NOSIGNAL turns it into an error.
  LoopbackPair pair;
  pair.CloseServer();
  std::vector<std::uint8_t> data(64 * 1024, 'x');
  int code = 0;
  for (int i = 0; i < 50 && code == 0; ++i) code = TCPSocket::Send(pair.client, data, 1);
  EXPECT_TRUE(code == EPIPE || code == ECONNRESET) << code;
}

TEST(Transport, PeerThatStopsReadingGivesTimeoutNotAHang) {
  LoopbackPair pair;
  std::vector<std::uint8_t> data(64 * 1024 * 1024, 'x');  // far beyond the socket buffers
  auto result =
      std::async(std::launch::async, [&] { return TCPSocket::Send(pair.client, data, 1); });
  ASSERT_EQ(result.wait_for(seconds(30)), std::future_status::ready);
  EXPECT_EQ(result.get(), kTimeout);
}

TEST(Transport, LargeBufferArrivesWhole) {
  LoopbackPair pair;
  std::vector<std::uint8_t> data(4 * 1024 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> got(data.size());
  std::thread reader([&] {
    SocketHandle s = pair.server;
    EXPECT_EQ(TCPSocket::Recv(s, got, 5), 0);
  });
  EXPECT_EQ(TCPSocket::Send(pair.client, data, 5), 0);
  reader.join();
  EXPECT_TRUE(got == data);
}

// A Recv of a header on s in another thread, with a 30 s timeout: it
// blocks until data comes or something ends it.
std::future<int> RecvInTheBackground(SocketHandle s) {
  return std::async(std::launch::async, [s] {
    std::uint8_t head[12];
    return TCPSocket::Recv(s, head, 30);
  });
}

TEST(Transport, ShutdownWakesABlockedRecv) {
  LoopbackPair pair;
  auto result = RecvInTheBackground(pair.client);
  // Let the reader block, then shut down under it as a stopping link does.
  ASSERT_EQ(result.wait_for(milliseconds(200)), std::future_status::timeout);
  TCPSocket::Shutdown(pair.client);
  ASSERT_EQ(result.wait_for(seconds(5)), std::future_status::ready);
  EXPECT_EQ(result.get(), kPeerClosed);
  EXPECT_NE(pair.client, kNoSocket);  // the number stays ours until Close
}

TEST(Transport, CloseWakesABlockedRecv) {
  LoopbackPair pair;
  auto result = RecvInTheBackground(pair.client);
  ASSERT_EQ(result.wait_for(milliseconds(200)), std::future_status::timeout);
  TCPSocket::Close(pair.client);
  ASSERT_EQ(result.wait_for(seconds(5)), std::future_status::ready);
  // Woken by the shutdown inside Close; if the descriptor was already gone
  // when the reader looked again, it sees EBADF.
  const int code = result.get();
  EXPECT_TRUE(code == kPeerClosed || code == EBADF) << code;
}

TEST(Transport, DescriptorAbove1024Works) {
  // select() with an fd_set cannot hold such a number; poll() can.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 2100 && limit.rlim_max >= 2100) {
    limit.rlim_cur = 2100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  if (limit.rlim_cur < 2100) GTEST_SKIP() << "descriptor limit " << limit.rlim_cur << " too low";
  LoopbackPair pair;
  SocketHandle high = ::dup2(pair.client, 2000);
  ASSERT_EQ(high, 2000);
  const std::uint8_t out[13] = {0, 0, 0, 13, 0x80, 0, 0, 8, 0, 0, 0, 1, 0};
  EXPECT_EQ(TCPSocket::Send(high, out, 1), 0);
  std::uint8_t in[13];
  WriteAll(pair.server, out, sizeof out);
  EXPECT_EQ(TCPSocket::Recv(high, in, 1), 0);
  std::uint8_t silence[1];
  EXPECT_EQ(TCPSocket::Recv(high, silence, 1), kTimeout);
  TCPSocket::Close(high);
}

// The reader loops over partial reads: a PDU written in two pieces, split at
// every offset, is read whole (header, then body) whatever the split.
TEST(Transport, PduSplitAtEveryOffsetIsReadWhole) {
  static CmppDeliver d;
  d = {};
  d.Msg_Length = 20;
  std::memcpy(d.Msg_Content, "split at every offset", 20);
  Bytes pdu(kMaxDeliverPduLength);
  std::size_t n = 0;
  ASSERT_EQ(EncodeDeliver(pdu, d, 0x30, 9, n), 0);
  pdu.resize(n);

  LoopbackPair pair;
  for (std::size_t split = 1; split < pdu.size(); ++split) {
    auto reader = std::async(std::launch::async, [&pair] {
      std::uint8_t head[kHeaderLength];
      Bytes body;
      if (int code = TCPSocket::Recv(pair.client, head, 5); code != 0) return Bytes{};
      CmppHeader h{};
      std::uint32_t bodyLength = 0;
      if (ParseHeader(head, h, bodyLength) != 0) return Bytes{};
      body.resize(bodyLength);
      if (TCPSocket::Recv(pair.client, body, 5) != 0) return Bytes{};
      body.insert(body.begin(), head, head + kHeaderLength);
      return body;
    });
    WriteAll(pair.server, pdu.data(), split);
    // Wait until the reader has taken the first piece, so it must loop for the rest.
    ASSERT_TRUE(brivane::test::WaitFor([&] { return Unread(pair.client) == 0; }, seconds(5)));
    WriteAll(pair.server, pdu.data() + split, pdu.size() - split);
    ASSERT_EQ(reader.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(reader.get(), pdu) << "split at " << split;
  }
}

}  // namespace
}  // namespace brivane::cmpp
