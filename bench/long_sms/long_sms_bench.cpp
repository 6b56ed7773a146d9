// Orphan long-MO parts (distinct senders and references, so none ever
// merges) added to the store at full speed on one thread, as the worker
// threads would: the resident memory the stored parts take (VmRSS before and
// after, read from /proc/self/status), the time per part stored, the time
// per part once the store is full (each new part hands the oldest on), and
// the time per part of the hand-on at stop. The handler does nothing, so
// only the store is measured.
//
// Usage: bench_long_sms [N ...]   (default 20000 100000)

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sp/long_sms.h"

namespace {

using brivane::cmpp::CmppDeliver;
using brivane::sp::CLongSMSLog;
using Clock = std::chrono::steady_clock;

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Part 1 of 3 of message i: 8-bit reference i % 256 from sender 1380000000 + i / 256,
// 154 text bytes (the most a DELIVER keeps behind a 6-byte header).
void MakePart(CmppDeliver& d, std::uint64_t i) {
  std::snprintf(d.Src_terminal_Id, sizeof d.Src_terminal_Id, "%llu",
                static_cast<unsigned long long>(13800000000ull + i / 256));
  d.Msg_Content[3] = static_cast<std::uint8_t>(i % 256);
  d.Msg_Id[7] = static_cast<std::uint8_t>(i);
}

double NsPer(Clock::duration d, std::size_t n) {
  return n ? std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(n) : 0;
}

void Run(std::size_t parts) {
  std::size_t handed = 0;
  auto store = std::make_unique<CLongSMSLog>([&handed](const CmppDeliver&, int) { ++handed; },
                                             std::chrono::milliseconds(300000), nullptr, parts);
  auto d = std::make_unique<CmppDeliver>();
  std::memset(d.get(), 0, sizeof *d);
  const std::uint8_t header[6] = {0x05, 0x00, 0x03, 0x00, 3, 1};
  std::memcpy(d->Msg_Content, header, sizeof header);
  std::memset(d->Msg_Content + 6, 'x', 154);
  d->Msg_Length = 160;
  d->TP_udhi = 1;
  d->Msg_Fmt = 15;
  std::strcpy(d->Dest_Id, "1066123401");

  const long before = ResidentKb();
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < parts; ++i) {
    MakePart(*d, i);
    store->AddFragment(*d);
  }
  const auto t1 = Clock::now();
  const long after = ResidentKb();

  // Full: each new part hands the oldest on.
  const std::size_t more = parts / 4;
  const auto t2 = Clock::now();
  for (std::size_t i = 0; i < more; ++i) {
    MakePart(*d, parts + i);
    store->AddFragment(*d);
  }
  const auto t3 = Clock::now();
  const std::size_t handedWhenFull = handed;

  const auto t4 = Clock::now();
  const std::size_t atStop = store->HandOnAll();
  const auto t5 = Clock::now();

  std::printf(
      "%zu parts: RSS %+.1f MiB (%.0f bytes a part); store %.0f ns/part; full store %.0f "
      "ns/part (%zu handed on early); hand-on at stop %.0f ns/part (%zu parts)\n",
      parts, static_cast<double>(after - before) / 1024.0,
      static_cast<double>(after - before) * 1024.0 / static_cast<double>(parts),
      NsPer(t1 - t0, parts), NsPer(t3 - t2, more), handedWhenFull, NsPer(t5 - t4, atStop), atStop);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {20000, 100000};
  for (std::size_t n : sizes) Run(n);
  return 0;
}
