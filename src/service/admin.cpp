#include "service/admin.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "base/config_store.h"
#include "base/log.h"
#include "base/secret_box.h"
#include "base/strings.h"
#include "db/settings.h"
#include "service/config.h"
#include "service/connection_guard.h"
#include "service/status_pages.h"

namespace brivane::service {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kText = "text/plain; charset=utf-8";
constexpr std::size_t kTailBytes = 64 * 1024;
// The form posts a few kilobytes; a larger body is refused (413) and not
// stored. Up to kMaxDrainedBody the library reads and drops it, so that the
// browser gets to see the answer; a longer one is refused at once and the
// connection closed, so that no thread spends its time draining it.
constexpr std::size_t kMaxRequestBody = 64 * 1024;
constexpr std::uint64_t kMaxDrainedBody = 4 * 1024 * 1024;

std::string NewToken() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw std::runtime_error("no random bytes for the token");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// The maker's name stays off the pages: it is also the default password.
std::string Footer() {
  return fmt::format("<p class=\"footer\">{} {}.{}.{}</p>", kProcessName, kVersionMajor,
                     kVersionMinor, kBuildNumber);
}

std::string SimplePage(const std::string& title, const std::string& bodyHtml) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + EscapeHtml(title) +
         "</title></head>\n<body>\n<h1>" + EscapeHtml(title) + "</h1>\n" + bodyHtml + "<hr>\n" +
         Footer() + "\n</body></html>\n";
}

// Pages of an administration tool are never cached, framed or sniffed. No
// page runs a script but the dashboard, which may load its own script and
// style sheet from this server and fetch its data from here, nothing else.
void SecurityHeaders(const std::string& path, httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  const bool dashboard = path == "/dashboard";
  // The dashboard's style comes from its own style sheet, the other pages'
  // from a <style> element of their own.
  std::string policy = std::string("default-src 'none'; style-src ") +
                       (dashboard ? "'self'" : "'unsafe-inline'") +
                       "; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
                       "base-uri 'none'";
  if (dashboard) policy += "; script-src 'self'; connect-src 'self'";
  res.set_header("Content-Security-Policy", policy);
}

// A scraper's request: the only one the metrics credential may make.
bool IsScrape(const httplib::Request& req) {
  return req.path == "/metrics" && (req.method == "GET" || req.method == "HEAD");
}

// Both comparisons always run, as for the administrator's login; an unset
// credential matches nothing, an empty password included.
bool ScrapeCredentialMatches(const AdminPagesState& state, std::string_view user,
                             std::string_view password) {
  const bool set = !state.metricsUserName.empty() && !state.metricsPassword.empty();
  const bool userOk = ConstantTimeEquals(user, state.metricsUserName);
  const bool passwordOk = ConstantTimeEquals(password, state.metricsPassword);
  return set & userOk & passwordOk;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

// The library keeps a body whose Content-Length is declared only up to
// kMaxRequestBody (413 beyond), but a chunked body, or one sent without a
// length until the connection closes, it would read whole into memory. Such
// requests are refused (411) before any of the body is read; browsers never
// send them to these pages.
bool UnboundedBody(const httplib::Request& req) {
  if (req.has_header("Transfer-Encoding")) return true;
  const bool takesBody = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                         req.method == "DELETE" || req.method == "PRI";
  return takesBody && !req.has_header("Content-Length");
}

bool TooLongToDrain(const httplib::Request& req) {
  if (!req.has_header("Content-Length")) return false;
  // Read as the library reads it: anything unparsable is 0, "-1" is huge.
  return std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
         kMaxDrainedBody;
}

std::string PeerOf(const httplib::Request& req) {
  return req.remote_addr.empty() ? "?" : req.remote_addr;
}

}  // namespace

struct AdminServer::Listener {
  // The guard outlives the server, whose workers it runs.
  std::unique_ptr<ConnectionGuard> guard;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  std::string address;
  std::uint16_t port = 0;
  std::string fingerprint;
  std::shared_ptr<const ServerCertificate> certificate;
  std::shared_ptr<int> socketFd = std::make_shared<int>(-1);  // the listening socket
  ~Listener() {
    if (thread.joinable()) {
      // stop() ends the accept loop and closes the listening socket.
      server->stop();
      thread.join();
    } else if (*socketFd >= 0) {
      // Bound but never run (made ready for a form, then not used): the
      // library closes a listening socket only in stop() of a running
      // server, so it would keep the port for the life of the process.
      ::close(*socketFd);
    }
  }
};

