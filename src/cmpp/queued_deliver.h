#pragma once
// QueuedDeliver: a received DELIVER as it waits in the worker pool. The
// decoder keeps at most kMoContentKept bytes of an MO message's content (a
// report's bytes fit in them too), yet CmppDeliver carries an 8 KiB content
// area for merged messages. Holding the whole record for every queued item
// made a full queue cost 34 MiB; this form keeps the fields and the bytes
// the decoder filled, about 330 bytes, and gives back the same record.
//
// Threads: a value type; no shared state.

#include <cstddef>
#include <cstdint>

#include "cmpp/pdu.h"

namespace brivane::cmpp {

class QueuedDeliver {
 public:
  explicit QueuedDeliver(const CmppDeliver& deliver);
  // Writes the record back into `into`, whose content area past the kept
  // bytes becomes zero, as the decoder leaves it. Returns `into`.
  const CmppDeliver& Expand(CmppDeliver& into) const;

 private:
  static constexpr std::size_t kHead = offsetof(CmppDeliver, Msg_Content);
  static constexpr std::size_t kTailAt = offsetof(CmppDeliver, LinkID);
  static constexpr std::size_t kTail = sizeof(CmppDeliver) - kTailAt;
  std::uint8_t head_[kHead];
  std::uint8_t content_[kMoContentKept];
  std::uint8_t tail_[kTail];
};

}  // namespace brivane::cmpp
