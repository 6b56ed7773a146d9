#include "base/log.h"

#include <fcntl.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace brivane::base {
namespace {

// Guards logger_ and path_; the hot path takes only a shared copy of the
// pointer under the lock, never the file write.
std::mutex gMutex;
std::shared_ptr<spdlog::logger> gLogger;
std::string gPath;
std::atomic<int> gLevel{0};

// The sink opens the file with fopen, which would create it 0666 less the
// umask; create it first with the mode we want.
void CreateLogFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  ::close(fd);
}

std::shared_ptr<spdlog::logger> MakeLogger(const std::string& path) {
  CreateLogFile(path);
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
  auto logger = std::make_shared<spdlog::logger>("brivane", std::move(sink));
  logger->set_pattern("%Y/%m/%d %H:%M:%S.%e\t%v");
  logger->set_level(spdlog::level::trace);
  logger->flush_on(spdlog::level::trace);
  return logger;
}

std::shared_ptr<spdlog::logger> Current() {
  std::lock_guard lock(gMutex);
  return gLogger;
}

}  // namespace

bool OpenLog(const std::string& path, int level, std::string* error) {
  SetLogLevel(level);
  std::lock_guard lock(gMutex);
  if (gLogger && path == gPath) return true;
  try {
    auto logger = MakeLogger(path);
    gLogger = std::move(logger);
    gPath = path;
    return true;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return false;
  }
}

bool ReopenLog() {
  std::lock_guard lock(gMutex);
  if (gPath.empty()) return false;
  try {
    // Drop the old sink first so the rotated file is closed before the new
    // one is created under the same name.
    gLogger.reset();
    gLogger = MakeLogger(gPath);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void CloseLog() {
  std::lock_guard lock(gMutex);
  gLogger.reset();
  gPath.clear();
}

void SetLogLevel(int level) { gLevel.store(level, std::memory_order_relaxed); }

int GetLogLevel() { return gLevel.load(std::memory_order_relaxed); }

bool LogEnabled(int level) {
  int current = gLevel.load(std::memory_order_relaxed);
  return current > 0 && level <= current;
}

void LogWrite(int level, std::string_view text) {
  if (!LogEnabled(level)) return;
  auto logger = Current();
  if (!logger) return;
  std::string line = EscapeControls(text, true);
  if (line.find("://") != std::string::npos) line = MaskUrlCredentials(line);
  logger->info("{}", line);
  // Severe and error lines also reach the journal (standard error).
  if (level == 1 || line.find("ERROR|") != std::string::npos ||
      line.find("EXCEPTION|") != std::string::npos) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
  }
}

std::string EscapeControls(std::string_view text, bool keepTab) {
  std::size_t i = 0;
  auto isControl = [keepTab](unsigned char u) {
    return (u < 0x20 && !(keepTab && u == '\t')) || u == 0x7F;
  };
  while (i < text.size() && !isControl(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size()) return std::string(text);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(text.substr(0, i));
  out.reserve(text.size() + 16);
  for (; i < text.size(); ++i) {
    auto u = static_cast<unsigned char>(text[i]);
    if (isControl(u)) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string MaskUrlCredentials(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (;;) {
    std::size_t sep = text.find("://", from);
    if (sep == std::string_view::npos) break;
    std::size_t authority = sep + 3;
    // The authority ends at the path, query, fragment or any blank; the
    // user information is what comes before its last '@'.
    std::size_t end = authority;
    while (end < text.size() && std::strchr("/?#\\ \t\"'<>", text[end]) == nullptr &&
           static_cast<unsigned char>(text[end]) > 0x20)
      ++end;
    std::size_t at = text.substr(authority, end - authority).rfind('@');
    out.append(text.substr(from, authority - from));
    if (at != std::string_view::npos) {
      out += "***";
      out.append(text.substr(authority + at, end - authority - at));
    } else {
      out.append(text.substr(authority, end - authority));
    }
    from = end;
  }
  out.append(text.substr(from));
  return out;
}

void FlushLog() {
  if (auto logger = Current()) logger->flush();
}

}  // namespace brivane::base
