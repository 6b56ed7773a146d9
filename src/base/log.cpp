#include "base/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

namespace brivane::base {
namespace {

// Guards logger_ and path_; the hot path takes only a shared copy of the
// pointer under the lock, never the file write.
std::mutex gMutex;
std::shared_ptr<spdlog::logger> gLogger;
std::string gPath;
std::atomic<int> gLevel{0};

std::shared_ptr<spdlog::logger> MakeLogger(const std::string& path) {
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
  logger->info("{}", text);
  // Severe and error lines also reach the journal (standard error).
  if (level == 1 || text.find("ERROR|") != std::string_view::npos ||
      text.find("EXCEPTION|") != std::string_view::npos) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
  }
}

void FlushLog() {
  if (auto logger = Current()) logger->flush();
}

}  // namespace brivane::base
