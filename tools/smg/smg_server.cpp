#include "smg_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "cmpp/auth.h"

namespace brivane::smg {

using namespace cmpp;
using Clock = std::chrono::steady_clock;

namespace {

// A write that cannot finish within this time means the peer stopped reading.
constexpr std::int32_t kWriteTimeoutSeconds = 10;
// A report whose connection is gone waits this long for another one.
constexpr auto kReportRetry = std::chrono::milliseconds(500);

// Copies text into a zero-filled record field of width + 1 bytes.
void CopyField(char* field, std::size_t width, const std::string& text) {
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

void CopyField(char* field, std::size_t width, const char* text) {
  std::memcpy(field, text, strnlen(text, width));
}

// Reserves room for one PDU at the end of `out` and returns it.
std::span<std::uint8_t> Room(std::vector<std::uint8_t>& out, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  return std::span(out).subspan(at);
}

}  // namespace

// ---------------------------------------------------------------- log

SmgLog::~SmgLog() {
  if (ownsFile_ && file_) std::fclose(file_);
}

bool SmgLog::Open(const std::string& path, bool quiet, std::string* error) {
  if (quiet) return true;
  if (path.empty()) {
    file_ = stderr;
    return true;
  }
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) {
    if (error) *error = "cannot open log file " + path + ": " + std::strerror(errno);
    return false;
  }
  ownsFile_ = true;
  return true;
}

void SmgLog::Line(const char* format, ...) {
  if (!file_) return;
  char text[512];
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm tm{};
  localtime_r(&now.tv_sec, &tm);
  int n = std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld ", tm.tm_hour, tm.tm_min,
                        tm.tm_sec, now.tv_nsec / 1000000);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text + n, sizeof text - static_cast<std::size_t>(n), format, args);
  va_end(args);
  std::lock_guard lock(mutex_);
  std::fputs(text, file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void SmgCounters::Clear() {
  for (auto* c :
       {&logins,           &refused,        &accepted,           &submits,      &submitResps,
        &submitsBad,       &reports,        &reportsAcked,       &moSent,       &moAcked,
        &activeTestsRx,    &activeTestsTx,  &activeTestRespsRx,  &terminatesRx, &terminatesTx,
        &terminateRespsRx, &deliverRespBad, &deliverRespUnknown, &malformed,    &unknownRx,
        &writeFailures}) {
    c->store(0);
  }
}

std::uint64_t PackStat(const std::string& stat) {
  std::uint64_t packed = 0;
  std::memcpy(&packed, stat.data(), std::min<std::size_t>(stat.size(), 7));
  return packed;
}

std::string UnpackStat(std::uint64_t packed) {
  char text[8] = {};
  std::memcpy(text, &packed, 7);
  return text;
}

// ---------------------------------------------------------------- connection

SmgConnection::~SmgConnection() {
  if (reader_.joinable()) reader_.detach();  // never reached: the server joins first
  ::close(fd_);
}

bool SmgConnection::Write(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(writeMutex_);
  if (closed_) return false;
  // Send first and wait only when the socket is full: on the SUBMIT path a
  // poll before every send would double the system calls.
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, kWriteTimeoutSeconds * 1000) > 0) continue;
    }
    ::shutdown(fd_, SHUT_RDWR);
    return false;
  }
  return true;
}

void SmgConnection::Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

void SmgConnection::MarkClosed() {
  {
    std::lock_guard lock(writeMutex_);
    closed_ = true;
    loggedIn_ = false;
    ::shutdown(fd_, SHUT_RDWR);
  }
  std::lock_guard lock(pendingMutex_);
  pending_.clear();
}

void SmgConnection::ExpectDeliverResp(std::uint32_t sequenceId, DeliverKind kind) {
  std::lock_guard lock(pendingMutex_);
  pending_[sequenceId] = kind;
}

