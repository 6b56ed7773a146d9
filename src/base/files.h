#pragma once
// Durable writes for the small files the process keeps (settings, key).

#include <cstddef>

namespace brivane::base {

// Writes all `size` bytes to the descriptor, retrying short and interrupted
// writes, then fsyncs it. False on the first failure, with errno as that
// call left it; the descriptor stays open either way.
bool WriteAllAndSync(int fd, const void* data, std::size_t size);

}  // namespace brivane::base
