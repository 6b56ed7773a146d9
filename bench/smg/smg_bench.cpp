// SUBMITs per second through the simulator: one logged-in connection, a writer
// that keeps up to `window` SUBMITs unanswered and a reader that takes the
// SUBMIT_RESPs (and answers the reports when they are asked for). Usage:
//   bench_smg [count]        (default 200000 per run)
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "cmpp/pdu.h"
#include "cmpp/transport.h"
#include "support/smg_process.h"

using namespace brivane;
using namespace brivane::cmpp;

namespace {

struct Result {
  double seconds = 0;
  long answered = 0;
  long reports = 0;
  bool ok = false;
};

// One whole PDU (the login answer).
bool ReadPdu(SocketHandle s, std::vector<std::uint8_t>& pdu, CmppHeader& header) {
  pdu.resize(kHeaderLength);
  if (TCPSocket::Recv(s, std::span(pdu.data(), kHeaderLength), 10) != 0) return false;
  std::uint32_t bodyLength = 0;
  if (ParseHeader(std::span<const std::uint8_t, 12>(pdu.data(), 12), header, bodyLength) != 0) {
    return false;
  }
  pdu.resize(kHeaderLength + bodyLength);
  return TCPSocket::Recv(s, std::span(pdu.data() + kHeaderLength, bodyLength), 10) == 0;
}

Result Run(int port, long count, long window, bool reports) {
  Result r;
  SocketHandle s = kNoSocket;
  if (TCPSocket::Create(s) != 0 || TCPSocket::Connect(s, "127.0.0.1", port) != 0) return r;
  std::uint8_t connect[39];
  EncodeConnect(connect, "900001", "888888", 1207023117, 1, kCmppVersion30);
  std::vector<std::uint8_t> pdu;
  CmppHeader header{};
  if (TCPSocket::Send(s, connect, 10) != 0 || !ReadPdu(s, pdu, header)) return r;

  auto submit = std::make_unique<CmppSubmit>();
  submit->Pk_total = submit->Pk_number = 1;
  submit->Registered_Delivery = reports ? 1 : 0;
  submit->Msg_Fmt = 15;
  std::strcpy(submit->Src_Id, "10658000");
  submit->DestUsr_tl = 1;
  std::strcpy(submit->Dest_terminal_Id, "13800138000");
  submit->Msg_Length = 70;
  std::memset(submit->Msg_Content, 'a', 70);
  std::vector<std::uint8_t> one(kMaxSubmitPduLength);
  std::size_t length = 0;
  EncodeSubmit(one, *submit, kCmppVersion30, 0, length);
  one.resize(length);

  std::mutex mutex;
  std::condition_variable cv;
  long answered = 0;
  long reportCount = 0;
  bool failed = false;
  const auto start = std::chrono::steady_clock::now();
  // The reader takes whatever one recv gives and answers all reports in it
  // with one send.
  std::thread reader([&] {
    std::vector<std::uint8_t> in(256 * 1024);
    std::vector<std::uint8_t> resps;
    std::size_t have = 0;
    long myAnswered = 0;
    long myReports = 0;
    while (myAnswered < count || (reports && myReports < count)) {
      pollfd p{s, POLLIN, 0};
      const ssize_t n =
          poll(&p, 1, 10000) > 0 ? recv(s, in.data() + have, in.size() - have, 0) : -1;
      if (n <= 0) {
        std::lock_guard lock(mutex);
        failed = true;
        cv.notify_all();
        return;
      }
      have += static_cast<std::size_t>(n);
      std::size_t pos = 0;
      long newAnswers = 0;
      resps.clear();
      while (have - pos >= kHeaderLength) {
        CmppHeader h{};
        std::uint32_t bodyLength = 0;
        ParseHeader(std::span<const std::uint8_t, 12>(in.data() + pos, 12), h, bodyLength);
        if (have - pos < h.Total_Length) break;
        if (h.Command_Id == kCmppDeliver) {
          std::uint8_t resp[24];
          const std::size_t len =
              EncodeDeliverResp(resp, kCmppVersion30, h.Sequence_Id,
                                std::span<const std::uint8_t, 8>(in.data() + pos + 12, 8), 0);
          resps.insert(resps.end(), resp, resp + len);
          ++myReports;
        } else if (h.Command_Id == kCmppSubmitResp) {
          ++newAnswers;
        }
        pos += h.Total_Length;
      }
      std::memmove(in.data(), in.data() + pos, have - pos);
      have -= pos;
      myAnswered += newAnswers;
      std::lock_guard lock(mutex);  // the writer sends on the socket too
      if (!resps.empty()) TCPSocket::Send(s, resps, 10);
      answered = myAnswered;
      reportCount = myReports;
      cv.notify_all();
    }
  });
  // The writer sends in bursts of up to 64 SUBMITs per write, as a link's
  // workers together might.
  std::vector<std::uint8_t> burst;
  long sent = 0;
  while (sent < count) {
    long n = 0;
    {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return failed || sent - answered < window; });
      if (failed) break;
      n = std::min({window - (sent - answered), count - sent, 64L});
    }
    burst.clear();
    for (long i = 0; i < n; ++i) {
      const auto seq = static_cast<std::uint32_t>(++sent);
      const std::size_t at = burst.size();
      burst.insert(burst.end(), one.begin(), one.end());
      burst[at + 8] = static_cast<std::uint8_t>(seq >> 24);
      burst[at + 9] = static_cast<std::uint8_t>(seq >> 16);
      burst[at + 10] = static_cast<std::uint8_t>(seq >> 8);
      burst[at + 11] = static_cast<std::uint8_t>(seq);
    }
    std::lock_guard lock(mutex);
    TCPSocket::Send(s, burst, 10);
  }
  reader.join();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.answered = answered;
  r.reports = reportCount;
  r.ok = !failed;
  TCPSocket::Close(s);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 200000;
  test::SmgProcess smg;
  test::SmgProcess::Options options;
  options.quiet = true;
  options.extraArgs = {"--max-submits", std::to_string(count * 8)};
  if (!smg.Start(options)) {
    std::fprintf(stderr, "brivane-smg did not start\n");
    return 1;
  }
  std::printf("SUBMIT -> SUBMIT_RESP through brivane-smg, one CMPP 3.0 link, %ld per run\n", count);
  for (bool reports : {false, true}) {
    for (long window : {1L, 16L, 256L}) {
      const long n = window == 1 ? count / 10 : count;
      const Result r = Run(smg.Port(), n, window, reports);
      std::printf("  window %4ld%s: %s %8.0f submits/s (%ld answered%s)\n", window,
                  reports ? ", reports on " : ", reports off", r.ok ? "" : "FAILED",
                  r.answered / r.seconds, r.answered,
                  reports ? (", " + std::to_string(r.reports) + " reports").c_str() : "");
    }
  }
  std::printf("  %s\n", smg.Command("stats").c_str());
  return 0;
}