std::optional<DeliverKind> SmgConnection::TakeDeliverResp(std::uint32_t sequenceId) {
  std::lock_guard lock(pendingMutex_);
  auto it = pending_.find(sequenceId);
  if (it == pending_.end()) return std::nullopt;
  const DeliverKind kind = it->second;
  pending_.erase(it);
  return kind;
}

// ---------------------------------------------------------------- server

SmgServer::SmgServer(const SmgOptions& options, SmgLog& log)
    : options_(options),
      log_(log),
      msgIds_(options.gatewayCode),
      submits_(options.maxSubmits),
      connectStatus_(options.connectStatus),
      submitResult_(options.submitResult),
      reportDelayMs_(options.reportDelayMs),
      reportStat_(PackStat(options.reportStat)) {}

SmgServer::~SmgServer() { Stop(); }

bool SmgServer::Start(std::string* error) {
  for (int port : options_.ports) {
    auto listener = std::make_unique<Listener>();
    if (!listener->Start(
            port, [this](int fd, int p) { Accept(fd, p); }, error)) {
      Stop();
      return false;
    }
    listeners_.push_back(std::move(listener));
  }
  reportThread_ = std::thread([this] { RunReports(); });
  return true;
}

std::vector<int> SmgServer::Ports() const {
  std::vector<int> ports;
  for (const auto& l : listeners_) ports.push_back(l->Port());
  return ports;
}

void SmgServer::Stop() {
  stopping_ = true;
  for (auto& l : listeners_) l->Stop();
  listeners_.clear();
  StopMoLoad();
  {
    std::lock_guard lock(reportMutex_);
    reportsStop_ = true;
  }
  reportWake_.notify_all();
  if (reportThread_.joinable()) reportThread_.join();
  std::vector<std::shared_ptr<SmgConnection>> all;
  {
    std::lock_guard lock(connsMutex_);
    all.swap(conns_);
  }
  for (auto& c : all) c->Shutdown();
  for (auto& c : all) {
    if (c->reader_.joinable()) c->reader_.join();
  }
}

void SmgServer::Accept(int fd, int port) {
  Reap();
  auto conn = std::make_shared<SmgConnection>(nextConnId_++, port, fd);
  counters_.accepted++;
  log_.Line("conn=%u accepted on port %d", conn->Id(), port);
  std::lock_guard lock(connsMutex_);
  if (stopping_) return;  // the connection closes with `conn`
  conn->reader_ = std::thread([this, conn] { Read(conn); });
  conns_.push_back(conn);
}

void SmgServer::Reap() {
  std::vector<std::shared_ptr<SmgConnection>> ended;
  {
    std::lock_guard lock(connsMutex_);
    auto keep = std::stable_partition(conns_.begin(), conns_.end(),
                                      [](const auto& c) { return !c->finished_; });
    ended.assign(keep, conns_.end());
    conns_.erase(keep, conns_.end());
  }
  for (auto& c : ended) {
    if (c->reader_.joinable()) c->reader_.join();
  }
}

std::vector<std::shared_ptr<SmgConnection>> SmgServer::Snapshot() {
  std::lock_guard lock(connsMutex_);
  std::vector<std::shared_ptr<SmgConnection>> open;
  for (const auto& c : conns_) {
    if (c->Open()) open.push_back(c);
  }
  return open;
}

