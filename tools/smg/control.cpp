#include "control.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>

#include "smg_server.h"

namespace brivane::smg {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// A whole decimal number within [low, high].
bool ParseNumber(std::string_view text, std::uint64_t low, std::uint64_t high,
                 std::uint64_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= low && value <= high;
}

std::vector<std::string> Reply(std::string line) { return {std::move(line)}; }
std::vector<std::string> Error(const std::string& reason) { return {"ERR " + reason}; }

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view hex) {
  if (hex == "-") return std::vector<std::uint8_t>{};
  if (hex.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]);
    const int lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return bytes;
}

std::string SplitLongMo(std::span<const std::uint8_t> content, std::uint8_t msgFmt, bool ref16,
                        unsigned ref, std::vector<std::vector<std::uint8_t>>& parts) {
  parts.clear();
  if (content.empty()) return "empty content";
  if (ref > (ref16 ? 0xFFFFu : 0xFFu)) return "reference out of range";
  std::size_t size = ref16 ? 133 : 134;
  if (msgFmt == 8 && size % 2 != 0) --size;
  const std::size_t count = (content.size() + size - 1) / size;
  if (count > 255) return "content needs more than 255 parts";
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<std::uint8_t> part;
    if (ref16) {
      part = {0x06, 0x08, 0x04, static_cast<std::uint8_t>(ref >> 8),
              static_cast<std::uint8_t>(ref & 0xFF)};
    } else {
      part = {0x05, 0x00, 0x03, static_cast<std::uint8_t>(ref)};
    }
    part.push_back(static_cast<std::uint8_t>(count));
    part.push_back(static_cast<std::uint8_t>(i + 1));
    const auto piece = content.subspan(i * size, std::min(size, content.size() - i * size));
    part.insert(part.end(), piece.begin(), piece.end());
    parts.push_back(std::move(part));
  }
  return "";
}

std::string ParseOrder(std::string_view text, std::size_t parts, std::vector<std::size_t>& order) {
  order.clear();
  if (text == "-") {
    for (std::size_t i = 1; i <= parts; ++i) order.push_back(i);
    return "";
  }
  while (true) {
    const std::size_t comma = text.find(',');
    std::uint64_t number = 0;
    if (!ParseNumber(text.substr(0, comma), 1, parts, number)) {
      return "bad part number in ORDER (1.." + std::to_string(parts) + ")";
    }
    order.push_back(static_cast<std::size_t>(number));
    if (comma == std::string_view::npos) return "";
    text.remove_prefix(comma + 1);
  }
}

// ---------------------------------------------------------------- commands