AdminServer::AdminServer(AdminHost& host, AdminPaths paths)
    : host_(host),
      paths_(std::move(paths)),
      token_(NewToken()),
      welcome_(RenderWelcomePage(::access((paths_.home + "/company.png").c_str(), R_OK) == 0)),
      state_(std::make_shared<AdminPagesState>()) {}

AdminServer::~AdminServer() { Stop(); }

void AdminServer::SetState(AdminPagesState state) {
  auto next = std::make_shared<const AdminPagesState>(std::move(state));
  base::MutexLock lock(stateMutex_);
  state_ = std::move(next);
}

void AdminServer::AddStartProblem(std::string problem) {
  base::MutexLock lock(stateMutex_);
  auto next = std::make_shared<AdminPagesState>(*state_);
  next->startProblems.push_back(std::move(problem));
  state_ = std::move(next);
}

std::shared_ptr<const AdminPagesState> AdminServer::State() const {
  base::MutexLock lock(stateMutex_);
  return state_;
}

std::unique_ptr<AdminServer::Listener> AdminServer::MakeListener(
    const std::string& address, std::uint16_t port,
    std::shared_ptr<const ServerCertificate> certificate, std::string* error) {
  if (port == 0) {
    *error = "port 0 is not a port to listen on";
    return nullptr;
  }
  auto next = std::make_unique<Listener>();
  next->address = address;
  next->port = port;
  next->fingerprint = certificate->Fingerprint();
  next->server = std::make_unique<httplib::SSLServer>(certificate->Cert(), certificate->Key());
  next->certificate = std::move(certificate);
  if (!next->server->is_valid()) {
    *error = "the TLS context cannot use the certificate";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(next->server->ssl_context(), TLS1_2_VERSION);
  next->guard = std::make_unique<ConnectionGuard>();
  ConnectionGuard* guard = next->guard.get();
  next->server->new_task_queue = [guard] { return guard->NewTaskQueue(); };
  guard->Watch(next->server->ssl_context());
  Configure(*next->server);
  // Address reuse, but never SO_REUSEPORT: a second process must not be able
  // to share the port unnoticed.
  next->server->set_socket_options([fd = next->socketFd](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    *fd = sock;
  });
  return next;
}

void AdminServer::Run(Listener& listener) {
  httplib::SSLServer* server = listener.server.get();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  listener.thread = std::thread([server, ended] {
    server->listen_after_bind();
    ended->store(true);
  });
  // stop() does nothing until the listener thread has marked the server as
  // running, so a stop coming sooner would leave the thread in accept()
  // for ever; wait for that mark before the listener can be stopped.
  while (!server->is_running() && !ended->load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

namespace {
// The library listens with a backlog of 5, which a burst of connections
// fills so that further ones wait for a SYN retry (a second or more); the
// socket is made to listen again with a longer queue.
constexpr int kListenBacklog = 512;

bool Bind(httplib::SSLServer& server, int* socketFd, const std::string& address, std::uint16_t port,
          std::string* error) {
  errno = 0;
  if (server.bind_to_port(address, port)) {
    if (*socketFd >= 0) ::listen(*socketFd, kListenBacklog);
    return true;
  }
  *socketFd = -1;  // the library has closed the socket it made
  *error = fmt::format("cannot listen on {}:{}: {}", address, port,
                       errno ? std::strerror(errno) : "bind failed");
  return false;
}
}  // namespace

bool AdminServer::Listen(const std::string& address, std::uint16_t port,
                         std::shared_ptr<const ServerCertificate> certificate, std::string* error) {
  std::unique_ptr<Listener> prepared;
  {
    base::MutexLock lock(preparedMutex_);
    prepared = std::move(prepared_);
  }
  if (listener_ && port == port_ && address == address_ &&
      certificate->Fingerprint() == fingerprint_)
    return true;

  std::unique_ptr<Listener> next;
  if (prepared && prepared->address == address && prepared->port == port &&
      prepared->fingerprint == certificate->Fingerprint()) {
    next = std::move(prepared);
  } else {
    prepared.reset();
    next = MakeListener(address, port, certificate, error);
    if (!next) return false;
    if (listener_ && port == port_) {
      // Our own old listener holds the port: it has to close first. Should
      // the new one then fail to bind, the old settings are bound again.
      auto oldCertificate = listener_->certificate;
      const std::string oldAddress = address_;
      listener_.reset();
      if (!Bind(*next->server, next->socketFd.get(), address, port, error)) {
        std::string ignored;
        auto back = MakeListener(oldAddress, port, oldCertificate, &ignored);
        if (back && Bind(*back->server, back->socketFd.get(), oldAddress, port, &ignored)) {
          Run(*back);
          listener_ = std::move(back);
        } else {
          base::MutexLock lock(preparedMutex_);
          port_ = 0;
          address_.clear();
          fingerprint_.clear();
        }
        return false;
      }
    } else if (!Bind(*next->server, next->socketFd.get(), address, port, error)) {
      return false;
    }
  }
  Run(*next);
  listener_ = std::move(next);  // the old listener, on another port, closes here
  base::MutexLock lock(preparedMutex_);
  port_ = port;
  address_ = address;
  fingerprint_ = certificate->Fingerprint();
  certificate_ = std::move(certificate);
  return true;
}

bool AdminServer::PrepareListener(const std::string& address, std::uint16_t port,
                                  std::string* error) {
  // The certificate is not on the form: the new listener keeps the one in use.
  std::shared_ptr<const ServerCertificate> certificate;
  std::uint16_t currentPort;
  {
    base::MutexLock lock(preparedMutex_);
    certificate = certificate_;
    if (!certificate) {
      *error = "the pages have no certificate yet";
      return false;
    }
    currentPort = port_;
    if (port == port_ && address == address_ && certificate->Fingerprint() == fingerprint_)
      return true;
  }
  auto next = MakeListener(address, port, certificate, error);
  if (!next) return false;
  // On the port in use now nothing can be bound beside it; the restart
  // closes the old listener and binds there itself.
  if (port != currentPort && !Bind(*next->server, next->socketFd.get(), address, port, error))
    return false;
  if (port == currentPort) next.reset();
  base::MutexLock lock(preparedMutex_);
  prepared_ = std::move(next);
  return true;
}

void AdminServer::Stop() {
  std::unique_ptr<Listener> prepared;
  {
    base::MutexLock lock(preparedMutex_);
    prepared = std::move(prepared_);
  }
  prepared.reset();
  listener_.reset();
  base::MutexLock lock(preparedMutex_);
  port_ = 0;
  address_.clear();
  fingerprint_.clear();
  certificate_.reset();
}

void AdminServer::Configure(httplib::SSLServer& server) {
  ConfigureGuards(server);
  RouteOpenPages(server);
  RouteAdminPages(server);
  RouteStatusPages(server);
}

void AdminServer::ConfigureGuards(httplib::SSLServer& server) {
  server.set_tcp_nodelay(true);
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(10, 0);
  server.set_payload_max_length(kMaxRequestBody);

  // Until its request has arrived a connection is bounded in time by the
  // guard; a request with a body arrives when its handler starts.
  server.set_logger([](const httplib::Request&, const httplib::Response&) {
    ConnectionGuard::ResponseWritten();
  });
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const std::string length = req.get_header_value("Content-Length");
    if (length.empty() || length == "0") ConnectionGuard::RequestArrived();
    SecurityHeaders(req.path, res);
    if (UnboundedBody(req)) {
      res.status = 411;
      res.set_header("Connection", "close");
      res.set_content(
          SimplePage("411 Length Required", "<p>A request body needs a Content-Length.</p>\n"),
          kHtml);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (TooLongToDrain(req)) {
      res.status = 413;
      res.set_header("Connection", "close");
      res.set_content(SimplePage("413 Payload Too Large", "<p>The request is too large.</p>\n"),
                      kHtml);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.path == "/" || req.path == "/welcome.html" || req.path == "/company.png")
      return httplib::Server::HandlerResponse::Unhandled;
    return Authorised(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                : httplib::Server::HandlerResponse::Handled;
  });
  server.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown";
        try {
          std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        base::LogF(1, "EXCEPTION|admin page {}:{};", LogSafe(req.path), LogSafe(what, 200));
        res.status = 500;
        res.set_content(SimplePage("Error", "<p>Internal error.</p>\n"), kHtml);
      });
}

void AdminServer::RouteOpenPages(httplib::SSLServer& server) {
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("welcome.html");
  });
  server.Get("/welcome.html", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(welcome_, kHtml);
  });
  server.Get("/company.png", [this](const httplib::Request&, httplib::Response& res) {
    std::ifstream in(paths_.home + "/company.png", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.empty()) {
      res.status = 404;
      return;
    }
    res.set_content(image, "image/png");
  });
}

