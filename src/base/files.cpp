#include "base/files.h"

#include <unistd.h>

#include <cerrno>

namespace brivane::base {

bool WriteAllAndSync(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t put = 0;
  while (put < size) {
    const ssize_t n = ::write(fd, bytes + put, size - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    put += static_cast<std::size_t>(n);
  }
  return ::fsync(fd) == 0;
}

}  // namespace brivane::base
