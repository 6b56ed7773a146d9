#pragma once
// Msg_Id values as an SMG builds them: one 64-bit number, written big-endian
// into the 8 bytes, laid out from the top bit down as
//   month 4 | day 5 | hour 5 | minute 6 | second 6 | gateway code 22 | sequence 16
// MsgIdBuilder draws them for every SUBMIT_RESP and DELIVER the simulator
// sends; it is called from every connection's reader thread at once.

#include <array>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <span>
#include <string>

namespace brivane::smg {

using MsgId = std::array<std::uint8_t, 8>;

inline constexpr std::uint32_t kMaxGatewayCode = (1u << 22) - 1;

// The fields of a Msg_Id, each already in its range (month 1..12, ...).
struct MsgIdFields {
  unsigned month, day, hour, minute, second;
  std::uint32_t gatewayCode;
  std::uint32_t sequence;
};

std::uint64_t ComposeMsgId(const MsgIdFields& f);
MsgIdFields SplitMsgId(std::uint64_t value);

MsgId MsgIdBytes(std::uint64_t value);
std::uint64_t MsgIdValue(std::span<const std::uint8_t, 8> bytes);
// The unsigned decimal of the 8 bytes read as one big-endian number, the form
// in which the SP stores a Msg_Id.
std::string MsgIdText(std::span<const std::uint8_t, 8> bytes);

// Draws unique Msg_Ids. The 16-bit sequence restarts with each new second;
// when more than 65536 are drawn within one second, the time field moves on
// to the next second instead of wrapping the sequence, so no Msg_Id is ever
// given twice (a real gateway would repeat one there). A clock that steps
// back is not followed either, for the same reason.
class MsgIdBuilder {
 public:
  explicit MsgIdBuilder(std::uint32_t gatewayCode) : gatewayCode_(gatewayCode & kMaxGatewayCode) {}

  MsgId Next() { return NextAt(std::time(nullptr)); }
  // The same with the wall-clock second handed in (tests).
  MsgId NextAt(std::time_t now);

  std::uint32_t GatewayCode() const { return gatewayCode_; }

 private:
  const std::uint32_t gatewayCode_;
  std::mutex mutex_;  // guards second_ and sequence_
  std::time_t second_ = 0;
  std::uint32_t sequence_ = 0;
};

// "YYMMDDhhmm" of a local time, as status reports carry Submit_time and Done_time.
std::string ReportTimeText(std::time_t t);

}  // namespace brivane::smg
