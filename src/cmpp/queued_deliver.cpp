#include "cmpp/queued_deliver.h"

#include <cstring>
#include <type_traits>

namespace brivane::cmpp {

static_assert(std::is_trivially_copyable_v<CmppDeliver> && std::is_standard_layout_v<CmppDeliver>,
              "QueuedDeliver copies a CmppDeliver by its bytes");
static_assert(sizeof(CmppStatusReport) <= kMoContentKept,
              "a report's bytes must fit in the content a QueuedDeliver keeps");

QueuedDeliver::QueuedDeliver(const CmppDeliver& deliver) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&deliver);
  std::memcpy(head_, bytes, kHead);
  std::memcpy(content_, deliver.Msg_Content, kMoContentKept);
  std::memcpy(tail_, bytes + kTailAt, kTail);
}

const CmppDeliver& QueuedDeliver::Expand(CmppDeliver& into) const {
  auto* bytes = reinterpret_cast<std::uint8_t*>(&into);
  std::memcpy(bytes, head_, kHead);
  std::memcpy(into.Msg_Content, content_, kMoContentKept);
  std::memset(into.Msg_Content + kMoContentKept, 0, sizeof into.Msg_Content - kMoContentKept);
  std::memcpy(bytes + kTailAt, tail_, kTail);
  return into;
}

}  // namespace brivane::cmpp
