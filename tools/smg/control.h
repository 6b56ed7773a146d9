#pragma once
// The control port: line commands (one per line, one reply line; `submits`
// and `connections` follow their reply with the lines they announce). Each
// control client gets a thread of its own; the commands act on the SmgServer.
// Stop closes every client and joins their threads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "listener.h"

namespace brivane::smg {

class SmgServer;

// Hex text (either case, even length; "-" is empty) to bytes.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view hex);

// Cuts `content` into the parts of a concatenated message: each part is its
// user-data header (8-bit reference: 05 00 03 ref n i; 16-bit reference:
// 06 08 04 refhi reflo n i) followed by at most 134 (8-bit) or 133 (16-bit)
// content bytes. For UCS-2 (Msg_Fmt 8) the 16-bit form carries 132 bytes, so
// that no character is cut in two. Returns "" or the reason it cannot.
std::string SplitLongMo(std::span<const std::uint8_t> content, std::uint8_t msgFmt, bool ref16,
                        unsigned ref, std::vector<std::vector<std::uint8_t>>& parts);

// "2,3,1" into part numbers, each 1..parts; "-" is 1..parts in order.
// Repeats and gaps are allowed (a test may leave a part out or send it twice).
std::string ParseOrder(std::string_view text, std::size_t parts, std::vector<std::size_t>& order);

class ControlServer {
 public:
  ControlServer(SmgServer& server, std::function<void()> onQuit)
      : server_(server), onQuit_(std::move(onQuit)) {}
  ~ControlServer() { Stop(); }
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Port 0 lets the kernel choose; Port() then says which it chose.
  bool Start(int port, std::string* error);
  void Stop();
  int Port() const { return listener_.Port(); }

  // The reply lines of one command line.
  std::vector<std::string> Execute(const std::string& line);

 private:
  struct Client {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Accept(int fd);
  void Serve(Client& client);

  SmgServer& server_;
  std::function<void()> onQuit_;
  Listener listener_;
  std::mutex clientsMutex_;  // guards clients_ and stopping_
  std::vector<std::unique_ptr<Client>> clients_;
  bool stopping_ = false;
};

}  // namespace brivane::smg