void AdminServer::RouteAdminPages(httplib::SSLServer& server) {
  server.Get("/Parameters",
             [this](const httplib::Request& req, httplib::Response& res) { ServeForm(req, res); });
  server.Post("/Parameters", [this](const httplib::Request& req, httplib::Response& res) {
    AcceptForm(req, res);
  });
  server.Get("/tail_logfile", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(TailOfFile(paths_.logPath, kTailBytes), kText);
  });
  server.Get("/log",
             [this](const httplib::Request&, httplib::Response& res) { ServeWholeLog(res); });
}

// The pages that show the service's state; none of them changes anything.
void AdminServer::RouteStatusPages(httplib::SSLServer& server) {
  server.Get("/monitor", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(host_.MonitorText(), kText);
  });
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(host_.MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
  });
  server.Get("/dashboard", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(DashboardPage(), kHtml);
  });
  server.Get("/dashboard.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(DashboardScript(), "text/javascript; charset=utf-8");
  });
  server.Get("/dashboard.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(DashboardStyle(), "text/css; charset=utf-8");
  });
  server.Get("/dashboard.json", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(host_.DashboardJson(), "application/json; charset=utf-8");
  });
}

void AdminServer::ServeWholeLog(httplib::Response& res) {
  auto in = std::make_shared<std::ifstream>(paths_.logPath, std::ios::binary);
  if (!*in) {
    // No log yet (or unreadable): an empty page, as /tail_logfile gives.
    res.set_content("", kText);
    return;
  }
  in->seekg(0, std::ios::end);
  // The length is fixed when the request comes: lines written meanwhile
  // are for the next request, so a busy log never makes an endless answer.
  const std::streamoff size = std::max<std::streamoff>(0, in->tellg());
  in->seekg(0);
  res.set_content_provider(
      static_cast<std::size_t>(size), kText,
      [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        in->seekg(static_cast<std::streamoff>(offset));
        in->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
        const std::streamsize got = in->gcount();
        // A log cut short meanwhile (rotated with copytruncate) ends the answer.
        if (got <= 0) return false;
        return sink.write(buffer, static_cast<std::size_t>(got));
      });
}

