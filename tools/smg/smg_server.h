#pragma once
// SmgServer: the CMPP side of the simulator. It owns the CMPP listeners, the
// connections (one reader thread each), the settings the control port may
// change, the counters, the list of received SUBMITs, the thread that sends
// delayed status reports and the MO load thread. The control port and main
// call its public operations from their own threads; every operation is
// thread-safe.
//
// Per connection the reader thread does everything the peer asks for: it reads
// as many PDUs as one recv gives, answers them into one buffer and writes that
// buffer whole under the connection's write mutex, so a burst of SUBMITs costs
// one read and one write.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cmpp/pdu.h"
#include "listener.h"
#include "msg_id.h"
#include "submit_log.h"

namespace brivane::smg {

struct SmgOptions {
  std::vector<int> ports;
  std::uint8_t version = cmpp::kCmppVersion30;
  std::string login = "900001";
  std::string secret = "888888";
  int connectStatus = 0;
  int submitResult = 0;
  int reportDelayMs = 0;
  std::string reportStat = "DELIVRD";
  std::uint32_t gatewayCode = 1;
  std::size_t maxSubmits = 500000;
};

// The line log: one line per received PDU and per connection event, to a file
// or stderr; nothing when quiet. Thread-safe.
class SmgLog {
 public:
  ~SmgLog();
  bool Open(const std::string& path, bool quiet, std::string* error);
  bool Enabled() const { return file_ != nullptr; }
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
};

// Counters printed by `stats`, all cleared by `reset`.
struct SmgCounters {
  std::atomic<std::uint64_t> logins{0}, refused{0}, accepted{0}, submits{0}, submitResps{0},
      submitsBad{0}, reports{0}, reportsAcked{0}, moSent{0}, moAcked{0}, activeTestsRx{0},
      activeTestsTx{0}, activeTestRespsRx{0}, terminatesRx{0}, terminatesTx{0}, terminateRespsRx{0},
      deliverRespBad{0}, deliverRespUnknown{0}, malformed{0}, unknownRx{0}, writeFailures{0};
  void Clear();
};

// What a DELIVER we sent was, so that its DELIVER_RESP is counted right.
enum class DeliverKind : std::uint8_t { kMo, kReport };

class SmgConnection : public std::enable_shared_from_this<SmgConnection> {
 public:
  SmgConnection(std::uint32_t id, int port, int fd) : id_(id), port_(port), fd_(fd) {}
  ~SmgConnection();
  SmgConnection(const SmgConnection&) = delete;
  SmgConnection& operator=(const SmgConnection&) = delete;

  std::uint32_t Id() const { return id_; }
  int Port() const { return port_; }
  bool LoggedIn() const { return loggedIn_; }
  bool Open() const { return !closed_; }
  std::uint8_t PeerVersion() const { return peerVersion_; }

  // Writes the bytes whole under the write mutex. False when the connection
  // is closed or the write failed; a failed write shuts the socket down, which
  // ends the reader.
  bool Write(std::span<const std::uint8_t> bytes);
  // Shuts the socket down, which wakes the reader and ends the connection.
  // The descriptor itself is closed only by the destructor, so no thread that
  // still holds the connection can meet a reused descriptor number.
  void Shutdown();
  // DELIVERs awaiting their DELIVER_RESP, by Sequence_Id.
  void ExpectDeliverResp(std::uint32_t sequenceId, DeliverKind kind);
  std::optional<DeliverKind> TakeDeliverResp(std::uint32_t sequenceId);

 private:
  friend class SmgServer;
  // Called by the reader when it ends: no more writes, not logged in.
  void MarkClosed();

  const std::uint32_t id_;
  const int port_;
  const int fd_;
  std::mutex writeMutex_;  // held across each whole write
  std::atomic<bool> loggedIn_{false};
  std::atomic<bool> closed_{false};
  std::atomic<bool> finished_{false};  // the reader has ended
  std::atomic<std::uint8_t> peerVersion_{0};
  std::mutex pendingMutex_;  // guards pending_
  std::unordered_map<std::uint32_t, DeliverKind> pending_;
  std::thread reader_;
};

// An MO DELIVER to send (the `mo`, `mo-long` and `mo-load` commands).
struct MoMessage {
  std::string src, dest, service, linkId;
  std::uint8_t fmt = 0;
  std::uint8_t udhi = 0;
  std::vector<std::uint8_t> content;  // at most 255 bytes
};

class SmgServer {
 public:
  SmgServer(const SmgOptions& options, SmgLog& log);
  ~SmgServer();
  SmgServer(const SmgServer&) = delete;
  SmgServer& operator=(const SmgServer&) = delete;

  // Opens every listener and starts the report thread; false with a reason.
  bool Start(std::string* error);
  // The bound CMPP ports in the order of SmgOptions::ports (a port 0 there
  // is the one the kernel chose); empty before Start.
  std::vector<int> Ports() const;
  // Stops listening, ends the MO load, closes every connection, joins all.
  void Stop();

  // --- settings (the `set` command) ---
  // Returns "" or the reason the value is refused.
  std::string Set(const std::string& key, const std::string& value);

