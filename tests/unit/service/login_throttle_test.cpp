#include "service/login_throttle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brivane::service {
namespace {

using namespace std::chrono_literals;
using Clock = LoginThrottle::Clock;

LoginThrottle::Limits SmallLimits() {
  LoginThrottle::Limits l;
  l.freeFailures = 2;
  l.firstDelay = 100ms;
  l.maxDelay = 1000ms;
  l.logInterval = 60s;
  l.forgetAfter = 600s;
  l.maxAddresses = 3;
  return l;
}

TEST(LoginThrottle, WaitGrowsWithEachFailureUpToTheBound) {
  LoginThrottle throttle(SmallLimits());
  const Clock::time_point t0{};
  // failures -> wait right after the failure
  const std::pair<int, std::chrono::milliseconds> expected[] = {
      {1, 0ms}, {2, 0ms}, {3, 100ms}, {4, 200ms}, {5, 400ms}, {6, 800ms}, {7, 1000ms}, {40, 1000ms},
  };
  int failures = 0;
  for (const auto& [n, wait] : expected) {
    while (failures < n) {
      throttle.Failed("10.0.0.1", "admin", t0);
      ++failures;
    }
    EXPECT_EQ(throttle.RetryAfter("10.0.0.1", t0), wait) << n << " failures";
  }
  // Another address is not affected; the waiting one may go once its time
  // has passed, and a success forgets it.
  EXPECT_EQ(throttle.RetryAfter("10.0.0.2", t0), 0ms);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.1", t0 + 999ms), 1ms);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.1", t0 + 1000ms), 0ms);
  throttle.Succeeded("10.0.0.1");
  throttle.Failed("10.0.0.1", "admin", t0 + 2s);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.1", t0 + 2s), 0ms);
}

TEST(LoginThrottle, FailuresAreLoggedAsOneCountPerAddressAndInterval) {
  LoginThrottle throttle(SmallLimits());
  const Clock::time_point t0{};
  throttle.Failed("10.0.0.1", "a", t0);
  auto first = throttle.DueLines(t0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].find("登录失败 1 次，来自 10.0.0.1，最近用户名 \"a\""), std::string::npos);
  for (int i = 0; i < 500; ++i) throttle.Failed("10.0.0.1", "b", t0 + 1s);
  EXPECT_TRUE(throttle.DueLines(t0 + 59s).empty());
  auto later = throttle.DueLines(t0 + 60s);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_NE(later[0].find("登录失败 500 次，来自 10.0.0.1，最近用户名 \"b\""), std::string::npos);
  EXPECT_TRUE(throttle.DueLines(t0 + 200s).empty()) << "nothing new to tell";
}

TEST(LoginThrottle, TableStaysBoundedByForgettingTheQuietestAddress) {
  LoginThrottle throttle(SmallLimits());
  const Clock::time_point t0{};
  for (int i = 0; i < 9; ++i) throttle.Failed("10.0.0.1", "x", t0);
  for (int i = 0; i < 9; ++i) throttle.Failed("10.0.0.2", "x", t0 + 1ms);
  for (int i = 0; i < 9; ++i) throttle.Failed("10.0.0.3", "x", t0 + 2ms);
  throttle.Failed("10.0.0.4", "x", t0 + 3ms);  // the table is full: .1 goes
  EXPECT_EQ(throttle.RetryAfter("10.0.0.1", t0 + 3ms), 0ms);
  EXPECT_GT(throttle.RetryAfter("10.0.0.2", t0 + 3ms), 0ms);
  EXPECT_GT(throttle.RetryAfter("10.0.0.3", t0 + 3ms), 0ms);
}

}  // namespace
}  // namespace brivane::service
