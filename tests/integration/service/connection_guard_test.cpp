// The guard's bounds on a server of its own, with small limits: a client
// address gets only so many connections that have not sent a request, the
// extra ones are closed at once, the silent ones once their time is up, and
// a connection that does send its request is served meanwhile.

#include "service/connection_guard.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "service/certificate.h"
#include "support/service_fixture.h"
#include "support/slow_clients.h"

namespace brivane::service {
namespace {

using namespace std::chrono_literals;

// True when the server closed fd within `limit` (a read sees the end).
bool ClosedWithin(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

TEST(ConnectionGuard, SilentConnectionsAreBoundedPerAddressAndInTime) {
  test::TempDir dir;
  std::string error;
  auto certificate = ServerCertificate::LoadOrCreate(dir.File("server.pem"), &error);
  ASSERT_TRUE(certificate) << error;
  ConnectionGuard::Limits limits;
  limits.workers = 6;
  limits.maxPending = 4;
  limits.maxPendingPerAddress = 2;
  limits.requestTimeout = 1500ms;
  limits.watchInterval = 20ms;
  ConnectionGuard guard(limits);
  httplib::SSLServer server(certificate->Cert(), certificate->Key());
  server.new_task_queue = [&] { return guard.NewTaskQueue(); };
  guard.Watch(server.ssl_context());
  server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    ConnectionGuard::RequestArrived();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_logger([](const httplib::Request&, const httplib::Response&) {
    ConnectionGuard::ResponseWritten();
  });
  server.Get("/welcome.html", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok", "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread listener([&] { server.listen_after_bind(); });
  ASSERT_TRUE(test::WaitFor([&] { return server.is_running(); }, 5s));

  // Two silent connections from 127.0.0.1 are admitted; the third is not.
  const auto start = std::chrono::steady_clock::now();
  int first = test::ConnectFrom("127.0.0.1", port);
  int second = test::ConnectFrom("127.0.0.1", port);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(test::WaitFor([&] { return guard.PendingForTest() == 2; }, 2s));
  int third = test::ConnectFrom("127.0.0.1", port);
  ASSERT_GE(third, 0);
  EXPECT_TRUE(ClosedWithin(third, 1000ms)) << "over the per-address bound";
  EXPECT_EQ(guard.Refused(), 1u);

  // Another address is served while the silent ones wait.
  const auto took = test::TimedWelcome("127.0.0.2", port);
  EXPECT_GE(took.count(), 0);
  EXPECT_LT(took, 1000ms);

  // The silent ones are cut once their time to send a request is over, not
  // before.
  EXPECT_FALSE(ClosedWithin(first, 500ms));
  EXPECT_TRUE(ClosedWithin(first, 5000ms));
  EXPECT_TRUE(ClosedWithin(second, 1000ms));
  const auto lived = std::chrono::steady_clock::now() - start;
  EXPECT_GE(lived, 1400ms);
  EXPECT_EQ(guard.TimedOut(), 2u);

  for (int fd : {first, second, third}) ::close(fd);
  server.stop();
  listener.join();
}

}  // namespace
}  // namespace brivane::service
