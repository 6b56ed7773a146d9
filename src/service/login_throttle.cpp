#include "service/login_throttle.h"

#include <fmt/format.h>

#include <algorithm>

namespace brivane::service {

std::chrono::milliseconds LoginThrottle::DelayAfter(int failures) const {
  if (failures <= limits_.freeFailures) return std::chrono::milliseconds(0);
  const int doublings = std::min(failures - limits_.freeFailures - 1, 30);
  auto delay = limits_.firstDelay * (std::int64_t{1} << doublings);
  return std::min(delay, limits_.maxDelay);
}

std::chrono::milliseconds LoginThrottle::RetryAfter(const std::string& address,
                                                    Clock::time_point now) {
  base::MutexLock lock(mutex_);
  auto it = table_.find(address);
  if (it == table_.end() || now >= it->second.allowedFrom) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(it->second.allowedFrom - now);
}

void LoginThrottle::Failed(const std::string& address, const std::string& user,
                           Clock::time_point now) {
  base::MutexLock lock(mutex_);
  auto it = table_.find(address);
  if (it != table_.end() && now - it->second.lastFailure >= limits_.forgetAfter &&
      it->second.unlogged == 0) {
    table_.erase(it);
    it = table_.end();
  }
  if (it == table_.end()) {
    if (table_.size() >= limits_.maxAddresses) Evict(now);
    it = table_.emplace(address, Entry{}).first;
  }
  Entry& e = it->second;
  ++e.failures;
  ++e.unlogged;
  e.lastUser = user;
  e.lastFailure = now;
  e.allowedFrom = now + DelayAfter(e.failures);
}

void LoginThrottle::Succeeded(const std::string& address) {
  base::MutexLock lock(mutex_);
  table_.erase(address);
}

std::vector<std::string> LoginThrottle::DueLines(Clock::time_point now) {
  std::vector<std::string> lines;
  base::MutexLock lock(mutex_);
  for (auto it = table_.begin(); it != table_.end();) {
    Entry& e = it->second;
    if (e.unlogged > 0 && (!e.logged || now - e.lastLine >= limits_.logInterval)) {
      lines.push_back(Line(it->first, e));
      e.unlogged = 0;
      e.logged = true;
      e.lastLine = now;
    }
    if (e.unlogged == 0 && now - e.lastFailure >= limits_.forgetAfter)
      it = table_.erase(it);
    else
      ++it;
  }
  return lines;
}

void LoginThrottle::Evict(Clock::time_point now) {
  // Forget the addresses that have gone quiet; if none has, the one whose
  // last failure is oldest. Its unlogged count is lost with it, which only
  // happens while thousands of addresses are failing at once.
  for (auto it = table_.begin(); it != table_.end();) {
    if (now - it->second.lastFailure >= limits_.forgetAfter)
      it = table_.erase(it);
    else
      ++it;
  }
  if (table_.size() < limits_.maxAddresses) return;
  auto oldest = std::min_element(table_.begin(), table_.end(), [](const auto& a, const auto& b) {
    return a.second.lastFailure < b.second.lastFailure;
  });
  if (oldest != table_.end()) table_.erase(oldest);
}

std::string LoginThrottle::Line(const std::string& address, const Entry& entry) {
  return fmt::format("信息：管理页面登录失败 {} 次，来自 {}，最近用户名 \"{}\"", entry.unlogged,
                     address, entry.lastUser);
}

}  // namespace brivane::service
