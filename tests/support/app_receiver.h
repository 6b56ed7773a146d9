#pragma once
// The business application of the MO tests: a cpp-httplib server on
// 127.0.0.1 (a port the kernel chose) run by its own thread, recording every
// POST it receives with its raw body and the form fields decoded the way an
// application decodes them. Each path may be told to answer with another
// status; the default is 200 "OK". Thread-safe: the server thread records,
// the test thread reads.

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace brivane::test {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// application/x-www-form-urlencoded as a receiver reads it: fields split on
// "&", name and value on the first "=", "+" a space, "%XX" one byte.
FormFields DecodeForm(std::string_view body);

struct AppRequest {
  std::string path;
  std::string body;  // as received
  std::string contentType;
  bool hasUserAgent = false;
  FormFields fields;

  // The first value of a field; "<missing>" when absent.
  std::string Field(std::string_view name) const;
};

class AppReceiver {
 public:
  AppReceiver();
  ~AppReceiver();
  AppReceiver(const AppReceiver&) = delete;
  AppReceiver& operator=(const AppReceiver&) = delete;

  bool Running() const { return port_ > 0; }
  int Port() const { return port_; }
  std::string Url(const std::string& path) const;

  // POSTs to `path` are answered with this status and body from now on.
  void AnswerOn(const std::string& path, int status, std::string body);

  // The requests received so far, on one path or (empty) on all.
  std::vector<AppRequest> Requests(const std::string& path = "");
  std::size_t Count(const std::string& path = "");
  bool WaitCount(std::size_t atLeast, std::chrono::milliseconds timeout,
                 const std::string& path = "");

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;  // guards requests_ and answers_
  std::vector<AppRequest> requests_;
  std::map<std::string, std::pair<int, std::string>> answers_;
};

}  // namespace brivane::test