// The reader: as many PDUs as one recv gives are answered into one buffer and
// written with one send. A frame that cannot be framed (Total_Length below 12
// or above 4108) leaves the stream unreadable, so the connection is closed.
void SmgServer::Read(const std::shared_ptr<SmgConnection>& conn) {
  constexpr std::size_t kReadSize = 64 * 1024;
  std::vector<std::uint8_t> in(kReadSize + kMaxPduLength);
  Outgoing out;
  out.bytes.reserve(kReadSize);
  std::size_t have = 0;
  bool open = true;
  const char* reason = "peer closed";
  while (open) {
    const ssize_t n = ::recv(conn->fd_, in.data() + have, in.size() - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) reason = "read failed";
      break;
    }
    have += static_cast<std::size_t>(n);
    std::size_t pos = 0;
    while (open && have - pos >= kHeaderLength) {
      CmppHeader header{};
      std::uint32_t bodyLength = 0;
      const int rc =
          ParseHeader(std::span<const std::uint8_t, kHeaderLength>(in.data() + pos, kHeaderLength),
                      header, bodyLength);
      if (rc != 0 || header.Total_Length < kHeaderLength) {
        counters_.malformed++;
        log_.Line("conn=%u malformed frame: Total_Length %u, Command_Id 0x%08X; closing",
                  conn->Id(), header.Total_Length, header.Command_Id);
        reason = "malformed frame";
        open = false;
        break;
      }
      if (have - pos < header.Total_Length) break;
      open = Handle(*conn, header, std::span(in.data() + pos + kHeaderLength, bodyLength), out);
      if (!open) reason = "closed by protocol";
      pos += header.Total_Length;
    }
    if (!out.bytes.empty()) {
      // Counted before the write, so that a peer that has read an answer
      // always finds it counted; taken back when the write fails.
      counters_.submitResps += out.submitResps;
      counters_.reports += out.reports;
      if (!conn->Write(out.bytes)) {
        counters_.submitResps -= out.submitResps;
        counters_.reports -= out.reports;
        counters_.writeFailures++;
        reason = "write failed";
        open = false;
      }
      out.bytes.clear();
      out.submitResps = out.reports = 0;
    }
    std::memmove(in.data(), in.data() + pos, have - pos);
    have -= pos;
  }
  conn->MarkClosed();
  log_.Line("conn=%u closed (%s)", conn->Id(), reason);
  conn->finished_ = true;
}

bool SmgServer::Handle(SmgConnection& conn, const CmppHeader& header,
                       std::span<const std::uint8_t> body, Outgoing& out) {
  if (log_.Enabled()) {
    log_.Line("rx conn=%u cmd=0x%08X seq=%u len=%u", conn.Id(), header.Command_Id,
              header.Sequence_Id, header.Total_Length);
  }
  const std::uint32_t command = header.Command_Id;
  if (silent_) {
    // Read and count everything, answer nothing, close nothing.
    switch (command) {
      case kCmppSubmit:
        counters_.submits++;
        submits_.Add(conn.Id(), header.Sequence_Id, options_.version, false, MsgId{}, body);
        break;
      case kCmppActiveTest:
        counters_.activeTestsRx++;
        break;
      case kCmppTerminate:
        counters_.terminatesRx++;
        break;
      case kCmppDeliverResp:
        HandleDeliverResp(conn, header, body);
        break;
      default:
        break;
    }
    return true;
  }
  if (command == kCmppConnect) return HandleConnect(conn, header, body, out);
  if (!conn.LoggedIn()) {
    log_.Line("conn=%u Command_Id 0x%08X before login; closing", conn.Id(), command);
    return false;
  }
  switch (command) {
    case kCmppSubmit:
      HandleSubmit(conn, header, body, out);
      return true;
    case kCmppDeliverResp:
      HandleDeliverResp(conn, header, body);
      return true;
    case kCmppActiveTest:
      counters_.activeTestsRx++;
      EncodeActiveTestResp(Room(out.bytes, 13), header.Sequence_Id);
      return true;
    case kCmppActiveTestResp:
      counters_.activeTestRespsRx++;
      return true;
    case kCmppTerminate:
      // Answer, then close: the peer logs out.
      counters_.terminatesRx++;
      EncodeTerminateResp(Room(out.bytes, 12), header.Sequence_Id);
      return false;
    case kCmppTerminateResp:
      // The peer accepted our TERMINATE; the gateway closes the link.
      counters_.terminateRespsRx++;
      return false;
    default:
      counters_.unknownRx++;
      return true;
  }
}