std::vector<std::string> ControlServer::Execute(const std::string& line) {
  const std::vector<std::string> w = Words(line);
  if (w.empty()) return Error("unknown command");
  const std::string& cmd = w[0];
  std::uint64_t n1 = 0;
  std::uint64_t n2 = 0;

  if (cmd == "stats") return Reply(server_.StatsLine());
  if (cmd == "reset") {
    server_.Reset();
    return Reply("OK");
  }
  if (cmd == "set") {
    if (w.size() != 3) return Error("usage: set KEY VALUE");
    const std::string reason = server_.Set(w[1], w[2]);
    return reason.empty() ? Reply("OK") : Error(reason);
  }
  if (cmd == "mo") {
    if (w.size() < 5 || w.size() > 7) return Error("usage: mo SRC DEST FMT HEX [SERVICE [LINKID]]");
    if (!ParseNumber(w[3], 0, 255, n1)) return Error("FMT must be 0..255");
    auto content = ParseHex(w[4]);
    if (!content) return Error("HEX is not hex");
    if (content->size() > 255) return Error("content longer than 255 bytes");
    MoMessage mo;
    mo.src = w[1];
    mo.dest = w[2];
    mo.fmt = static_cast<std::uint8_t>(n1);
    mo.content = std::move(*content);
    if (w.size() > 5) mo.service = w[5];
    if (w.size() > 6) mo.linkId = w[6];
    auto conn = server_.NextLoggedIn();
    if (!conn) return Error("no logged-in connection");
    std::uint32_t seq = 0;
    if (!server_.SendMo(*conn, mo, &seq)) return Error("write failed");
    return Reply("OK seq=" + std::to_string(seq));
  }
  if (cmd == "mo-long") {
    if (w.size() < 8 || w.size() > 10) {
      return Error("usage: mo-long SRC DEST FMT REF16 REF ORDER HEX [SERVICE [LINKID]]");
    }
    if (!ParseNumber(w[3], 0, 255, n1)) return Error("FMT must be 0..255");
    if (!ParseNumber(w[4], 0, 1, n2)) return Error("REF16 must be 0 or 1");
    std::uint64_t ref = 0;
    if (!ParseNumber(w[5], 0, n2 ? 0xFFFF : 0xFF, ref)) return Error("REF out of range");
    auto content = ParseHex(w[7]);
    if (!content) return Error("HEX is not hex");
    std::vector<std::vector<std::uint8_t>> parts;
    if (std::string reason = SplitLongMo(*content, static_cast<std::uint8_t>(n1), n2 == 1,
                                         static_cast<unsigned>(ref), parts);
        !reason.empty()) {
      return Error(reason);
    }
    std::vector<std::size_t> order;
    if (std::string reason = ParseOrder(w[6], parts.size(), order); !reason.empty()) {
      return Error(reason);
    }
    // All parts go on one connection, in the order asked for.
    auto conn = server_.NextLoggedIn();
    if (!conn) return Error("no logged-in connection");
    MoMessage mo;
    mo.src = w[1];
    mo.dest = w[2];
    mo.fmt = static_cast<std::uint8_t>(n1);
    mo.udhi = 1;
    if (w.size() > 8) mo.service = w[8];
    if (w.size() > 9) mo.linkId = w[9];
    for (std::size_t number : order) {
      mo.content = parts[number - 1];
      if (!server_.SendMo(*conn, mo, nullptr)) return Error("write failed");
    }
    // Said only when some part is missing or repeated, so that the agreed
    // reply stays "OK parts=N" for a whole message.
    std::string reply = "OK parts=" + std::to_string(parts.size());
    std::vector<std::size_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    bool whole = sorted.size() == parts.size();
    for (std::size_t i = 0; whole && i < sorted.size(); ++i) whole = sorted[i] == i + 1;
    if (!whole) reply += " sent=" + std::to_string(order.size());
    return Reply(reply);
  }
  if (cmd == "mo-load") {
    if (w.size() != 3 && w.size() != 5 && !(w.size() == 6 && w[5] == "stamp"))
      return Error("usage: mo-load RATE COUNT [SRC DEST [stamp]]");
    if (!ParseNumber(w[1], 0, 1000000, n1)) return Error("RATE must be 0..1000000");
    if (!ParseNumber(w[2], 0, UINT64_MAX, n2)) return Error("COUNT must be a number");
    server_.StartMoLoad(static_cast<double>(n1), n2, w.size() >= 5 ? w[3] : "13800138000",
                        w.size() >= 5 ? w[4] : "1065800", w.size() == 6);
    return Reply("OK");
  }
  if (cmd == "active-test" && w.size() == 1) {
    return Reply("OK n=" + std::to_string(server_.ActiveTestAll()));
  }
  if (cmd == "terminate" && w.size() == 1) {
    return Reply("OK n=" + std::to_string(server_.TerminateAll()));
  }
  if (cmd == "drop" && w.size() == 1) return Reply("OK n=" + std::to_string(server_.DropAll()));
  if (cmd == "raw") {
    if (w.size() != 2) return Error("usage: raw HEX");
    auto bytes = ParseHex(w[1]);
    if (!bytes || bytes->empty()) return Error("HEX is not hex");
    return Reply("OK n=" + std::to_string(server_.RawAll(*bytes)));
  }
  if (cmd == "submits") {
    if (w.size() > 3) return Error("usage: submits [FROM [COUNT]]");
    if (w.size() > 1 && !ParseNumber(w[1], 0, UINT64_MAX, n1))
      return Error("FROM must be a number");
    n2 = UINT64_MAX;
    if (w.size() > 2 && !ParseNumber(w[2], 0, UINT64_MAX, n2))
      return Error("COUNT must be a number");
    std::vector<std::string> lines = server_.Submits(n1, n2);
    lines.insert(lines.begin(), "OK n=" + std::to_string(lines.size()));
    return lines;
  }
  if (cmd == "connections" && w.size() == 1) {
    std::vector<std::string> lines = server_.ConnectionLines();
    lines.insert(lines.begin(), "OK n=" + std::to_string(lines.size()));
    return lines;
  }
  if (cmd == "quit" && w.size() == 1) return Reply("OK");
  return Error("unknown command");
}

// ---------------------------------------------------------------- sockets

bool ControlServer::Start(int port, std::string* error) {
  return listener_.Start(
      port, [this](int fd, int) { Accept(fd); }, error);
}

void ControlServer::Stop() {
  listener_.Stop();
  std::vector<std::unique_ptr<Client>> all;
  {
    std::lock_guard lock(clientsMutex_);
    stopping_ = true;
    all.swap(clients_);
  }
  for (auto& c : all) ::shutdown(c->fd, SHUT_RDWR);
  for (auto& c : all) {
    if (c->thread.joinable()) c->thread.join();
    ::close(c->fd);
  }
}

void ControlServer::Accept(int fd) {
  std::lock_guard lock(clientsMutex_);
  if (stopping_) {
    ::close(fd);
    return;
  }
  // Reap clients that have gone (their threads have returned or are about to).
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      ::close((*it)->fd);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
  auto client = std::make_unique<Client>();
  client->fd = fd;
  Client* raw = client.get();
  client->thread = std::thread([this, raw] { Serve(*raw); });
  clients_.push_back(std::move(client));
}

void ControlServer::Serve(Client& client) {
  std::string buffer;
  char chunk[4096];
  bool open = true;
  while (open) {
    const ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t newline;
    while (open && (newline = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string reply;
      for (const std::string& l : Execute(line)) reply += l + "\n";
      if (!WriteAll(client.fd, reply)) open = false;
      if (Words(line) == std::vector<std::string>{"quit"} && onQuit_) onQuit_();
    }
    if (buffer.size() > kMaxLine) {
      WriteAll(client.fd, "ERR line too long\n");
      break;
    }
  }
  ::shutdown(client.fd, SHUT_RDWR);
  client.done = true;
}

}  // namespace brivane::smg
