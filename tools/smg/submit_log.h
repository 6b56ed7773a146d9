#pragma once
// The list of received SUBMITs that the `submits` command prints. It keeps the
// raw body of each SUBMIT in 1 MiB chunks, so the hot path costs one copy and
// no allocation per PDU; the JSON is built only when somebody asks. Bounded by
// a capacity: beyond it SUBMITs are still answered but no longer kept.
// Thread-safe: readers of every connection append, the control thread reads.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "msg_id.h"

namespace brivane::smg {

struct SubmitEntry {
  std::uint32_t conn;
  std::uint32_t sequenceId;
  std::uint8_t version;  // layout the body was received in
  bool answered;         // a SUBMIT_RESP carrying msgId was sent
  MsgId msgId;
  std::span<const std::uint8_t> body;
};

class SubmitLog {
 public:
  explicit SubmitLog(std::size_t capacity) : capacity_(capacity) {}

  // False when the log is full (the SUBMIT is not kept). A body larger than a
  // chunk cannot occur (4096 at most).
  bool Add(std::uint32_t conn, std::uint32_t sequenceId, std::uint8_t version, bool answered,
           const MsgId& msgId, std::span<const std::uint8_t> body);

  // JSON lines of entries [from, from + count), clipped to what is kept.
  std::vector<std::string> Json(std::size_t from, std::size_t count) const;
  std::size_t Size() const;
  std::size_t Dropped() const;
  void Clear();

 private:
  struct Index {
    std::uint32_t conn, sequenceId;
    std::uint8_t version;
    bool answered;
    MsgId msgId;
    std::uint32_t chunk, offset, length;
  };
  static constexpr std::size_t kChunkSize = 1 << 20;

  const std::size_t capacity_;
  mutable std::mutex mutex_;  // guards everything below
  std::vector<Index> index_;
  std::vector<std::vector<std::uint8_t>> chunks_;
  std::size_t dropped_ = 0;
};

// One SUBMIT as the `submits` command prints it: the decoded fields as a JSON
// object, Msg_Content in hex, text fields with bytes outside printable ASCII
// escaped as \u00XX, several destinations joined with ",".
std::string SubmitJson(std::size_t index, const SubmitEntry& entry);

std::string HexOf(std::span<const std::uint8_t> bytes);

}  // namespace brivane::smg