bool SmgServer::HandleConnect(SmgConnection& conn, const CmppHeader& header,
                              std::span<const std::uint8_t> body, Outgoing& out) {
  CmppConnect connect{};
  if (DecodeConnect(header, body, connect) != 0) {
    counters_.malformed++;
    log_.Line("conn=%u CONNECT of length %u; closing", conn.Id(), header.Total_Length);
    return false;
  }
  conn.peerVersion_ = connect.Version;
  auto status = static_cast<std::uint32_t>(connectStatus_.load());
  if (status == 0) {
    const std::string_view name(connect.Source_Addr);
    const std::string_view expectedName =
        std::string_view(options_.login).substr(0, kSourceAddrLength);
    const Md5Digest expected =
        LoginAuthenticator(options_.login, options_.secret, connect.Timestamp);
    if (name != expectedName ||
        std::memcmp(expected.data(), connect.AuthenticatorSource, expected.size()) != 0) {
      status = 3;  // authentication error
    }
  }
  // AuthenticatorISMG = MD5(Status, AuthenticatorSource, secret).
  const std::size_t statusWidth = LayoutFor(options_.version).statusWidth;
  std::vector<std::uint8_t> input;
  for (std::size_t i = statusWidth; i-- > 0;)
    input.push_back(static_cast<std::uint8_t>(status >> (8 * i)));
  input.insert(input.end(), connect.AuthenticatorSource, connect.AuthenticatorSource + 16);
  input.insert(input.end(), options_.secret.begin(), options_.secret.end());
  const Md5Digest ismg = Md5(input);
  const std::size_t length = LayoutFor(options_.version).connectRespLength;
  EncodeConnectResp(Room(out.bytes, length), options_.version, header.Sequence_Id, status, ismg,
                    options_.version);
  if (status == 0) {
    conn.loggedIn_ = true;
    counters_.logins++;
  } else {
    conn.loggedIn_ = false;
    counters_.refused++;
  }
  log_.Line("conn=%u login %s: Source_Addr \"%s\", Version %u, Status %u", conn.Id(),
            status == 0 ? "accepted" : "refused", connect.Source_Addr, connect.Version, status);
  return true;
}

void SmgServer::HandleSubmit(SmgConnection& conn, const CmppHeader& header,
                             std::span<const std::uint8_t> body, Outgoing& out) {
  counters_.submits++;
  // The record is about 15 KiB: one per reader thread, not one per PDU.
  thread_local auto scratch = std::make_unique<CmppSubmit>();
  CmppSubmit& submit = *scratch;
  const CmppLayout layout = LayoutFor(options_.version);
  const int decoded = DecodeSubmit(header, body, options_.version, submit);
  if (decoded != 0) {
    counters_.submitsBad++;
    log_.Line("conn=%u SUBMIT seq=%u not decodable (%d)", conn.Id(), header.Sequence_Id, decoded);
    // Result 4: message length error; 1: message structure error.
    const std::uint32_t result = decoded == kResultBadLength ? 4 : 1;
    EncodeSubmitResp(Room(out.bytes, layout.submitRespLength), options_.version, header.Sequence_Id,
                     MsgId{}, result);
    out.submitResps++;
    return;
  }
  const MsgId msgId = msgIds_.Next();
  const int refusedNumber = segmentResultNumber_.load();
  auto result = static_cast<std::uint32_t>(
      refusedNumber != 0 && submit.Pk_number == refusedNumber && submit.Pk_total > 1
          ? segmentResult_.load()
          : submitResult_.load());
  if (alternateServed_.load() < alternateCount_.load()) {
    const std::int64_t n = alternateServed_.fetch_add(1);
    if (n < alternateCount_.load() && n % 2 == 0)
      result = static_cast<std::uint32_t>(alternateResult_.load());
  }
  EncodeSubmitResp(Room(out.bytes, layout.submitRespLength), options_.version, header.Sequence_Id,
                   msgId, result);
  out.submitResps++;
  submits_.Add(conn.Id(), header.Sequence_Id, options_.version, true, msgId, body);

  // A refused SUBMIT is never delivered, so it gets no report.
  if (result != 0 || submit.Registered_Delivery != 1) return;
  ReportTask task{};
  task.submitMsgId = msgId;
  const std::string stat = UnpackStat(reportStat_);
  CopyField(task.stat, 7, stat);
  const std::string submitTime = ReportTimeText(std::time(nullptr));
  CopyField(task.submitTime, 10, submitTime);
  CopyField(task.dest, layout.terminalWidth, submit.Dest_terminal_Id);
  CopyField(task.spNumber, 21, submit.Src_Id);
  CopyField(task.serviceId, 10, submit.Service_Id);
  const int delayMs = reportDelayMs_;
  if (delayMs <= 0) {
    AppendReport(conn, task, out);
    return;
  }
  task.due = Clock::now() + std::chrono::milliseconds(delayMs);
  task.conn = conn.weak_from_this();
  {
    std::lock_guard lock(reportMutex_);
    task.order = reportOrder_++;
    reportQueue_.push(task);
  }
  reportWake_.notify_one();
}