bool AdminServer::Authorised(const httplib::Request& req, httplib::Response& res) {
  auto state = State();
  const std::string peer = PeerOf(req);
  const auto now = LoginThrottle::Clock::now();
  auto logDue = [&] {
    for (const auto& line : throttle_.DueLines(now)) base::LogF(2, "{}", line);
  };
  logDue();
  std::string user;
  std::string password;
  const bool given = req.has_header("Authorization");
  if (given) {
    // While an address waits after failed logins its attempts are not even
    // looked at, so guessing costs time whatever the guess.
    if (auto wait = throttle_.RetryAfter(peer, now); wait.count() > 0) {
      res.status = 429;
      res.set_header("Retry-After", std::to_string((wait.count() + 999) / 1000));
      res.set_content(SimplePage("429 Too Many Requests",
                                 "<p>Too many failed logins from this address; try again "
                                 "later.</p>\n"),
                      kHtml);
      return false;
    }
  }
  if (given && ParseBasicAuth(req.get_header_value("Authorization"), &user, &password)) {
    // Both comparisons always run, so the time taken tells nothing about
    // which of the two was wrong.
    bool userOk = ConstantTimeEquals(user, state->userName);
    bool passwordOk = ConstantTimeEquals(password, state->password);
    if (userOk & passwordOk & !state->loginDisabled) {
      throttle_.Succeeded(peer);
      return true;
    }
    if (IsScrape(req) && ScrapeCredentialMatches(*state, user, password)) {
      throttle_.Succeeded(peer);
      return true;
    }
  }
  if (given) {
    throttle_.Failed(peer, LogSafe(user), now);
    logDue();
  }
  res.status = 401;
  res.set_header("WWW-Authenticate", std::string("Basic realm=\"") + kProcessName + "\"");
  res.set_content(SimplePage("401 Unauthorized", "<p>Authentication required.</p>\n"), kHtml);
  return false;
}

