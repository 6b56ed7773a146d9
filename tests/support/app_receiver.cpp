#include "support/app_receiver.h"

#include "support/process.h"

namespace brivane::test {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 &&
               HexDigit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace

FormFields DecodeForm(std::string_view body) {
  FormFields fields;
  while (!body.empty()) {
    std::size_t amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos)
      fields.emplace_back(Unescape(pair), "");
    else
      fields.emplace_back(Unescape(pair.substr(0, eq)), Unescape(pair.substr(eq + 1)));
  }
  return fields;
}

std::string AppRequest::Field(std::string_view name) const {
  for (const auto& [k, v] : fields)
    if (k == name) return v;
  return "<missing>";
}

AppReceiver::AppReceiver() {
  server_.set_tcp_nodelay(true);
  server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    AppRequest r;
    r.path = req.path;
    r.body = req.body;
    r.contentType = req.get_header_value("Content-Type");
    r.hasUserAgent = req.has_header("User-Agent");
    r.fields = DecodeForm(req.body);
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(r));
    auto it = answers_.find(req.path);
    if (it == answers_.end()) {
      res.status = 200;
      res.set_content("OK", "text/plain");
    } else {
      res.status = it->second.first;
      res.set_content(it->second.second, "text/plain; charset=utf-8");
    }
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ > 0) {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    WaitFor([this] { return server_.is_running(); }, std::chrono::seconds(5));
  }
}

AppReceiver::~AppReceiver() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string AppReceiver::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void AppReceiver::AnswerOn(const std::string& path, int status, std::string body) {
  std::lock_guard lock(mutex_);
  answers_[path] = {status, std::move(body)};
}

std::vector<AppRequest> AppReceiver::Requests(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (path.empty()) return requests_;
  std::vector<AppRequest> out;
  for (const auto& r : requests_)
    if (r.path == path) out.push_back(r);
  return out;
}

std::size_t AppReceiver::Count(const std::string& path) { return Requests(path).size(); }

bool AppReceiver::WaitCount(std::size_t atLeast, std::chrono::milliseconds timeout,
                            const std::string& path) {
  return WaitFor([&] { return Count(path) >= atLeast; }, timeout);
}

}  // namespace brivane::test