void SmgServer::AppendReport(SmgConnection& conn, const ReportTask& task, Outgoing& out) {
  const CmppLayout layout = LayoutFor(options_.version);
  CmppDeliver deliver{};
  const MsgId own = msgIds_.Next();
  std::memcpy(deliver.Msg_Id, own.data(), own.size());
  CopyField(deliver.Dest_Id, 21, task.spNumber);
  CopyField(deliver.Service_Id, 10, task.serviceId);
  CopyField(deliver.Src_terminal_Id, layout.terminalWidth, task.dest);
  deliver.Registered_Delivery = 1;
  CmppStatusReport report{};
  std::memcpy(report.Msg_Id, task.submitMsgId.data(), 8);
  CopyField(report.Stat, 7, task.stat);
  CopyField(report.Submit_time, 10, task.submitTime);
  CopyField(report.Done_time, 10, ReportTimeText(std::time(nullptr)));
  CopyField(report.Dest_terminal_Id, layout.terminalWidth, task.dest);
  report.SMSC_sequence = smscSequence_++;
  SetReport(deliver, report);

  const std::uint32_t sequenceId = NextSequenceId();
  std::size_t length = 0;
  const std::size_t at = out.bytes.size();
  EncodeDeliver(Room(out.bytes, kMaxDeliverPduLength), deliver, options_.version, sequenceId,
                length);
  out.bytes.resize(at + length);
  conn.ExpectDeliverResp(sequenceId, DeliverKind::kReport);
  out.reports++;
}

void SmgServer::HandleDeliverResp(SmgConnection& conn, const CmppHeader& header,
                                  std::span<const std::uint8_t> body) {
  CmppDeliverResp resp{};
  if (DecodeDeliverResp(header, body, options_.version, resp) != 0) {
    counters_.malformed++;
    log_.Line("conn=%u DELIVER_RESP of length %u", conn.Id(), header.Total_Length);
    return;
  }
  if (resp.Result != 0) counters_.deliverRespBad++;
  const auto kind = conn.TakeDeliverResp(header.Sequence_Id);
  if (!kind) {
    counters_.deliverRespUnknown++;
  } else if (*kind == DeliverKind::kMo) {
    counters_.moAcked++;
    // With the "mo conn=… seq=… sent" line this tells, across restarts of
    // the simulator (the log is appended), which MO messages the peer took.
    if (log_.Enabled())
      log_.Line("mo conn=%u seq=%u acked result=%u", conn.Id(), header.Sequence_Id, resp.Result);
  } else {
    counters_.reportsAcked++;
  }
}

