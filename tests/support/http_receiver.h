#pragma once
// HTTP receivers standing in for forward targets, all on 127.0.0.1 with a port the
// kernel chose: a cpp-httplib server (plain or TLS with a self-signed
// certificate made here) that records what it received, and a raw-socket
// server for replies no well-behaved server sends.

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brivane::test {

// One request as the receiver saw it.
struct Received {
  std::string path;
  std::string body;
  std::multimap<std::string, std::string> params;  // parsed form fields
  httplib::Headers headers;
};

// A cpp-httplib server that records every request and answers with the
// configured status, body and content type.
class HttpReceiver {
 public:
  // certFile/keyFile empty: plain HTTP; otherwise TLS.
  explicit HttpReceiver(const std::string& certFile = "", const std::string& keyFile = "");
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  int Port() const { return port_; }
  void Answer(int status, std::string body, std::string contentType = "text/plain");
  std::vector<Received> Requests();
  std::size_t Count();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::vector<Received> requests_;
  int status_ = 200;
  std::string body_ = "received";
  std::string contentType_ = "text/plain";
};

// A bare TCP server: reads each request (head and Content-Length body),
// then hands it to the handler. The handler writes what it likes and
// answers whether to close the connection now (true) or hold it open,
// unanswered, until the server stops (false).
class RawServer {
 public:
  using Handler = std::function<bool(int fd, const std::string& request)>;
  explicit RawServer(Handler handler);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int Port() const { return port_; }
  int Accepted() const { return accepted_.load(); }

 private:
  void Serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

// Writes all of `data` to fd.
void WriteAll(int fd, const std::string& data);

// Writes a self-signed certificate for CN 127.0.0.1 and its key as PEM.
bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile);

}  // namespace brivane::test