void AdminServer::ServeForm(const httplib::Request&, httplib::Response& res) {
  res.set_content(RenderFormPage(*State(), token_), kHtml);
}

void AdminServer::AcceptForm(const httplib::Request& req, httplib::Response& res) {
  ConnectionGuard::RequestArrived();
  FormCheck check;
  if (!CheckPostedForm(req, res, &check)) return;
  // The listener the new settings need is made (and its port bound) before
  // anything is written: a failure leaves file, settings and listener as
  // they are.
  if (!PrepareListenerFor(check, res)) return;
  std::string newPort;
  if (!StoreForm(check, res, &newPort)) return;
  AnswerSaved(req, res, newPort);
}

bool AdminServer::CheckPostedForm(const httplib::Request& req, httplib::Response& res,
                                  FormCheck* check) {
  if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0) {
    res.status = 415;
    res.set_content(SimplePage("Not saved",
                               "<p>The form must be posted as "
                               "application/x-www-form-urlencoded.</p>\n"),
                    kHtml);
    return false;
  }
  auto posted = ParseFormBody(req.body);
  auto token = posted.find("token");
  if (token == posted.end() || !ConstantTimeEquals(token->second, token_)) {
    base::LogF(2, "信息：配置表单被拒绝（防伪令牌缺失或错误），来自 {}", PeerOf(req));
    res.status = 403;
    res.set_content(SimplePage("Not saved",
                               "<p>The form's anti-forgery token is missing or wrong; nothing was "
                               "saved. Open <a href=\"Parameters\">the form</a> again.</p>\n"),
                    kHtml);
    return false;
  }
  *check = CheckForm(posted);
  for (auto& e : LoginFieldErrors(posted)) check->errors.push_back(std::move(e));
  const auto shownNow = State();
  for (auto& change : check->changes) {
    const std::string_view key = change.field->key;
    if (key == "AdminPassword" && change.action == FieldChange::Action::kKeepPassword &&
        shownNow->password.empty() && !shownNow->loginDisabled)
      check->errors.push_back("AdminPassword: none is set; type one");
    if (key != "DataSource") continue;
    auto stored = shownNow->formShown.find("DataSource");
    const std::string current = stored == shownNow->formShown.end() ? "" : stored->second;
    if (change.value == db::MaskPasswords(current))
      change.value = current;
    else if (change.value.find("******") != std::string::npos)
      check->errors.push_back(
          "DataSource: type the password in place of ****** (or keep the rest unchanged)");
  }
  if (check->Ok()) return true;
  check->changes.clear();
  std::string list = "<p>Nothing was saved. Please correct:</p>\n<ul>\n";
  for (const auto& e : check->errors) list += "<li>" + EscapeHtml(e) + "</li>\n";
  list += "</ul>\n<p><a href=\"Parameters\">Back to the form</a></p>\n";
  res.status = 400;
  res.set_content(SimplePage("配置参数", list), kHtml);
  return false;
}

