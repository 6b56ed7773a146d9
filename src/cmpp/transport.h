#pragma once
// TCPSocket: the blocking IPv4 TCP transport under every CMPP link. It moves
// bytes and nothing else: no threads, no buffering, no log lines, no state
// beyond the handle the caller owns. Each wait is bounded by a timeout in
// seconds; only a wait without any progress ends a transfer with kTimeout.
//
// Result codes: 0 success, kTimeout (5) nothing became ready in time,
// kPeerClosed (-1) the peer closed (a read transferred 0 bytes), otherwise
// the errno value of the failed call (ECONNRESET, EPIPE, EBADF, ENOTSOCK, ...).
//
// Threads: calls on different sockets may run at once; on one socket one Send
// and one Recv may overlap, two Sends must not (the link serialises them).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cmpp/result_codes.h"

namespace brivane::cmpp {

// A socket descriptor. On Linux descriptor 0 is valid, so "no socket" is -1.
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

class TCPSocket {
 public:
  TCPSocket() = delete;

  // Opens an IPv4 stream socket (close-on-exec, TCP_NODELAY so that each PDU
  // leaves at once) and stores it in `socket`; on failure stores kNoSocket and
  // returns errno. The caller closes any previous socket first.
  static int Create(SocketHandle& socket);

  // Connects to a dotted IPv4 address; no name lookup is made, so a host name
  // fails with EINVAL. The connect runs without blocking and is waited for at
  // most timeoutSeconds (kTimeout then; a peer whose SYNs are dropped would
  // otherwise hold the caller for minutes). Shutdown from another thread
  // ends the wait at once with an error.
  static int Connect(SocketHandle socket, std::string_view host, std::uint16_t port,
                     std::int32_t timeoutSeconds = 60);

  // Writes all of `data` (MSG_NOSIGNAL: a closed peer gives EPIPE, never
  // SIGPIPE). An empty span returns 0 without touching the socket. A failure
  // leaves a partly written buffer; nothing is resumed.
  static int Send(SocketHandle socket, std::span<const std::uint8_t> data,
                  std::int32_t timeoutSeconds);

  // Reads exactly buffer.size() bytes; 0 only when all have arrived. An empty
  // span returns 0 without touching the socket. The socket stays open after
  // any failure.
  static int Recv(SocketHandle socket, std::span<std::uint8_t> buffer, std::int32_t timeoutSeconds);

  // Reads what has arrived, at most buffer.size() bytes, waiting up to the
  // timeout for the first byte; `received` is the count (0 unless the result
  // is 0). Lets a reader take several PDUs in one call and keep a partial one
  // for later. An empty span returns 0 without touching the socket.
  static int RecvSome(SocketHandle socket, std::span<std::uint8_t> buffer,
                      std::int32_t timeoutSeconds, std::size_t& received);

  // Shuts both directions down without giving the descriptor back: a thread
  // blocked in Recv on it wakes with kPeerClosed, and the number cannot be
  // reused under that thread until Close. Always 0.
  static int Shutdown(SocketHandle socket);

  // Shuts both directions down (which wakes a thread blocked in Recv on it),
  // closes the descriptor and sets `socket` to kNoSocket. Always 0; harmless on
  // kNoSocket and when called twice. The descriptor number may be reused at
  // once, so its owner must not let another thread keep using the old value.
  static int Close(SocketHandle& socket);
};

}  // namespace brivane::cmpp