void SmgServer::RunReports() {
  std::unique_lock lock(reportMutex_);
  while (!reportsStop_) {
    if (reportQueue_.empty()) {
      reportWake_.wait(lock);
      continue;
    }
    const auto due = reportQueue_.top().due;
    if (Clock::now() < due) {
      reportWake_.wait_until(lock, due);
      continue;
    }
    ReportTask task = reportQueue_.top();
    reportQueue_.pop();
    lock.unlock();
    // The report goes on the SUBMIT's connection, or on any logged-in one
    // when that has gone; with none it waits, as a gateway keeps it.
    auto conn = task.conn.lock();
    if (!conn || !conn->LoggedIn()) conn = NextLoggedIn();
    bool sent = false;
    if (conn) {
      Outgoing out;
      AppendReport(*conn, task, out);
      counters_.reports++;
      sent = conn->Write(out.bytes);
      if (!sent) counters_.reports--;
    }
    lock.lock();
    if (!sent) {
      task.due = Clock::now() + kReportRetry;
      task.conn.reset();
      reportQueue_.push(task);
    }
  }
}

// ---------------------------------------------------------------- settings

std::string SmgServer::Set(const std::string& key, const std::string& value) {
  if (key == "report-stat") {
    if (value.empty() || value.size() > 7) return "report-stat takes 1 to 7 characters";
    reportStat_ = PackStat(value);
    return "";
  }
  if (key == "segment-result") {
    // "N,R": segment N of every long message is answered with Result R;
    // "0,0" ends it.
    const std::size_t comma = value.find(',');
    try {
      std::size_t usedN = 0, usedR = 0;
      const long n = std::stol(value.substr(0, comma), &usedN, 10);
      const long r =
          comma == std::string::npos ? -1 : std::stol(value.substr(comma + 1), &usedR, 10);
      if (usedN != comma || usedR != value.size() - comma - 1 || n < 0 || n > 255 || r < 0 ||
          r > 255)
        return "segment-result takes N,R with N and R 0..255";
      segmentResultNumber_ = static_cast<int>(n);
      segmentResult_ = static_cast<int>(r);
      return "";
    } catch (const std::exception&) {
      return "segment-result takes N,R with N and R 0..255";
    }
  }
  if (key == "alternate-result") {
    // "R,COUNT": of the next COUNT SUBMITs every other one, the first
    // included, is answered with Result R; "0,0" ends it.
    const std::size_t comma = value.find(',');
    const char* usage = "alternate-result takes R,COUNT with R 0..255 and COUNT 0..1000000000";
    try {
      std::size_t usedR = 0, usedC = 0;
      const long r = std::stol(value.substr(0, comma), &usedR, 10);
      const long long c =
          comma == std::string::npos ? -1 : std::stoll(value.substr(comma + 1), &usedC, 10);
      if (usedR != comma || usedC != value.size() - comma - 1 || r < 0 || r > 255 || c < 0 ||
          c > 1000000000)
        return usage;
      alternateCount_ = 0;
      alternateResult_ = static_cast<int>(r);
      alternateServed_ = 0;
      alternateCount_ = c;
      return "";
    } catch (const std::exception&) {
      return usage;
    }
  }
  long number = 0;
  try {
    std::size_t used = 0;
    number = std::stol(value, &used, 10);
    if (used != value.size()) return "not a number: " + value;
  } catch (const std::exception&) {
    return "not a number: " + value;
  }
  if (key == "connect-status") {
    if (number < 0 || number > 255) return "connect-status must be 0..255";
    connectStatus_ = static_cast<int>(number);
  } else if (key == "submit-result") {
    if (number < 0 || number > 255) return "submit-result must be 0..255";
    submitResult_ = static_cast<int>(number);
  } else if (key == "report-delay-ms") {
    if (number < 0 || number > 86400000) return "report-delay-ms must be 0..86400000";
    reportDelayMs_ = static_cast<int>(number);
  } else if (key == "silent") {
    if (number != 0 && number != 1) return "silent must be 0 or 1";
    silent_ = number == 1;
  } else {
    return "unknown key " + key;
  }
  return "";
}

// ---------------------------------------------------------------- commands