bool AdminServer::PrepareListenerFor(const FormCheck& check, httplib::Response& res) {
  auto state = State();
  std::string newPortText = std::to_string(Port());
  bool weakPassword = state->password.empty() || state->password == kDefaultAdminPassword;
  for (const auto& change : check.changes) {
    const std::string_view key = change.field->key;
    if (key == "HTTPPort") newPortText = change.value;
    if (key == "AdminPassword" && change.action == FieldChange::Action::kSet)
      weakPassword = change.value == kDefaultAdminPassword;
  }
  std::string listenError;
  const auto newPort = static_cast<std::uint16_t>(std::strtoul(newPortText.c_str(), nullptr, 10));
  if (PrepareListener(ListenAddressFor(state->listenAddress, weakPassword), newPort, &listenError))
    return true;
  base::LogF(2, "信息：配置参数未保存：{}", listenError);
  res.status = 409;
  res.set_content(SimplePage("Not saved",
                             "<p>Nothing was saved; the service keeps running as it was. The "
                             "pages cannot be served with the new settings: " +
                                 EscapeHtml(listenError) +
                                 "</p>\n<p><a href=\"Parameters\">Back to the form</a></p>\n"),
                  kHtml);
  return false;
}

bool AdminServer::StoreForm(const FormCheck& check, httplib::Response& res, std::string* newPort) {
  base::ConfigSection section(paths_.configPath, kSectionName, paths_.keyPath);
  std::string error;
  section.Load();  // keys it could not parse are left as they are by Save
  bool ok = true;
  for (const auto& change : check.changes) {
    const char* key = change.field->key;
    switch (change.action) {
      case FieldChange::Action::kKeepPassword:
        break;
      case FieldChange::Action::kClearPassword:
        ok = ok && section.SetString(key, "", &error);
        break;
      case FieldChange::Action::kSet:
        if (change.field->kind == FieldKind::kPassword)
          ok = ok && section.SetPassword(key, change.value, &error);
        else
          ok = ok && section.SetString(key, change.value, &error);
        break;
    }
    if (std::string_view(key) == "HTTPPort") *newPort = change.value;
  }
  ok = ok && section.Save(&error);
  if (ok) return true;
  std::unique_ptr<Listener> unused;
  {
    base::MutexLock lock(preparedMutex_);
    unused = std::move(prepared_);
  }
  base::LogF(1, "严重：配置参数保存失败：{}", error);
  res.status = 500;
  res.set_content(SimplePage("Not saved", "<p>The configuration could not be saved: " +
                                              EscapeHtml(error) + "</p>\n"),
                  kHtml);
  return false;
}

void AdminServer::AnswerSaved(const httplib::Request& req, httplib::Response& res,
                              const std::string& newPort) {
  std::string user;
  std::string password;
  ParseBasicAuth(req.get_header_value("Authorization"), &user, &password);
  base::LogF(2, "信息：配置参数已保存：用户名 \"{}\"，来自 {}", LogSafe(user), PeerOf(req));

  std::string host = req.get_header_value("Host");
  if (auto colon = host.rfind(':');
      colon != std::string::npos && host.find(']', colon) == std::string::npos)
    host.resize(colon);
  std::string next = host.empty() || newPort.empty()
                         ? "Parameters"
                         : "https://" + host + ":" + newPort + "/Parameters";
  auto body = std::make_shared<std::string>(
      SimplePage("配置参数",
                 "<p>The configuration has been saved. The service restarts now.</p>\n"
                 "<p>How the restart went is shown at the top of the form.</p>\n"
                 "<p><a href=\"" +
                     EscapeHtml(next) + "\">Back to the form</a></p>\n"));
  // The restart must not start before the answer is out: the releaser runs
  // when the response object is done with, after it has been written.
  res.set_content_provider(
      body->size(), kHtml,
      [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset >= body->size()) return false;
        sink.write(body->data() + offset, std::min(length, body->size() - offset));
        return true;
      },
      [this](bool) { host_.OnFormAccepted(); });
}

std::string ListenAddressFor(const std::string& configured, bool weakPassword) {
  if (weakPassword) return "127.0.0.1";
  return configured.empty() ? "0.0.0.0" : configured;
}

