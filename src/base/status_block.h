#pragma once
// The shared-memory status block that outside monitors read: 12288 bytes of
// run-state flags and 32-bit counters at fixed offsets, plus a 64-bit start
// time. The service only writes it and never unlinks it; an existing block is
// reused with its counters. Every writer skips the write when the block is
// not mapped. Increments are atomic, so any thread may count.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brivane::base {

// Field offsets.
inline constexpr std::size_t kStartTime = 0x10;  // 64-bit seconds since 1970 UTC
inline constexpr std::size_t kMoReceived = 0x2C;
inline constexpr std::size_t kMoStored = 0x30;
inline constexpr std::size_t kSubmitHandedOver = 0x34;
inline constexpr std::size_t kSubmitWritten = 0x38;
inline constexpr std::size_t kSubmitWriteFailed = 0x3C;
inline constexpr std::size_t kSubmitRespOk = 0x40;
inline constexpr std::size_t kSubmitRespFail = 0x44;
inline constexpr std::size_t kSubmitResultStored = 0x48;
inline constexpr std::size_t kReportReceived = 0x4C;
inline constexpr std::size_t kReportStored = 0x50;
inline constexpr std::size_t kDbConnectionOpen = 0x54;
inline constexpr std::size_t kDbConnectionMtOpen = 0x58;
inline constexpr std::size_t kDbConnectionMoOpen = 0x5C;
inline constexpr std::size_t kDbConnectionSrOpen = 0x60;
inline constexpr std::size_t kStarted = 0x64;
inline constexpr std::size_t kReportDelivered = 0x68;
inline constexpr std::size_t kReportOther = 0x6C;
inline constexpr std::size_t kMoForwardOk = 0x70;
inline constexpr std::size_t kMoForwardFail = 0x74;
// Submits refused with Result 8 and queued to be written again; submits
// held back by the per-link cap.
inline constexpr std::size_t kSubmitFlowRetried = 0x78;
inline constexpr std::size_t kSubmitPaced = 0x7C;

inline constexpr std::size_t kStatusBlockSize = 12288;
inline constexpr const char* kDefaultStatusBlockName = "/FILEMAP_QUILLARK_BRIVANE";
inline constexpr const char* kStatusBlockEnv = "BRIVANE_STATUS_BLOCK";

struct StatusField {
  std::size_t offset;
  const char* name;  // snake_case, used by `brivane status`, /monitor, /metrics
  bool isFlag;
  const char* help;  // what the field counts, for the metrics' HELP lines
};

// Every 32-bit field in offset order (the start time is separate).
extern const std::array<StatusField, 21> kStatusFields;

// The name to use: $BRIVANE_STATUS_BLOCK when set, else the default.
std::string StatusBlockName();

class ServiceStatusBlock {
 public:
  ServiceStatusBlock() = default;
  ~ServiceStatusBlock();
  ServiceStatusBlock(const ServiceStatusBlock&) = delete;
  ServiceStatusBlock& operator=(const ServiceStatusBlock&) = delete;

  // Creates the named block, or opens it unchanged when it exists. Returns 0
  // or the errno of the failing call.
  int Create(const std::string& name);
  // Opens an existing block for reading only (the monitor). Returns 0 or errno.
  int OpenReadOnly(const std::string& name);
  // Unmaps; the named object stays for the next run and the monitors.
  void Close();

  bool IsOpen() const { return base_ != nullptr; }

  void Add(std::size_t offset, std::uint32_t n = 1);
  void Set(std::size_t offset, std::uint32_t value);
  std::uint32_t Get(std::size_t offset) const;
  void SetStartTime(std::int64_t secondsSinceEpoch);
  std::int64_t GetStartTime() const;

 private:
  unsigned char* base_ = nullptr;
  bool writable_ = false;
};

// The process's block. Unmapped until the service creates it, so library
// code and tests that never open it simply skip their writes.
ServiceStatusBlock& StatusBlock();

}  // namespace brivane::base