  // --- commands ---
  std::string StatsLine() const;
  void Reset();
  // The next logged-in connection in rotation, or nullptr.
  std::shared_ptr<SmgConnection> NextLoggedIn();
  // Sends one MO DELIVER; false when the connection is gone. *sequenceId is
  // the DELIVER's Sequence_Id.
  bool SendMo(SmgConnection& conn, const MoMessage& mo, std::uint32_t* sequenceId);
  // Starts (or replaces) the background MO load; rate 0 or count 0 stops it.
  // Message i says "MO load i"; with `stamp` it says "MO load i t=US", US
  // being CLOCK_MONOTONIC in microseconds just before the DELIVER is written,
  // so that a receiver on this machine can measure the delay to it.
  void StartMoLoad(double ratePerSecond, std::uint64_t count, const std::string& src,
                   const std::string& dest, bool stamp = false);
  int ActiveTestAll();
  int TerminateAll();
  int DropAll();
  int RawAll(std::span<const std::uint8_t> bytes);
  std::vector<std::string> Submits(std::size_t from, std::size_t count) const {
    return submits_.Json(from, count);
  }
  std::vector<std::string> ConnectionLines();

  std::uint8_t Version() const { return options_.version; }

 private:
  // The answers of one read, written with one send; counted once written.
  struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::uint32_t submitResps = 0;
    std::uint32_t reports = 0;
  };
  struct ReportTask {
    std::chrono::steady_clock::time_point due;
    std::uint64_t order;  // keeps equal due times in submit order
    std::weak_ptr<SmgConnection> conn;
    MsgId submitMsgId;
    char stat[8];
    char submitTime[11];
    char dest[33];
    char spNumber[22];
    char serviceId[11];
    bool operator>(const ReportTask& o) const {
      return due != o.due ? due > o.due : order > o.order;
    }
  };

  void Accept(int fd, int port);
  void Read(const std::shared_ptr<SmgConnection>& conn);
  // Handles one PDU; answers go to `out`. False when the connection must close.
  bool Handle(SmgConnection& conn, const cmpp::CmppHeader& header,
              std::span<const std::uint8_t> body, Outgoing& out);
  bool HandleConnect(SmgConnection& conn, const cmpp::CmppHeader& header,
                     std::span<const std::uint8_t> body, Outgoing& out);
  void HandleSubmit(SmgConnection& conn, const cmpp::CmppHeader& header,
                    std::span<const std::uint8_t> body, Outgoing& out);
  void HandleDeliverResp(SmgConnection& conn, const cmpp::CmppHeader& header,
                         std::span<const std::uint8_t> body);
  // Appends the report DELIVER to `out` and registers its Sequence_Id.
  void AppendReport(SmgConnection& conn, const ReportTask& task, Outgoing& out);
  void RunReports();
  void RunMoLoad(double rate, std::uint64_t count, std::string src, std::string dest, bool stamp);
  void StopMoLoad();
  std::vector<std::shared_ptr<SmgConnection>> Snapshot();
  // Joins the reader threads of connections that have ended.
  void Reap();

  const SmgOptions options_;
  SmgLog& log_;
  MsgIdBuilder msgIds_;
  SmgCounters counters_;
  SubmitLog submits_;

  // Settings the control port changes while readers use them.
  std::atomic<int> connectStatus_;
  std::atomic<int> submitResult_;
  // segment-result: SUBMITs whose Pk_number is segmentResultNumber_ (0 =
  // none) are answered with segmentResult_ instead of submitResult_.
  std::atomic<int> segmentResultNumber_{0};
  std::atomic<int> segmentResult_{0};
  // alternate-result: of the next alternateCount_ SUBMITs (counted by
  // alternateServed_), the 1st, 3rd, 5th... are answered with
  // alternateResult_.
  std::atomic<std::int64_t> alternateCount_{0};
  std::atomic<std::int64_t> alternateServed_{0};
  std::atomic<int> alternateResult_{0};
  std::atomic<int> reportDelayMs_;
  std::atomic<std::uint64_t> reportStat_;  // up to 7 characters, packed
  std::atomic<bool> silent_{false};

  std::vector<std::unique_ptr<Listener>> listeners_;

  mutable std::mutex connsMutex_;  // guards conns_
  std::vector<std::shared_ptr<SmgConnection>> conns_;
  std::atomic<std::uint32_t> nextConnId_{1};
  std::atomic<std::uint64_t> rotation_{0};
  std::atomic<std::uint32_t> smscSequence_{1};
  std::atomic<bool> stopping_{false};

  std::mutex reportMutex_;  // guards reportQueue_, reportOrder_, reportsStop_
  std::condition_variable reportWake_;
  std::priority_queue<ReportTask, std::vector<ReportTask>, std::greater<>> reportQueue_;
  std::uint64_t reportOrder_ = 0;
  bool reportsStop_ = false;
  std::thread reportThread_;

  std::mutex moLoadMutex_;  // guards moLoadThread_ (start/stop from control threads)
  std::atomic<bool> moLoadStop_{false};
  std::thread moLoadThread_;
};

// The report Stat packed into 8 bytes, and back.
std::uint64_t PackStat(const std::string& stat);
std::string UnpackStat(std::uint64_t packed);

}  // namespace brivane::smg
