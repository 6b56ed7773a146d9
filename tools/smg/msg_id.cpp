#include "msg_id.h"

#include <cstdio>

namespace brivane::smg {

std::uint64_t ComposeMsgId(const MsgIdFields& f) {
  std::uint64_t v = f.month & 0xFu;
  v = (v << 5) | (f.day & 0x1Fu);
  v = (v << 5) | (f.hour & 0x1Fu);
  v = (v << 6) | (f.minute & 0x3Fu);
  v = (v << 6) | (f.second & 0x3Fu);
  v = (v << 22) | (f.gatewayCode & kMaxGatewayCode);
  v = (v << 16) | (f.sequence & 0xFFFFu);
  return v;
}

MsgIdFields SplitMsgId(std::uint64_t v) {
  MsgIdFields f{};
  f.sequence = static_cast<std::uint32_t>(v & 0xFFFFu);
  f.gatewayCode = static_cast<std::uint32_t>((v >> 16) & kMaxGatewayCode);
  f.second = static_cast<unsigned>((v >> 38) & 0x3Fu);
  f.minute = static_cast<unsigned>((v >> 44) & 0x3Fu);
  f.hour = static_cast<unsigned>((v >> 50) & 0x1Fu);
  f.day = static_cast<unsigned>((v >> 55) & 0x1Fu);
  f.month = static_cast<unsigned>((v >> 60) & 0xFu);
  return f;
}

MsgId MsgIdBytes(std::uint64_t value) {
  MsgId b{};
  for (int i = 7; i >= 0; --i) {
    b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
  return b;
}

std::uint64_t MsgIdValue(std::span<const std::uint8_t, 8> bytes) {
  std::uint64_t v = 0;
  for (std::uint8_t byte : bytes) v = (v << 8) | byte;
  return v;
}

std::string MsgIdText(std::span<const std::uint8_t, 8> bytes) {
  return std::to_string(MsgIdValue(bytes));
}

MsgId MsgIdBuilder::NextAt(std::time_t now) {
  std::time_t second;
  std::uint32_t sequence;
  {
    std::lock_guard lock(mutex_);
    if (now > second_) {
      second_ = now;
      sequence_ = 0;
    } else if (sequence_ > 0xFFFFu) {
      ++second_;
      sequence_ = 0;
    }
    second = second_;
    sequence = sequence_++;
  }
  std::tm tm{};
  localtime_r(&second, &tm);
  return MsgIdBytes(
      ComposeMsgId({static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday),
                    static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min),
                    static_cast<unsigned>(tm.tm_sec), gatewayCode_, sequence}));
}

std::string ReportTimeText(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d", tm.tm_year % 100, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  return text;
}

}  // namespace brivane::smg
