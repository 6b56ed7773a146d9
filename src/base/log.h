#pragma once
// The service's one text log, "brivane.log": each line is the local time
// "yyyy/MM/dd hh:mm:ss.uuu", a tab and the message. Levels 1 severe,
// 2 error and important information, 3 warning and detail, 4 message detail;
// a line is written only when its level is at or below the configured level,
// and level 0 writes nothing. Thread-safe: any thread may write.
// Message texts are written as UTF-8; callers that hold GBK text convert it
// (base/text.h) before they log it.

#include <string>
#include <string_view>

#include <fmt/format.h>

namespace brivane::base {

// Opens (or reopens) the log file for appending and sets the level. Returns
// false with a reason in *error when the file cannot be opened; the previous
// sink, if any, stays in place then.
bool OpenLog(const std::string& path, int level, std::string* error = nullptr);

// Closes and reopens the current file, for log rotation.
bool ReopenLog();

// Closes the file; later lines go nowhere until OpenLog is called again.
void CloseLog();

void SetLogLevel(int level);
int GetLogLevel();

// True when a line of this level would be written; test it before building
// an expensive message.
bool LogEnabled(int level);

void LogWrite(int level, std::string_view text);

// Flushes buffered lines to the file (tests read it right after writing).
void FlushLog();

template <typename... Args>
void LogF(int level, fmt::format_string<Args...> f, Args&&... args) {
  if (!LogEnabled(level)) return;
  LogWrite(level, fmt::format(f, std::forward<Args>(args)...));
}

}  // namespace brivane::base