std::string SmgServer::StatsLine() const {
  std::size_t open = 0;
  {
    std::lock_guard lock(connsMutex_);
    for (const auto& c : conns_) open += c->Open() ? 1 : 0;
  }
  const SmgCounters& c = counters_;
  std::string line = "OK";
  auto add = [&line](const char* key, std::uint64_t value) {
    line += ' ';
    line += key;
    line += '=';
    line += std::to_string(value);
  };
  add("logins", c.logins);
  add("refused", c.refused);
  add("connections", open);
  add("submits", c.submits);
  add("submit_resps", c.submitResps);
  add("reports", c.reports);
  add("reports_acked", c.reportsAcked);
  add("mo_sent", c.moSent);
  add("mo_acked", c.moAcked);
  add("active_tests_rx", c.activeTestsRx);
  add("active_tests_tx", c.activeTestsTx);
  add("terminates_rx", c.terminatesRx);
  add("deliver_resp_bad", c.deliverRespBad);
  // Beyond the agreed keys.
  add("accepted", c.accepted);
  add("submits_bad", c.submitsBad);
  add("submits_kept", submits_.Size());
  add("active_test_resps_rx", c.activeTestRespsRx);
  add("terminates_tx", c.terminatesTx);
  add("terminate_resps_rx", c.terminateRespsRx);
  add("deliver_resp_unknown", c.deliverRespUnknown);
  add("malformed", c.malformed);
  add("unknown_rx", c.unknownRx);
  add("write_failures", c.writeFailures);
  return line;
}

void SmgServer::Reset() {
  counters_.Clear();
  submits_.Clear();
}

std::shared_ptr<SmgConnection> SmgServer::NextLoggedIn() {
  std::lock_guard lock(connsMutex_);
  std::vector<SmgConnection*> ready;
  for (const auto& c : conns_) {
    if (c->LoggedIn() && c->Open()) ready.push_back(c.get());
  }
  if (ready.empty()) return nullptr;
  SmgConnection* pick = ready[rotation_++ % ready.size()];
  return pick->shared_from_this();
}

bool SmgServer::SendMo(SmgConnection& conn, const MoMessage& mo, std::uint32_t* sequenceId) {
  if (mo.content.size() > kMaxMsgLength) return false;
  const CmppLayout layout = LayoutFor(options_.version);
  CmppDeliver deliver{};
  const MsgId own = msgIds_.Next();
  std::memcpy(deliver.Msg_Id, own.data(), own.size());
  CopyField(deliver.Dest_Id, 21, mo.dest);
  CopyField(deliver.Service_Id, 10, mo.service);
  deliver.TP_udhi = mo.udhi;
  deliver.Msg_Fmt = mo.fmt;
  CopyField(deliver.Src_terminal_Id, layout.terminalWidth, mo.src);
  deliver.Registered_Delivery = 0;
  deliver.Msg_Length = static_cast<std::uint32_t>(mo.content.size());
  std::copy(mo.content.begin(), mo.content.end(), deliver.Msg_Content);
  CopyField(deliver.LinkID, 20, mo.linkId);

  const std::uint32_t seq = NextSequenceId();
  std::uint8_t pdu[kMaxDeliverPduLength];
  std::size_t length = 0;
  if (EncodeDeliver(pdu, deliver, options_.version, seq, length) != 0) return false;
  conn.ExpectDeliverResp(seq, DeliverKind::kMo);
  // Written before the PDU, so that its answer never precedes it in the log.
  if (log_.Enabled())
    log_.Line("mo conn=%u seq=%u sent msg_id=%s", conn.Id(), seq, MsgIdText(own).c_str());
  counters_.moSent++;
  if (!conn.Write(std::span(pdu, length))) {
    counters_.moSent--;
    conn.TakeDeliverResp(seq);
    counters_.writeFailures++;
    return false;
  }
  if (sequenceId) *sequenceId = seq;
  return true;
}

