// A library preloaded into the brivane process (LD_PRELOAD) by end-to-end
// tests that need a write to the SMG to fail. It wraps send(): when the
// environment variable BRIVANE_FAIL_SEND_COMMAND names a CMPP Command_Id
// (decimal or 0x hex), every send() whose buffer starts a PDU with that
// Command_Id fails with the errno in BRIVANE_FAIL_SEND_ERRNO (default EPIPE)
// and writes nothing. Every other call goes to the real send().
//
// Only the PDU's start is looked at: the link writes each PDU with one
// send() call, and a failing write writes nothing, so a PDU is never cut.

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

using SendFn = ssize_t (*)(int, const void*, size_t, int);

SendFn RealSend() {
  static SendFn real = reinterpret_cast<SendFn>(dlsym(RTLD_NEXT, "send"));
  return real;
}

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 0);
  return end && *end == '\0' ? value : fallback;
}

}  // namespace

extern "C" ssize_t send(int fd, const void* buffer, size_t length, int flags) {
  static const long command = EnvNumber("BRIVANE_FAIL_SEND_COMMAND", -1);
  static const long error = EnvNumber("BRIVANE_FAIL_SEND_ERRNO", EPIPE);
  if (command >= 0 && length >= 8) {
    const auto* b = static_cast<const std::uint8_t*>(buffer);
    const std::uint32_t id = (std::uint32_t{b[4]} << 24) | (std::uint32_t{b[5]} << 16) |
                             (std::uint32_t{b[6]} << 8) | b[7];
    if (id == static_cast<std::uint32_t>(command)) {
      errno = static_cast<int>(error);
      return -1;
    }
  }
  return RealSend()(fd, buffer, length, flags);
}
