#pragma once
// Millisecond ticks and local-time texts. Ticks are 32-bit milliseconds of a
// monotonic clock; elapsed time is always an unsigned 32-bit subtraction, so
// the wrap after 49.7 days is harmless.

#include <cstdint>
#include <string>

namespace brivane::base {

std::uint32_t TickCount();

constexpr std::uint32_t TicksSince(std::uint32_t start, std::uint32_t now) { return now - start; }
inline std::uint32_t TicksSince(std::uint32_t start) { return TickCount() - start; }

// "YYYY-MM-DD hh:mm:ss" in local time.
std::string LocalTimeText();

// The 10-digit "MMDDhhmmss" of the local time, as CMPP login timestamps use.
std::string CmppTimestampText();

}  // namespace brivane::base
