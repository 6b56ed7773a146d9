#include "support/http_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "support/process.h"

namespace brivane::test {

HttpReceiver::HttpReceiver(const std::string& certFile, const std::string& keyFile) {
  if (certFile.empty())
    server_ = std::make_unique<httplib::Server>();
  else
    server_ = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
  server_->set_tcp_nodelay(true);
  server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mutex_);
    requests_.push_back({req.path, req.body, req.params, req.headers});
    res.status = status_;
    res.set_content(body_, contentType_.c_str());
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ > 0) thread_ = std::thread([this] { server_->listen_after_bind(); });
  WaitFor([this] { return server_->is_running(); }, std::chrono::seconds(5));
}

HttpReceiver::~HttpReceiver() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void HttpReceiver::Answer(int status, std::string body, std::string contentType) {
  std::lock_guard lock(mutex_);
  status_ = status;
  body_ = std::move(body);
  contentType_ = std::move(contentType);
}

std::vector<Received> HttpReceiver::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t HttpReceiver::Count() {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

RawServer::RawServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return;
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    while (!stop_.load()) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted_;
      std::lock_guard lock(mutex_);
      connections_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

RawServer::~RawServer() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& t : connections_) t.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void RawServer::Serve(int fd) {
  std::string request;
  std::size_t need = std::string::npos;
  char buf[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!stop_.load() && std::chrono::steady_clock::now() < deadline) {
    if (need != std::string::npos && request.size() >= need) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    request.append(buf, static_cast<std::size_t>(n));
    std::size_t head = request.find("\r\n\r\n");
    if (need == std::string::npos && head != std::string::npos) {
      std::size_t body = 0;
      std::size_t at = request.find("Content-Length:");
      if (at != std::string::npos && at < head) body = std::strtoul(&request[at + 15], nullptr, 10);
      need = head + 4 + body;
    }
  }
  bool close = handler_(fd, request);
  if (!close) {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stop_.load(); });
  }
  ::close(fd);
}

void WriteAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    off += static_cast<std::size_t>(n);
  }
}

bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key && cert;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    ok = X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* f = std::fopen(certFile.c_str(), "w");
    ok = f && PEM_write_X509(f, cert) == 1;
    if (f) std::fclose(f);
  }
  if (ok) {
    FILE* f = std::fopen(keyFile.c_str(), "w");
    ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (f) std::fclose(f);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace brivane::test
