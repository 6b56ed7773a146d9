// Regression: parts of a long MO that arrive on a link which has logged in
// while the client is still opening its other links were stored one by one,
// each with its concatenation header and PKTotal 1, because the long-message
// store was only created after every link had logged in (and never, when one
// of them failed). An SMG delivers the MOs it holds as soon as a link logs in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "mo_fixture.h"

namespace brivane::test {
namespace {

// A TCP listener that accepts connections and never answers them, so that a
// CMPP login to it waits; Release closes what it accepted.
class MuteListener {
 public:
  MuteListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::lock_guard lock(mutex_);
        accepted_.push_back(c);
      }
    });
  }
  ~MuteListener() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    Release();
    if (fd_ >= 0) ::close(fd_);
  }
  int Port() const { return port_; }
  std::size_t Accepted() {
    std::lock_guard lock(mutex_);
    return accepted_.size() + closed_;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    for (int c : accepted_) ::close(c);
    closed_ += accepted_.size();
    accepted_.clear();
  }

 private:
  int fd_ = -1;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<int> accepted_;
  std::size_t closed_ = 0;
  std::thread thread_;
};

TEST_F(MoEndToEnd, LongMoPartsArrivingWhileOtherLinksStillLogInAreMerged) {
  MuteListener mute;
  ASSERT_GT(mute.Port(), 0);
  // The MO link logs in to the simulator; the MT-and-MO link's login then
  // waits on the mute listener, so the client is still initialising.
  ASSERT_TRUE(Prepare({{"MOConnections", "1"},
                       {"MTAndMOPort", std::to_string(mute.Port())},
                       {"ReConnectSMGTimesOnStart", "1"},
                       {"SocketTimeout", "30"}}))
      << Diagnostics();
  AddRoute(81, "10661234", "/app");
  // The start cannot finish while a login hangs; it runs on its own thread
  // until the mute listener lets go, and then reports the failed start.
  std::string startError;
  bool started = true;
  std::thread starter([&] { started = sys_->StartBrivane(&startError); });
  struct Joiner {
    std::thread& t;
    MuteListener& m;
    ~Joiner() {
      m.Release();
      if (t.joinable()) t.join();
    }
  } joiner{starter, mute};
  ASSERT_TRUE(sys_->Smg().WaitStat("logins", 1, kWait)) << Diagnostics();
  ASSERT_TRUE(WaitFor([&] { return mute.Accepted() >= 1; }, kWait));

  const std::string text(300, 'x');
  ASSERT_EQ(SendLongMo("13800138000", "106612345", 0, false, 7, "3,2,1", text), "OK parts=3");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_GE(rows.size(), 1u);
  EXPECT_EQ(rows[0].pkTotal, 3);
  EXPECT_EQ(rows[0].msg, text);
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/app"));
  EXPECT_EQ(app_.Requests("/app")[0].Field("DIALOG.MESSAGE"), text);

  // Let the hanging login fail: the start gives up, the process stays up.
  mute.Release();
  starter.join();
  EXPECT_FALSE(started);
  EXPECT_TRUE(sys_->BrivaneRunning());
  EXPECT_EQ(Delivers().size(), 1u);
}

}  // namespace
}  // namespace brivane::test