std::vector<std::string> LoginFieldErrors(const std::multimap<std::string, std::string>& posted) {
  std::vector<std::string> errors;
  auto first = [&](const std::string& name) -> const std::string* {
    auto it = posted.find(name);
    return it == posted.end() ? nullptr : &it->second;
  };
  const std::string* clear = first("AdminPassword.clear");
  if (clear && !clear->empty())
    errors.push_back("AdminPassword: may not be empty; the pages would open to anyone");
  const std::string* user = first("AdminUserName");
  if (user && user->find(':') != std::string::npos)
    errors.push_back("AdminUserName: may not contain ':', which ends the name in a login");
  return errors;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::multimap<std::string, std::string> ParseFormBody(std::string_view body) {
  std::multimap<std::string, std::string> out;
  while (!body.empty()) {
    auto amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (pair.empty()) continue;
    auto eq = pair.find('=');
    std::string name = UrlDecode(pair.substr(0, eq));
    std::string value = eq == std::string_view::npos ? "" : UrlDecode(pair.substr(eq + 1));
    out.emplace(std::move(name), std::move(value));
  }
  return out;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  // Comparing digests makes the time independent of where the texts differ
  // and of their lengths.
  unsigned char da[SHA256_DIGEST_LENGTH];
  unsigned char db[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), da);
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), db);
  return CRYPTO_memcmp(da, db, sizeof da) == 0;
}

bool ParseBasicAuth(std::string_view header, std::string* user, std::string* password) {
  user->clear();
  password->clear();
  constexpr std::string_view kBasic = "basic ";
  if (header.size() <= kBasic.size() || !base::StartsWithNoCase(header, kBasic)) return false;
  std::string_view encoded = header.substr(kBasic.size());
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  while (!encoded.empty() && encoded.back() == ' ') encoded.remove_suffix(1);
  std::string decoded;
  if (!base::Base64Decode(encoded, &decoded)) return false;
  auto colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  *user = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return true;
}

namespace {

// A select of the field's choices. A stored value that is none of them is
// shown too, marked, so that the page tells what is in use; saving it is
// refused.
std::string ChoiceInput(const FormField& field, const std::string& value) {
  std::string input = fmt::format("<select id=\"{0}\" name=\"{0}\">", field.key);
  bool found = false;
  for (std::size_t i = 0; i < field.choices.size() && field.choices[i]; ++i) {
    const bool selected = base::EqualsNoCase(value, field.choices[i]);
    found = found || selected;
    input += fmt::format("<option value=\"{}\"{}>{}</option>", field.choices[i],
                         selected ? " selected" : "",
                         EscapeHtml(field.labels[i] ? field.labels[i] : field.choices[i]));
  }
  if (!found)
    input += fmt::format("<option value=\"{0}\" selected>{0} (not supported)</option>",
                         EscapeHtml(value));
  return input + "</select>";
}

std::string FieldInput(const FormField& field, const std::string& value) {
  const std::string key = field.key;
  if (field.shape == base::ValueShape::kEnumeration) return ChoiceInput(field, value);
  switch (field.kind) {
    case FieldKind::kInteger: {
      std::string input = fmt::format(
          "<input type=\"number\" id=\"{0}\" name=\"{0}\" min=\"{1}\" max=\"{2}\" "
          "value=\"{3}\" required>",
          key, field.min, field.max, EscapeHtml(value));
      if (*field.unit) input += " " + EscapeHtml(field.unit);
      return input;
    }
    case FieldKind::kString:
      return fmt::format("<input type=\"text\" id=\"{0}\" name=\"{0}\" size=\"{1}\" value=\"{2}\">",
                         key, field.width, EscapeHtml(value));
    case FieldKind::kPassword:
      // The stored password never goes back to the browser.
      return fmt::format(
          "<input type=\"password\" id=\"{0}\" name=\"{0}\" size=\"{1}\" value=\"\" "
          "placeholder=\"(unchanged)\" autocomplete=\"new-password\"> "
          "<label><input type=\"checkbox\" name=\"{0}.clear\" value=\"1\"> clear</label>",
          key, field.width);
    case FieldKind::kBoolean:
      return fmt::format("<input type=\"checkbox\" id=\"{0}\" name=\"{0}\" value=\"true\"{1}>", key,
                         value == "true" ? " checked" : "");
  }
  return {};
}

// How the last start or restart went.
std::string StartOutcome(const AdminPagesState& state) {
  if (state.startOutcome.empty()) return {};
  std::string html = "<div class=\"outcome\"><p>" + EscapeHtml(state.startOutcome);
  if (state.startProblems.empty()) return html + ": no problems found.</p></div>\n";
  html += fmt::format(": {} problem(s) found:</p>\n<ul>\n", state.startProblems.size());
  for (const auto& problem : state.startProblems) html += "<li>" + EscapeHtml(problem) + "</li>\n";
  return html + "</ul></div>\n";
}

}  // namespace

