#include "cmpp/connection.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>

#include "base/log.h"
#include "base/strings.h"
#include "base/ticks.h"
#include "cmpp/client.h"
#include "cmpp/result_codes.h"

namespace brivane::cmpp {

namespace {

std::string Field(std::string_view text) {
  return std::string(text.substr(0, CMPPConnection::kMaxTextLength));
}

std::int32_t Clamp(std::int32_t value, std::int32_t low, std::int32_t high) {
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

// Encoder refusals (16xxx) write nothing; every other non-zero code comes from
// the transport and may have left part of a PDU on the wire.
bool IsTransportError(int code) { return code != kOk && (code < 16000 || code > 16999); }

}  // namespace

int LoginFailureCode(std::uint32_t commandId, std::uint32_t status) {
  if (commandId != kCmppConnectResp) return kResultBadLength;
  if (status == 0) return kOk;
  // CMPP 3.0 carries the Status in four bytes: Status + 10 of a value near
  // 0xFFFFFFFF would wrap round to a small code, even to 0 (success).
  if (status > kMaxLoginStatusCode - 10u) return kErrLoginRefused;
  return static_cast<int>(status + 10u);
}

CMPPConnection::LinkSocket::~LinkSocket() { TCPSocket::Close(fd); }

CMPPConnection::CMPPConnection(CMPPClient* owner, std::string_view token,
                               std::string_view smgAddress, std::uint16_t smgPort,
                               std::uint8_t version, std::string_view loginName,
                               std::string_view secret, std::string_view icpId,
                               std::int32_t connType, std::int32_t asiaInfoSmg,
                               std::int32_t socketTimeoutSeconds,
                               std::int32_t connectionTimeoutSeconds, const LinkTimings& timings)
    : CCmpp(version),
      owner_(owner),
      token_(Field(token)),
      smgAddress_(Field(smgAddress)),
      smgPort_(smgPort),
      loginName_(Field(loginName)),
      secret_(Field(secret)),
      icpId_(Field(icpId)),
      connType_(connType),
      asiaInfoSmg_(asiaInfoSmg),
      connectionTimeout_(connectionTimeoutSeconds),
      timings_(timings) {
  SetSendTimeout(Clamp(socketTimeoutSeconds, timings.minSocketTimeoutSeconds,
                       timings.maxSocketTimeoutSeconds));
}

std::shared_ptr<CMPPConnection> CMPPConnection::Create(
    CMPPClient* owner, std::string_view token, std::string_view smgAddress, std::uint16_t smgPort,
    std::uint8_t version, std::string_view loginName, std::string_view secret,
    std::string_view icpId, std::int32_t connType, std::int32_t asiaInfoSmg,
    std::int32_t socketTimeoutSeconds, std::int32_t connectionTimeoutSeconds,
    const LinkTimings& timings) {
  auto link = std::make_shared<CMPPConnection>(
      owner, token, smgAddress, smgPort, version, loginName, secret, icpId, connType, asiaInfoSmg,
      socketTimeoutSeconds, connectionTimeoutSeconds, timings);
  link->Start();
  return link;
}

CMPPConnection::~CMPPConnection() {
  if (running_.load()) stopped_.store(true);
  if (loggedIn_.load() || thread_.joinable()) Logout();
  // The thread may still be inside a hand-up; it must end before the members
  // it uses go.
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  if (thread_.joinable()) thread_.detach();
}

std::uint8_t CMPPConnection::ConnectVersion() const {
  if (asiaInfoSmg_ != 0) {
    if (connType_ == kConnMt) return 0;
    if (connType_ == kConnMo) return 1;
  }
  return Version();
}

LinkCounters CMPPConnection::Counters() const {
  return {mtOk_.load(), mtFail_.load(), respOk_.load(), respFail_.load(), mo_.load(), sr_.load()};
}

CMPPConnection::SocketPtr CMPPConnection::CurrentSocket() const {
  base::MutexLock guard(socketMutex_);
  return socket_;
}

void CMPPConnection::ReplaceSocketLocked(SocketPtr next) {
  SocketPtr old;
  {
    base::MutexLock guard(socketMutex_);
    old = std::move(socket_);
    socket_ = std::move(next);
  }
  // Wakes a reader blocked on the old connection; its descriptor is closed
  // when that reader lets go of it.
  if (old) TCPSocket::Shutdown(old->fd);
}

void CMPPConnection::WriteFailedLocked(const LinkSocket& socket, int code) {
  if (!IsTransportError(code)) return;
  MarkFramingLost();
  TCPSocket::Shutdown(socket.fd);
}

// ------------------------------------------------------------------ lifecycle

int CMPPConnection::Start() {
  if (!stopped_.load() || running_.load()) return kErrAlreadyStarted;
  // A thread that ended after a Logout is joined before a new one starts.
  if (thread_.joinable()) thread_.join();
  closing_.store(false);
  const int code = Login();
  if (code != kOk) return code;

  stopped_.store(false);
  {
    base::MutexLock guard(lifeMutex_);
    threadEnded_ = false;
  }
  statisticsWritten_.store(false);
  running_.store(true);
  try {
    thread_ = std::thread(&CMPPConnection::ThreadMain, this);
  } catch (const std::system_error& e) {
    running_.store(false);
    LogWrite("ERROR|CMPPConnection::Start() cannot start the receive thread,error_code:%d;",
             e.code().value());
    Logout();
    {
      base::MutexLock guard(lifeMutex_);
      threadEnded_ = true;
    }
    return e.code().value();
  }
  return kOk;
}

void CMPPConnection::ThreadMain() {
  try {
    Run();
  } catch (const std::exception& e) {
    const int error = errno;
    LogWrite("EXCEPTION|CMPPConnection::Run|ERR=%d|%s;", error, e.what());
  } catch (...) {
    const int error = errno;
    LogWrite("EXCEPTION|CMPPConnection::Run|ERR=%d;", error);
  }
  running_.store(false);
  {
    base::MutexLock guard(lifeMutex_);
    threadEnded_ = true;
  }
  lifeCv_.notify_all();
}

void CMPPConnection::Abort() {
  aborted_.store(true);
  Logout();
}

int CMPPConnection::Logout() {
  stopped_.store(true);
  {
    // closing_ under lifeMutex_, so a retry pause cannot miss the wake-up.
    base::MutexLock guard(lifeMutex_);
    closing_.store(true);
  }
  lifeCv_.notify_all();
  // A login in progress holds lock_ across its connect and its wait for the
  // CONNECT_RESP: shutting its socket down ends both at once, so the lock
  // below is not held up by a peer that does not answer.
  {
    base::MutexLock guard(socketMutex_);
    if (loginSocket_) TCPSocket::Shutdown(loginSocket_->fd);
  }

  MySyncGuard guard(lock_);
  if (loggedIn_.load()) {
    if (SocketPtr socket = CurrentSocket()) {
      // The answer is not waited for and a failed write changes nothing.
      SendTerminate(socket->fd, NextSequenceId());
    }
    loggedIn_.store(false);
  }
  // Shutting down (not closing) wakes the receive thread without letting the
  // descriptor number be reused under it.
  ReplaceSocketLocked(nullptr);
  return kOk;
}

void CMPPConnection::Stop() {
  if (statisticsWritten_.exchange(true)) return;
  if (running_.load()) stopped_.store(true);
  Logout();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    bool ended;
    {
      base::UniqueLock guard(lifeMutex_);
      ended = lifeCv_.wait_for(guard, timings_.stopWaitLogAfter,
                               [this]() REQUIRES(lifeMutex_) { return threadEnded_; });
    }
    if (!ended) {
      LogWrite("ERROR|Stop: the receive thread is still running after %lld ms, waiting for it;",
               static_cast<long long>(timings_.stopWaitLogAfter.count()));
    }
    thread_.join();
  }
  WriteStatistics();
  OnStopped();
  running_.store(false);
}

void CMPPConnection::PauseBeforeRetry() {
  base::UniqueLock guard(lifeMutex_);
  lifeCv_.wait_for(guard, std::chrono::milliseconds(timings_.loginRetryPauseMs),
                   [this] { return closing_.load(); });
}

// ------------------------------------------------------------------ login

int CMPPConnection::Login() { return LoginAs(LoginMode::kAlways, 0); }

int CMPPConnection::LoginAs(LoginMode mode, std::uint64_t seenGeneration) {
  sending_.store(false);
  int code;
  {
    MySyncGuard guard(lock_);
    if (closing_.load() || aborted_.load()) return kErrNotLoggedIn;
    // Another thread logged in while this one waited for the lock: one fresh
    // connection is enough.
    if (mode == LoginMode::kUnlessRenewed && !NeedsLogin() &&
        generation_.load() != seenGeneration) {
      return kOk;
    }
    code = LoginLocked();
  }
  if (code == kOk) {
    OnLoggedIn();
  } else {
    OnLoginFailed(code);
  }
  return code;
}

int CMPPConnection::LoginLocked() {
  // The old connection goes now, so the link is no longer logged in whatever
  // this login's outcome.
  loggedIn_.store(false);
  ReplaceSocketLocked(nullptr);

  SocketHandle fd = kNoSocket;
  int code = TCPSocket::Create(fd);
  if (code != kOk) {
    LogWrite("ERROR|TCPSocket::Create() failed,error_code:%d;", code);
    return code;
  }
  // Not published before the login succeeds: only Logout may shut it down
  // (see there), nobody else reads or writes it.
  auto socket = std::make_shared<LinkSocket>(fd, generation_.load() + 1);
  {
    base::MutexLock guard(socketMutex_);
    loginSocket_ = socket;
  }
  struct ForgetLoginSocket {
    CMPPConnection& link;
    ~ForgetLoginSocket() {
      base::MutexLock guard(link.socketMutex_);
      link.loginSocket_.reset();
    }
  } forget{*this};
  // Logout sets closing_ before it looks for loginSocket_: one of the two
  // sides sees the other.
  if (closing_.load() || aborted_.load()) return kErrNotLoggedIn;
  code = TCPSocket::Connect(fd, smgAddress_, smgPort_, SendTimeout());
  if (code != kOk) {
    LogWrite("ERROR|TCPSocket::Connect() failed,error_code:%d,smg_addr:%s,smg_port:%d;", code,
             smgAddress_.c_str(), smgPort_);
    LogWrite("ERROR|Connect to the SMG|%s; check SMGAddress and the pool's port key;",
             CodeText(code).c_str());
    return code;
  }
  code = SendConnect(loginName_, secret_, fd, NextSequenceId(), ConnectVersion());
  if (code != kOk) {
    LogWrite("ERROR|SendConnect failed,error_code:%d;", code);
    return code;
  }
  CmppMessage message{};
  int result = 0;
  code = RecvOn(*socket, message, result);
  if (code != kOk || result != kOk) {
    LogWrite("ERROR|RecvSmgMsg failed,error_code:%d,result:%d;", code, result);
    if (code != kOk)
      LogWrite("ERROR|Login answer|%s;", CodeText(code).c_str());
    else if (result == kResultBadLength)
      LogWrite("ERROR|Login answer|wrong length for this version; check SMGVersion;");
    return code != kOk ? code : result;
  }
  const std::uint32_t status = message.connectResp.Status;
  if (message.header.Command_Id == kCmppConnectResp && status == 0) {
    unanswered_.store(0);
    unansweredActiveTests_.store(0);
    windowMovedTick_.store(base::TickCount());
    framingLost_.store(false);
    generation_.store(socket->generation);
    ReplaceSocketLocked(std::move(socket));
    loggedIn_.store(true);
    return kOk;
  }
  LogWrite("ERROR|Login failed,connect_resp cmdid = 0x%08x, result = %d;",
           message.header.Command_Id, static_cast<int>(status));
  if (message.header.Command_Id == kCmppConnectResp)
    LogWrite("ERROR|Login refused|status %u: %s;", status, LoginStatusText(status).c_str());
  return LoginFailureCode(message.header.Command_Id, status);
}

// ------------------------------------------------------------------ reading

int CMPPConnection::Fill(LinkSocket& socket, std::size_t need) {
  while (socket.end - socket.begin < need) {
    if (socket.begin == socket.end) {
      socket.begin = socket.end = 0;
    } else if (socket.rx.size() - socket.begin < need) {
      std::memmove(socket.rx.data(), socket.rx.data() + socket.begin, socket.end - socket.begin);
      socket.end -= socket.begin;
      socket.begin = 0;
    }
    std::size_t got = 0;
    const int code = TCPSocket::RecvSome(socket.fd, std::span(socket.rx).subspan(socket.end),
                                         SendTimeout(), got);
    if (code != kOk) return code;
    socket.end += got;
  }
  return kOk;
}

int CMPPConnection::RecvSmgMsg(CmppMessage& message, int& result) {
  result = kOk;
  SocketPtr socket = CurrentSocket();
  if (!socket) {
    if (!stopped_.load()) {
      LogWrite("ERROR|RECVHEAD|TCPSOCKET|SOCKET=%d|ERROR=%d;", kNoSocket, EBADF);
    }
    return EBADF;
  }
  return RecvOn(*socket, message, result);
}

int CMPPConnection::RecvOn(LinkSocket& socket, CmppMessage& message, int& result) {
  result = kOk;
  int code = Fill(socket, kHeaderLength);
  if (code == kTimeout) return kTimeout;
  if (code != kOk) {
    if (!stopped_.load()) {
      LogWrite("ERROR|RECVHEAD|TCPSOCKET|SOCKET=%d|ERROR=%d;", socket.fd, code);
    }
    return code;
  }
  CmppHeader header{};
  std::uint32_t bodyLength = 0;
  code = ParseHeader(
      std::span<const std::uint8_t, kHeaderLength>(socket.rx.data() + socket.begin, kHeaderLength),
      header, bodyLength);
  if (code != kOk) {
    // The frame does not fit the body buffer and the stream cannot be
    // resynchronised: the caller drops the connection and logs in again.
    if (!stopped_.load()) {
      LogWrite("ERROR|RECVHEAD|TOTAL_LENGTH=%u|SOCKET=%d|ERROR=%d;", header.Total_Length, socket.fd,
               code);
    }
    MarkFramingLost();
    return code;
  }
  code = Fill(socket, kHeaderLength + bodyLength);
  if (code != kOk) {
    if (!stopped_.load()) LogWrite("ERROR|RECVBODY|SOCKET=%d|ERROR=%d;", socket.fd, code);
    // A timeout keeps the partial PDU buffered for the next read; any other
    // failure leaves a dead connection, which the keep-alive logs in again.
    if (code != kTimeout) MarkFramingLost();
    return kTimeout;
  }

  // Only a DELIVER carries the receive time; the text costs a clock read.
  std::string time;
  if (header.Command_Id == kCmppDeliver) time = base::LocalTimeText();
  const CmppReceiveStamp stamp{base::TickCount(), time};
  CmppAnswer answer{};
  const std::uint8_t* body = socket.rx.data() + socket.begin + kHeaderLength;
  result = DecodePdu(header, std::span(body, bodyLength), Version(), stamp, message, answer);
  socket.begin += kHeaderLength + bodyLength;
  if (socket.begin == socket.end) socket.begin = socket.end = 0;

  if (answer.kind == CmppAnswerKind::kNone) return kOk;
  MySyncGuard guard(lock_);
  code = SendAnswer(socket.fd, answer);
  if (code != kOk) WriteFailedLocked(socket, code);
  return code;
}

int CMPPConnection::ReceiveUntilClosedForTest(SocketHandle fd) {
  {
    MySyncGuard guard(lock_);
    ReplaceSocketLocked(std::make_shared<LinkSocket>(fd, generation_.load() + 1));
    loggedIn_.store(true);
  }
  SocketPtr socket = CurrentSocket();
  CmppMessage message{};
  for (;;) {
    int result = kOk;
    const int code = RecvOn(*socket, message, result);
    if (code == kTimeout) {
      if (framingLost_.load()) return code;
      continue;
    }
    if (code != kOk) return code;
    if (result == kOk) HandUp(message);
  }
}

// ------------------------------------------------------------------ receive thread

void CMPPConnection::Run() {
  lastActivityTick_.store(base::TickCount());
  if (stopped_.load()) {
    running_.store(false);
    return;
  }
  CmppMessage message{};
  int lastError = kOk;
  // The login whose connection gave lastError; a re-login is skipped when
  // another thread has logged in since.
  std::uint64_t errorGeneration = 0;
  for (;;) {
    const bool idle = base::TicksSince(lastActivityTick_.load()) >
                      static_cast<std::uint32_t>(connectionTimeout_) * 1000u;
    if (lastError != kOk || idle) {
      lastActivityTick_.store(base::TickCount());
      const int code = lastError == kOk ? LoginAs(LoginMode::kAlways, 0)
                                        : LoginAs(LoginMode::kUnlessRenewed, errorGeneration);
      if (code != kOk) {
        lastError = code;
        errorGeneration = generation_.load();
        if (!stopped_.load()) PauseBeforeRetry();
        if (stopped_.load()) break;
        continue;
      }
      lastError = kOk;
    }

    SocketPtr socket = CurrentSocket();
    int result = kOk;
    int code;
    if (socket) {
      errorGeneration = socket->generation;
      code = RecvOn(*socket, message, result);
    } else {
      errorGeneration = generation_.load();
      code = RecvSmgMsg(message, result);
    }
    const int fd = socket ? socket->fd : kNoSocket;
    socket.reset();
    lastError = code;
    if (code == kTimeout) {
      lastError = ActiveTest();
      if (lastError != kOk) errorGeneration = generation_.load();
    } else if (code != kOk) {
      if (!stopped_.load()) LogWrite("ERROR|%d RecvSmgMsg() failed, error_code:%d;", fd, code);
    } else if (result != kOk) {
      if (!stopped_.load()) LogWrite("ERROR|%d RecvSmgMsg() failed,result:%d;", fd, result);
    } else {
      HandUp(message);
    }
    // Other PDUs (MO messages, reports) keep the receive from timing out,
    // so a full window whose answers stopped would never reach the
    // keep-alive's re-login and the link would take no submit again.
    if (lastError == kOk && WindowStalled() && !stopped_.load()) {
      LogWrite("WARNING|%d unanswered submits, none answered for %d s: logging in again;",
               unanswered_.load(), SendTimeout());
      lastError = ActiveTest();
      if (lastError != kOk) errorGeneration = generation_.load();
    }
    if (stopped_.load()) break;
  }
  running_.store(false);
}

void CMPPConnection::HandUp(const CmppMessage& message) {
  const std::uint32_t command = message.header.Command_Id;
  if (command == kCmppActiveTestResp) unansweredActiveTests_.store(0);
  if (command != kCmppActiveTest && command != kCmppActiveTestResp) {
    lastActivityTick_.store(base::TickCount());
  }
  if (command == kCmppDeliver) {
    if (message.deliver.Registered_Delivery == 0) {
      OnDeliver(message.deliver);
    } else {
      OnReport(message.deliver);
    }
  } else if (command == kCmppSubmitResp) {
    OnSubmitResp(message.submitResp);
  }
}

bool CMPPConnection::WindowStalled() const {
  return unanswered_.load() >= kWindow && base::TicksSince(windowMovedTick_.load()) >
                                              static_cast<std::uint32_t>(SendTimeout()) * 1000u;
}

int CMPPConnection::ActiveTest() {
  const std::uint64_t seen = generation_.load();
  int code = kOk;
  if (unansweredActiveTests_.load() >= kMaxUnansweredActiveTests) {
    // A half-open path (the SMG or a firewall between gone without a FIN)
    // looks like an idle link; only the missing answers tell it apart.
    LogWrite(
        "WARNING|%d ACTIVE_TEST unanswered, each %d s apart: the SMG is not answering, "
        "logging in again;",
        unansweredActiveTests_.load(), SendTimeout());
    code = LoginAs(LoginMode::kAlways, 0);
  } else if (unanswered_.load() >= kWindow) {
    code = LoginAs(LoginMode::kAlways, 0);
  } else if (NeedsLogin()) {
    code = LoginAs(LoginMode::kUnlessRenewed, seen);
  }
  if (code != kOk) return code;
  {
    MySyncGuard guard(lock_);
    SocketPtr socket = CurrentSocket();
    code = socket ? SendActiveTest(socket->fd, NextSequenceId()) : EBADF;
    if (code != kOk && socket) WriteFailedLocked(*socket, code);
    if (code == kOk) unansweredActiveTests_.fetch_add(1);
  }
  if (code != kOk) LogWrite("ERROR|SendActiveTest failed,error_code:%d;", code);
  return code;
}

// ------------------------------------------------------------------ writing

int CMPPConnection::Submit(CmppSubmit& submit) {
  const std::uint64_t seen = generation_.load();
  if (NeedsLogin() && LoginAs(LoginMode::kUnlessRenewed, seen) != kOk) {
    // The record was queued for this link and nothing was written: the
    // client must still hear of it, or the row it came from (already marked
    // as handed over) would never get an outcome.
    submit.lastError = kErrNotLoggedIn;
    OnSubmitFail(submit);
    return kErrNotLoggedIn;
  }

  submit.sequenceId = NextSequenceId();
  ++submit.writeAttempts;
  submit.lastWriteTick = base::TickCount();
  if (!OnSubmitting(submit)) {
    // Nothing was written, but the row is already marked as handed over:
    // like a failed login, the decline goes through OnSubmitFail so that the
    // row gets an outcome, and the link's sending flag is cleared there (left
    // set, it would keep the client from ever choosing this link).
    submit.lastError = kErrSubmitDeclined;
    OnSubmitFail(submit);
    return kErrSubmitDeclined;
  }
  int code;
  {
    MySyncGuard guard(lock_);
    SocketPtr socket = CurrentSocket();
    code = socket ? SendSubmit(submit, socket->fd, submit.sequenceId) : EBADF;
    if (code != kOk && socket) WriteFailedLocked(*socket, code);
  }
  if (code == kOk) {
    OnSubmitSent(submit);
  } else {
    submit.lastError = code;
    OnSubmitFail(submit);
  }
  return code;
}

// ------------------------------------------------------------------ hooks

void CMPPConnection::WriteStatistics() {
  const LinkCounters c = Counters();
  LogWrite(
      "STATICS|ICPID=%s|CONNTYPE=%d|TOKEN=%s|MT_OK=%u|MT_FAIL=%u|RESP_OK=%u|RESP_FAIL=%u|"
      "MO=%u|SR=%u;",
      icpId_.c_str(), connType_, token_.c_str(), c.mtOk, c.mtFail, c.respOk, c.respFail, c.mo,
      c.sr);
}

void CMPPConnection::OnLoggedIn() {
  if (!owner_) return;
  owner_->CountLogin(true, everLoggedIn_.exchange(true));
  owner_->LinkStateChanged();
  owner_->OnLoggedIn(*this);
}

void CMPPConnection::OnLoginFailed(int code) {
  if (!owner_) return;
  owner_->CountLogin(false, everLoggedIn_.load());
  owner_->OnLoginFailed(*this, code);
}

void CMPPConnection::OnStopped() {
  if (owner_) owner_->OnStopped(*this);
}

bool CMPPConnection::OnSubmitting(const CmppSubmit& submit) {
  sending_.store(true);
  return owner_ ? owner_->OnSubmitting(*this, submit) : true;
}

void CMPPConnection::OnSubmitSent(const CmppSubmit& submit) {
  unanswered_.fetch_add(1);
  windowMovedTick_.store(base::TickCount());
  mtOk_.fetch_add(1);
  sending_.store(false);
  if (!owner_) return;
  owner_->LinkStateChanged();
  owner_->OnSubmitSent(*this, submit);
}

void CMPPConnection::OnSubmitFail(const CmppSubmit& submit) {
  mtFail_.fetch_add(1);
  sending_.store(false);
  if (!owner_) return;
  owner_->LinkStateChanged();
  owner_->OnSubmitFail(*this, submit);
}

void CMPPConnection::OnSubmitResp(const CmppSubmitResp& resp) {
  unanswered_.fetch_sub(1);
  windowMovedTick_.store(base::TickCount());
  (resp.Result == 0 ? respOk_ : respFail_).fetch_add(1);
  if (owner_) owner_->LinkStateChanged();
  // Null only while the link is being destroyed (or was never shared).
  if (auto self = weak_from_this().lock(); self && owner_) owner_->QueueSubmitResp(self, resp);
}

void CMPPConnection::OnDeliver(const CmppDeliver& deliver) {
  mo_.fetch_add(1);
  if (auto self = weak_from_this().lock(); self && owner_) owner_->QueueDeliver(self, deliver);
}

void CMPPConnection::OnReport(const CmppDeliver& deliver) {
  sr_.fetch_add(1);
  if (auto self = weak_from_this().lock(); self && owner_) owner_->QueueReport(self, deliver);
}

void CMPPConnection::LogWrite(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = base::PrintfLine(format, args);
  va_end(args);
  if (owner_) {
    owner_->LinkLogWrite(*this, line);
  } else {
    base::LogF(2, "{}\t{}", token_, line);
  }
}

}  // namespace brivane::cmpp
