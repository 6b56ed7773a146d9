#pragma once
// A CMPPClient for tests: records every hook call and every log line, and
// offers deadline waits on them. Short timings: the socket timeout may go
// down to 1 s and a failed re-login pauses 100 ms.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cmpp/client.h"
#include "cmpp/connection.h"
#include "support/process.h"

namespace brivane::cmpp::test {

using namespace std::chrono_literals;

// Polls `condition` until it holds or the deadline passes.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 10s) {
  return brivane::test::WaitFor(condition, timeout);
}

inline LinkTimings ShortTimings() {
  LinkTimings t;
  t.minSocketTimeoutSeconds = 1;
  t.loginRetryPauseMs = 100;
  return t;
}

struct SubmitEvent {
  std::string token;
  CmppSubmit submit;
};

class RecordingClient : public CMPPClient {
 public:
  RecordingClient() { SetLinkTimingsForTest(ShortTimings()); }
  ~RecordingClient() override { Release(); }

  void LogWrite(std::string_view line) override {
    if (onLine) onLine(line);
    Add([&] { lines.emplace_back(line); });
  }
  void OnLoggedIn(CMPPConnection&) override {
    Add([&] { ++loggedIn; });
  }
  void OnLoginFailed(CMPPConnection&, int code) override {
    Add([&] { loginFailures.push_back(code); });
  }
  void OnStopped(CMPPConnection& link) override {
    Add([&] { stopped.push_back(link.Token()); });
  }
  bool OnSubmitting(CMPPConnection& link, const CmppSubmit& s) override {
    if (onSubmitting) onSubmitting(link, s);
    Add([&] { submitting.push_back({link.Token(), s}); });
    return accept.load();
  }
  void OnSubmitSent(CMPPConnection& link, const CmppSubmit& s) override {
    Add([&] { sent.push_back({link.Token(), s}); });
  }
  void OnSubmitFail(CMPPConnection& link, const CmppSubmit& s) override {
    Add([&] { failed.push_back({link.Token(), s}); });
  }
  void OnSubmitResp(CMPPConnection& link, const CmppSubmitResp& r) override {
    if (onResp) onResp(link, r);
    Add([&] {
      resps.push_back(r);
      respThreads.push_back(std::this_thread::get_id());
    });
  }
  void OnDeliver(CMPPConnection& link, const CmppDeliver& d) override {
    if (onDeliver) onDeliver(link, d);
    Add([&] { delivers.push_back(d); });
  }
  void OnReport(CMPPConnection&, const CmppDeliver& d) override {
    Add([&] { reports.push_back(d); });
  }

  // Waits until `condition` (evaluated under the record lock) holds.
  bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock guard(mutex_);
    return cv_.wait_for(guard, timeout, condition);
  }
  bool WaitLine(const std::string& part, std::chrono::milliseconds timeout = 10s) {
    return WaitUntil([&] { return FindLineLocked(part) >= 0; }, timeout);
  }
  bool HasLine(const std::string& part) {
    std::lock_guard guard(mutex_);
    return FindLineLocked(part) >= 0;
  }
  template <typename F>
  auto Locked(F f) {
    std::lock_guard guard(mutex_);
    return f();
  }
  std::string AllLines() {
    std::lock_guard guard(mutex_);
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
  }

  // Recorded state; read under Locked() or after a WaitUntil.
  std::vector<std::string> lines;
  int loggedIn = 0;
  std::vector<int> loginFailures;
  std::vector<std::string> stopped;
  std::vector<SubmitEvent> submitting, sent, failed;
  std::vector<CmppSubmitResp> resps;
  std::vector<std::thread::id> respThreads;
  std::vector<CmppDeliver> delivers, reports;

  std::atomic<bool> accept{true};
  // Called on the hook's thread before the event is recorded.
  std::function<void(std::string_view)> onLine;
  std::function<void(CMPPConnection&, const CmppSubmitResp&)> onResp;
  std::function<void(CMPPConnection&, const CmppSubmit&)> onSubmitting;
  std::function<void(CMPPConnection&, const CmppDeliver&)> onDeliver;

 private:
  template <typename F>
  void Add(F f) {
    {
      std::lock_guard guard(mutex_);
      f();
    }
    cv_.notify_all();
  }
  int FindLineLocked(const std::string& part) const {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(part) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
};

// A link to 127.0.0.1:port with this client as owner, started (first login).
inline std::shared_ptr<CMPPConnection> MakeLink(
    RecordingClient& client, std::uint16_t port, std::int32_t connType = kConnMtMo,
    std::uint8_t version = kCmppVersion30, std::int32_t socketTimeout = 1,
    std::int32_t connectionTimeout = 1800, const std::string& secret = "888888",
    std::int32_t asiaInfo = 0, const std::string& token = "TESTTOKEN") {
  return CMPPConnection::Create(&client, token, "127.0.0.1", port, version, "900001", secret,
                                "ICP01", connType, asiaInfo, socketTimeout, connectionTimeout,
                                ShortTimings());
}

// A zero-filled one-destination submit.
inline CmppSubmit MakeSubmit(std::uint64_t recordId, const std::string& text,
                             std::uint8_t msgFmt = 0, std::uint8_t registeredDelivery = 0) {
  CmppSubmit s{};
  s.recordId = recordId;
  s.Pk_total = 1;
  s.Pk_number = 1;
  s.Registered_Delivery = registeredDelivery;
  std::snprintf(s.Service_Id, sizeof s.Service_Id, "%s", "TEST");
  s.Msg_Fmt = msgFmt;
  std::snprintf(s.Msg_src, sizeof s.Msg_src, "%s", "900001");
  std::snprintf(s.FeeType, sizeof s.FeeType, "%s", "01");
  std::snprintf(s.Src_Id, sizeof s.Src_Id, "%s", "10658888");
  s.DestUsr_tl = 1;
  std::snprintf(s.Dest_terminal_Id, sizeof s.Dest_terminal_Id, "%s", "13800138000");
  const std::size_t n = std::min(text.size(), sizeof s.Msg_Content);
  std::memcpy(s.Msg_Content, text.data(), n);
  s.Msg_Length = static_cast<std::uint32_t>(text.size());
  return s;
}

}  // namespace brivane::cmpp::test