std::string RenderFormPage(const AdminPagesState& state, const std::string& token) {
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>配置参数</title>\n"
      "<style>body{font-family:sans-serif;margin:1.5em}th{text-align:left;padding-right:1em;"
      "white-space:nowrap}td{padding:.2em .6em .2em "
      "0}td.input{white-space:nowrap}td.help{color:#444;font-size:.9em}"
      "tr:nth-child(even){background:#f4f4f4}div.outcome{border:1px solid #999;padding:0 .8em;"
      "margin-bottom:1em}</style></head>\n<body>\n<h1>配置参数</h1>\n" +
      StartOutcome(state) +
      "<form method=\"post\" action=\"Parameters\" accept-charset=\"UTF-8\">\n"
      "<input type=\"hidden\" name=\"token\" value=\"" +
      EscapeHtml(token) + "\">\n<table>\n";
  for (const auto& field : kFormFields) {
    const std::string key = field.key;
    auto shown = state.formShown.find(key);
    std::string value = shown == state.formShown.end() ? "" : shown->second;
    // A DSN-less DataSource may carry a password; the form shows it masked
    // as the log does, and a save that posts the mask back keeps it.
    if (key == "DataSource") value = db::MaskPasswords(value);
    html += fmt::format(
        "<tr><th><label for=\"{0}\">{0}</label></th><td class=\"input\">{1}</td><td "
        "class=\"help\">{2}</td></tr>\n",
        key, FieldInput(field, value), field.helpHtml);
  }
  html +=
      "</table>\n<p><input type=\"submit\" value=\"Accept\"> <input type=\"reset\" "
      "value=\"Reset\"></p>\n</form>\n<p><a href=\"welcome.html\">Home</a></p>\n<hr>\n" +
      Footer() + "\n</body></html>\n";
  return html;
}

std::string RenderWelcomePage(bool withGraphic) {
  std::string html =
      std::string("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Welcome to ") +
      kProcessName + "</title></head>\n<body>\n";
  if (withGraphic)
    html += std::string("<img src=\"company.png\" width=\"468\" height=\"60\" alt=\"") +
            kProcessName + "\">\n";
  html += std::string("<h1>") + kProcessName + "</h1>\n";
  html += "<p><CENTER>\r\n";
  html += "<a href=\"Parameters\">System Parameters</a>\n";
  html += "<p><a href=\"log\">Full Log File</a>\n";
  html += "<br><a href=\"tail_logfile\">Tail Log File</a>\n";
  html += "<p><a href=\"dashboard\">Dashboard</a>\n";
  html += "<br><a href=\"monitor\">Monitor</a>\n";
  html += "<br><a href=\"metrics\">Metrics</a>\n";
  html += "<p><hr>\n" + Footer() + "\n</body></html>\n";
  return html;
}

std::string TailOfFile(const std::string& path, std::size_t maxBytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size <= 0) return {};
  std::streamoff start = size > static_cast<std::streamoff>(maxBytes)
                             ? size - static_cast<std::streamoff>(maxBytes)
                             : 0;
  in.seekg(start);
  std::string text(static_cast<std::size_t>(size - start), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (start > 0) {
    auto nl = text.find('\n');
    text.erase(0, nl == std::string::npos ? 0 : nl + 1);
  }
  return text;
}

std::string LogSafe(std::string_view text, std::size_t maxBytes) {
  std::string out;
  for (char c : text.substr(0, maxBytes)) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '"' || c == '\\')
      out += fmt::format("\\x{:02x}", u);
    else
      out += c;
  }
  if (text.size() > maxBytes) out += "...";
  return out;
}

}  // namespace brivane::service