void SmgServer::StopMoLoad() {
  std::lock_guard lock(moLoadMutex_);
  moLoadStop_ = true;
  if (moLoadThread_.joinable()) moLoadThread_.join();
  moLoadStop_ = false;
}

void SmgServer::StartMoLoad(double ratePerSecond, std::uint64_t count, const std::string& src,
                            const std::string& dest, bool stamp) {
  std::lock_guard lock(moLoadMutex_);
  moLoadStop_ = true;
  if (moLoadThread_.joinable()) moLoadThread_.join();
  moLoadStop_ = false;
  if (ratePerSecond <= 0 || count == 0 || stopping_) return;
  moLoadThread_ = std::thread([this, ratePerSecond, count, src, dest, stamp] {
    RunMoLoad(ratePerSecond, count, src, dest, stamp);
  });
}

// Sends `count` MO messages paced at `rate` per second from the start. While
// no connection is logged in the schedule waits instead of building a burst.
void SmgServer::RunMoLoad(double rate, std::uint64_t count, std::string src, std::string dest,
                          bool stamp) {
  log_.Line("mo-load: %g per second, %llu messages", rate, static_cast<unsigned long long>(count));
  auto start = Clock::now();
  std::uint64_t sent = 0;
  MoMessage mo;
  mo.src = std::move(src);
  mo.dest = std::move(dest);
  while (!moLoadStop_ && sent < count) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const auto target =
        std::min<std::uint64_t>(count, static_cast<std::uint64_t>(elapsed * rate) + 1);
    bool stalled = false;
    while (sent < target && !moLoadStop_) {
      auto conn = NextLoggedIn();
      if (!conn) {
        stalled = true;
        break;
      }
      std::string text = "MO load " + std::to_string(sent + 1);
      if (stamp) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        text += " t=" + std::to_string(static_cast<std::int64_t>(now.tv_sec) * 1000000 +
                                       now.tv_nsec / 1000);
      }
      mo.content.assign(text.begin(), text.end());
      if (SendMo(*conn, mo, nullptr)) ++sent;
    }
    if (stalled) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      start = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(sent) / rate));
      continue;
    }
    const auto next = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(sent) / rate));
    const auto wait = std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(10));
    if (wait > Clock::duration::zero()) std::this_thread::sleep_for(wait);
  }
  log_.Line("mo-load: ended after %llu messages", static_cast<unsigned long long>(sent));
}

int SmgServer::ActiveTestAll() {
  int n = 0;
  for (auto& c : Snapshot()) {
    std::uint8_t pdu[12];
    EncodeActiveTest(pdu, NextSequenceId());
    counters_.activeTestsTx++;
    if (c->Write(pdu)) {
      ++n;
    } else {
      counters_.activeTestsTx--;
    }
  }
  return n;
}

int SmgServer::TerminateAll() {
  int n = 0;
  for (auto& c : Snapshot()) {
    std::uint8_t pdu[12];
    EncodeTerminate(pdu, NextSequenceId());
    counters_.terminatesTx++;
    if (c->Write(pdu)) {
      ++n;
    } else {
      counters_.terminatesTx--;
    }
  }
  return n;
}

int SmgServer::DropAll() {
  int n = 0;
  for (auto& c : Snapshot()) {
    c->Shutdown();
    ++n;
  }
  return n;
}

int SmgServer::RawAll(std::span<const std::uint8_t> bytes) {
  int n = 0;
  for (auto& c : Snapshot()) {
    if (c->Write(bytes)) ++n;
  }
  return n;
}

std::vector<std::string> SmgServer::ConnectionLines() {
  std::vector<std::string> lines;
  for (auto& c : Snapshot()) {
    lines.push_back("conn=" + std::to_string(c->Id()) + " port=" + std::to_string(c->Port()) +
                    " logged_in=" + (c->LoggedIn() ? "1" : "0") +
                    " version=" + std::to_string(c->PeerVersion()));
  }
  return lines;
}

}  // namespace brivane::smg
