// Fuzz entry for a link's receive path. Input: byte 0 is the version
// (0x20: 2.0, else 3.0), byte 1 seeds the chunk sizes, the rest is what the
// SMG sends on a logged-in connection. The stream is given to a link twice:
// once in a single write, once cut at up to eight places chosen by the seed,
// each chunk read by the link before the next is written (so a read ends at
// every cut: inside a header, inside a body, between PDUs).
//
// Beyond "no crash, no overread" it checks that the link's behaviour does not
// depend on how the bytes were cut: the same PDUs are handed up with the same
// contents, the same answers are written back, and reading ends with the same
// code. A broken property aborts.

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "cmpp/connection.h"
#include "cmpp/pdu.h"

namespace {

using namespace brivane::cmpp;

#define CHECK(cond)                                                                          \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      std::fprintf(stderr, "receive path property broken: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

constexpr std::size_t kMaxStream = 16 * 1024;

// A link without a client that writes down what it hands up.
class RecordingLink : public CMPPConnection {
 public:
  explicit RecordingLink(std::uint8_t version)
      : CMPPConnection(nullptr, "fuzz", "127.0.0.1", 1, version, "900001", "888888", "901234", 0, 0,
                       10, 180) {}
  std::string handedUp;

  void OnDeliver(const CmppDeliver& d) override { Note('D', d); }
  void OnReport(const CmppDeliver& d) override { Note('R', d); }
  void OnSubmitResp(const CmppSubmitResp& r) override {
    handedUp += 'S';
    handedUp.append(reinterpret_cast<const char*>(r.Msg_Id), sizeof r.Msg_Id);
    handedUp += std::to_string(r.Result) + "/" + std::to_string(r.Sequence_Id) + ";";
  }

 private:
  void Note(char kind, const CmppDeliver& d) {
    CHECK(d.Msg_Length <= 255);
    CHECK((kind == 'R') == (d.Registered_Delivery != 0));
    handedUp += kind;
    handedUp.append(reinterpret_cast<const char*>(d.Msg_Id), sizeof d.Msg_Id);
    handedUp.append(d.Dest_Id, sizeof d.Dest_Id);
    handedUp.append(d.Src_terminal_Id, sizeof d.Src_terminal_Id);
    handedUp.append(d.Service_Id, sizeof d.Service_Id);
    handedUp += static_cast<char>(d.Msg_Fmt);
    handedUp += static_cast<char>(d.TP_udhi);
    handedUp += std::to_string(d.Msg_Length) + ":";
    handedUp.append(reinterpret_cast<const char*>(d.Msg_Content), sizeof d.Msg_Content);
    handedUp.append(d.LinkID, sizeof d.LinkID);
  }
};

struct Outcome {
  int code = 0;
  std::string handedUp;
  std::string answers;
};

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string DrainAnswers(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// chunkSeed 0: one write; otherwise chunks drawn from the seed.
Outcome Feed(std::uint8_t version, const std::uint8_t* stream, std::size_t size,
             std::uint8_t chunkSeed) {
  int pair[2];
  CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  const int smg = pair[0];
  const int linkEnd = pair[1];
  RecordingLink link(version);
  Outcome outcome;
  if (chunkSeed == 0) {
    CHECK(WriteAll(smg, stream, size));
    ::shutdown(smg, SHUT_WR);
    outcome.code = link.ReceiveUntilClosedForTest(linkEnd);
  } else {
    std::atomic<bool> readerDone{false};
    std::thread writer([&] {
      // Up to eight cuts at positions drawn from the seed; few chunks keep
      // the thread hand-overs (the cost of a run) down, and the fuzzer moves
      // the cuts by changing the seed.
      std::uint32_t state = 0x9E3779B9u ^ chunkSeed;
      auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
      };
      std::vector<std::size_t> cuts;
      const std::size_t count = 1 + next() % 8;
      for (std::size_t i = 0; i < count && size > 1; ++i) cuts.push_back(1 + next() % (size - 1));
      cuts.push_back(size);
      std::sort(cuts.begin(), cuts.end());
      std::size_t at = 0;
      for (std::size_t cut : cuts) {
        if (cut <= at) continue;
        if (readerDone.load() || !WriteAll(smg, stream + at, cut - at)) break;
        at = cut;
        // Wait until the link has read the chunk (or stopped reading).
        for (;;) {
          int unread = 0;
          if (readerDone.load() || ::ioctl(linkEnd, FIONREAD, &unread) != 0 || unread == 0) break;
          std::this_thread::yield();
        }
      }
      ::shutdown(smg, SHUT_WR);
    });
    outcome.code = link.ReceiveUntilClosedForTest(linkEnd);
    readerDone.store(true);
    writer.join();
  }
  outcome.handedUp = std::move(link.handedUp);
  outcome.answers = DrainAnswers(smg);
  ::close(smg);
  return outcome;  // the link closes its end
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size - 2 > kMaxStream) return 0;
  static const bool quiet = (brivane::base::SetLogLevel(0), true);
  (void)quiet;
  const std::uint8_t version = data[0] == 0x20 ? 0x20 : 0x30;
  const std::uint8_t seed = static_cast<std::uint8_t>(data[1] | 1);
  const Outcome whole = Feed(version, data + 2, size - 2, 0);
  const Outcome cut = Feed(version, data + 2, size - 2, seed);
  CHECK(whole.code == cut.code);
  CHECK(whole.handedUp == cut.handedUp);
  CHECK(whole.answers == cut.answers);
  CHECK(whole.code != kOk);
  return 0;
}
