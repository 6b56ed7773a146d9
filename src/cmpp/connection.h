#pragma once
// CMPPConnection: one TCP link from the SP to the SMG. It owns its socket and
// its receive thread; it logs in (CMPP_CONNECT), reads every PDU the SMG
// sends, answers DELIVER, ACTIVE_TEST and TERMINATE at once, hands submit
// responses, MO messages and status reports to its owning CMPPClient, keeps
// the link alive with CMPP_ACTIVE_TEST, logs in again after errors or a long
// silence, writes submits for worker threads and logs out with CMPP_TERMINATE.
// It knows nothing of the database or of what the SP does with its events.
//
// Threads: the receive thread (Run and everything it calls, all hand-ups of
// received PDUs), worker threads (Submit, which may log in), the thread that
// creates the link (Start, the first login) and the thread that stops it
// (Stop, Logout).
//
// Locks: lock_ (re-entrant) is held across every login, including its read of
// the CONNECT_RESP, and around every PDU written on the socket, so no two
// writes interleave and a login never races another. socketMutex_ guards the
// socket_ pointer only; the socket is replaced only under both. Flags and
// counters are atomics read by other threads without any lock.
//
// The socket is shared by pointer: a login or logout shuts the old connection
// down (waking a thread blocked on it) and drops the link's reference, and
// the descriptor is closed when the last thread using it lets go, so its
// number is never reused under a reader.
//
// Links must be owned by a std::shared_ptr (use Create): the work items that
// carry a link's events to the worker pool keep the link alive.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/mutex.h"
#include "cmpp/cmpp.h"
#include "cmpp/pdu.h"
#include "cmpp/sync.h"

namespace brivane::cmpp {

class CMPPClient;

// The code a refused login returns: kOk for Status 0 of a CONNECT_RESP,
// kResultBadLength when another PDU came first, Status + 10 for every other
// Status up to kMaxLoginStatusCode - 10 (13 for Status 3), and
// kErrLoginRefused above that. Never kOk for a non-zero Status.
inline constexpr std::uint32_t kMaxLoginStatusCode = 15999;
int LoginFailureCode(std::uint32_t commandId, std::uint32_t status);

// Link type (CONNTYPE): which way the link carries messages.
inline constexpr std::int32_t kConnMo = 0;    // receives only; never chosen for submits
inline constexpr std::int32_t kConnMt = 1;    // MT
inline constexpr std::int32_t kConnMtMo = 2;  // MT and MO

// The waits of a link. The defaults are the production values; tests shorten
// them through the constructor (or CMPPClient::SetLinkTimingsForTest).
struct LinkTimings {
  std::int32_t minSocketTimeoutSeconds = 10;  // the socket timeout is clamped to
  std::int32_t maxSocketTimeoutSeconds = 60;  //   min..max
  std::uint32_t loginRetryPauseMs = 5000;     // sleep after a failed re-login in Run
  // How long Stop waits for the receive thread before it logs that it still
  // runs (it then keeps waiting: the thread uses the link until it ends).
  std::chrono::milliseconds stopWaitLogAfter{13000};
};

// The six counters of a link, as one snapshot.
struct LinkCounters {
  std::uint32_t mtOk = 0;      // MT_OK: a SUBMIT written completely
  std::uint32_t mtFail = 0;    // MT_FAIL: writing a SUBMIT failed
  std::uint32_t respOk = 0;    // RESP_OK: a SUBMIT_RESP with Result 0 handed up
  std::uint32_t respFail = 0;  // RESP_FAIL: any other Result handed up
  std::uint32_t mo = 0;        // MO: an MO DELIVER handed up
  std::uint32_t sr = 0;        // SR: a status report handed up
};

class CMPPConnection : public CCmpp, public std::enable_shared_from_this<CMPPConnection> {
 public:
  // Unanswered submits at which a silent socket timeout leads to a re-login
  // instead of an active test; the client does not choose a link above it.
  static constexpr std::int32_t kWindow = 16;
  // Consecutive ACTIVE_TESTs without an ACTIVE_TEST_RESP (each a socket
  // timeout apart) after which the SMG counts as gone and the link logs in
  // again, instead of waiting for the idle limit.
  static constexpr std::int32_t kMaxUnansweredActiveTests = 3;
  // Text parameters are kept to this many characters.
  static constexpr std::size_t kMaxTextLength = 259;

  // Builds the link without connecting: stopped, logged out, counters 0.
  // The socket timeout is clamped to the timings' range; the connection
  // timeout (idle limit, seconds) is taken as it is.
  CMPPConnection(CMPPClient* owner, std::string_view token, std::string_view smgAddress,
                 std::uint16_t smgPort, std::uint8_t version, std::string_view loginName,
                 std::string_view secret, std::string_view icpId, std::int32_t connType,
                 std::int32_t asiaInfoSmg, std::int32_t socketTimeoutSeconds,
                 std::int32_t connectionTimeoutSeconds, const LinkTimings& timings = {});

  // Constructs the link in a shared_ptr and Starts it: the first login and,
  // when it succeeds, the receive thread. The caller keeps the link only when
  // LoggedIn() and Running() are both true.
  static std::shared_ptr<CMPPConnection> Create(CMPPClient* owner, std::string_view token,
                                                std::string_view smgAddress, std::uint16_t smgPort,
                                                std::uint8_t version, std::string_view loginName,
                                                std::string_view secret, std::string_view icpId,
                                                std::int32_t connType, std::int32_t asiaInfoSmg,
                                                std::int32_t socketTimeoutSeconds,
                                                std::int32_t connectionTimeoutSeconds,
                                                const LinkTimings& timings = {});

  // Logs out and ends the receive thread if Stop has not (it waits for the
  // thread: nothing may run on a destroyed link). Writes no statistics.
  ~CMPPConnection() override;

  // 0; kErrAlreadyStarted while the link runs; otherwise the code of the
  // failed first login (no thread is started then).
  int Start();

  // Opens a fresh connection and logs in; 0 or the failure code: a socket
  // error (kTimeout when the connect is not answered within the socket
  // timeout), the read's code, or LoginFailureCode of the answer.
  // Refused with kErrNotLoggedIn once the link is logging out.
  int Login();

  // Reads and decodes one PDU from the current connection and writes the
  // answer it requires. Returns 0, kTimeout (nothing arrived; also after a
  // failed body read), kErrFrameTooLong, or a read or write error; `result`
  // is the decoder's result code.
  int RecvSmgMsg(CmppMessage& message, int& result);

  // Test seam for the receive path: takes `fd` (a connected stream socket;
  // the link closes it) as its logged-in connection and runs the receive
  // thread's reading on the calling thread until the peer closes or the
  // framing is lost: every PDU is read, decoded, answered and handed up as on
  // a live link, without logging in again. Returns the code that ended it.
  int ReceiveUntilClosedForTest(SocketHandle fd);

  // Keep-alive after a silent socket timeout: logs in first when the link is
  // logged out, has kWindow unanswered submits, kMaxUnansweredActiveTests
  // unanswered active tests or lost its framing, then writes
  // CMPP_ACTIVE_TEST. 0 or the failure code.
  int ActiveTest();

  // Writes one submit (a worker thread). Draws its Sequence_Id into the
  // record, counts the attempt, asks OnSubmitting, writes it under the lock.
  // 0; kErrNotLoggedIn when the link was logged out and could not log in
  // (reported through OnSubmitFail with that code, the record unnumbered);
  // kErrSubmitDeclined when the client declined (also reported through
  // OnSubmitFail, nothing written); else the write's code.
  int Submit(CmppSubmit& submit);

  // Stops logging in, writes CMPP_TERMINATE when logged in (not waiting for
  // its answer) and shuts the connection down, which wakes the receive
  // thread. Always 0.
  int Logout();

  // Logout for good: no login starts on this link any more, even after a
  // later Start. Used to abandon a link that is still being created (its
  // first login then ends at once). Safe from any thread.
  void Abort();

  // Logout, then waits for the receive thread to end (logging if it takes
  // longer than stopWaitLogAfter), writes the statistics line and calls
  // OnStopped. Only the first call does anything. Never from the receive
  // thread itself.
  void Stop();

  // --- virtual operations; the hooks update the link, then tell the client ---
  virtual void WriteStatistics();
  virtual void OnLoggedIn();
  virtual void OnLoginFailed(int code);
  virtual void OnStopped();
  // The record is the caller's; a hook that keeps it keeps a copy.
  virtual bool OnSubmitting(const CmppSubmit& submit);
  virtual void OnSubmitSent(const CmppSubmit& submit);
  virtual void OnSubmitFail(const CmppSubmit& submit);
  virtual void OnSubmitResp(const CmppSubmitResp& resp);
  virtual void OnDeliver(const CmppDeliver& deliver);
  virtual void OnReport(const CmppDeliver& deliver);
  // printf-style; formatted into 1024 bytes and handed to the client's
  // LinkLogWrite, which puts the token in front.
  virtual void LogWrite(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // --- state, for the client's selection and for monitoring ---
  const std::string& Token() const { return token_; }
  const std::string& SmgAddress() const { return smgAddress_; }
  std::uint16_t SmgPort() const { return smgPort_; }
  const std::string& LoginName() const { return loginName_; }
  const std::string& IcpId() const { return icpId_; }
  std::int32_t ConnType() const { return connType_; }
  std::int32_t AsiaInfoSmg() const { return asiaInfoSmg_; }
  // The clamped socket timeout used for every read and write wait.
  std::int32_t SocketTimeout() const { return SendTimeout(); }
  std::int32_t ConnectionTimeout() const { return connectionTimeout_; }
  std::uint32_t LoginRetryPauseMs() const { return timings_.loginRetryPauseMs; }
  std::int32_t Window() const { return kWindow; }
  CMPPClient* Owner() const { return owner_; }

  bool Stopped() const { return stopped_.load(); }
  bool LoggedIn() const { return loggedIn_.load(); }
  bool Running() const { return running_.load(); }
  bool Sending() const { return sending_.load(); }
  std::int32_t SelectionMark() const { return selectionMark_.load(); }
  void SetSelectionMark(std::int32_t mark) { selectionMark_.store(mark); }
  std::int32_t Unanswered() const { return unanswered_.load(); }
  LinkCounters Counters() const;
  // The Version field this link sends in CMPP_CONNECT.
  std::uint8_t ConnectVersion() const;
  // Successful logins so far (the first one included).
  std::uint64_t LoginCount() const { return generation_.load(); }

 protected:
  // The receive thread's body.
  virtual void Run();

 private:
  // One TCP connection; the descriptor is closed when the last user lets go.
  struct LinkSocket {
    LinkSocket(SocketHandle handle, std::uint64_t gen) : fd(handle), generation(gen) {}
    ~LinkSocket();
    LinkSocket(const LinkSocket&) = delete;
    LinkSocket& operator=(const LinkSocket&) = delete;
    SocketHandle fd;
    std::uint64_t generation;  // the login that opened it
    // Bytes read and not yet decoded: several PDUs may arrive in one read,
    // and a PDU cut by a timeout is kept whole for the next read. Only the
    // one thread reading this connection touches them.
    std::array<std::uint8_t, 4 * kMaxPduLength> rx;
    std::size_t begin = 0;
    std::size_t end = 0;
  };
  using SocketPtr = std::shared_ptr<LinkSocket>;

  enum class LoginMode {
    kAlways,         // Login, the idle limit in Run, the window in ActiveTest
    kUnlessRenewed,  // only if nobody logged in since `seenGeneration`
  };
  int LoginAs(LoginMode mode, std::uint64_t seenGeneration);
  int LoginLocked() REQUIRES(lock_);
  int RecvOn(LinkSocket& socket, CmppMessage& message, int& result);
  // Reads until `need` bytes are buffered.
  int Fill(LinkSocket& socket, std::size_t need);
  // Caller holds lock_. A write that failed may have left part of a PDU on
  // the wire: the connection is shut down and the link logs in again.
  void WriteFailedLocked(const LinkSocket& socket, int code) REQUIRES(lock_);
  SocketPtr CurrentSocket() const;
  // Caller holds lock_. Shuts the old connection down and installs `next`.
  void ReplaceSocketLocked(SocketPtr next) REQUIRES(lock_);
  // A read or write stopped in the middle of a PDU, or a write failed: the
  // stream cannot be trusted, so the next keep-alive or submit logs in again.
  void MarkFramingLost() { framingLost_.store(true); }
  bool NeedsLogin() const { return !loggedIn_.load() || framingLost_.load(); }
  // Sleeps the login retry pause; Logout cuts it short.
  void PauseBeforeRetry();
  void ThreadMain();
  void HandUp(const CmppMessage& message);
  // The window is full and no submit was answered for a socket timeout.
  bool WindowStalled() const;

  CMPPClient* const owner_;
  const std::string token_;
  const std::string smgAddress_;
  const std::uint16_t smgPort_;
  const std::string loginName_;
  const std::string secret_;
  const std::string icpId_;
  const std::int32_t connType_;
  const std::int32_t asiaInfoSmg_;
  const std::int32_t connectionTimeout_;
  const LinkTimings timings_;

  std::atomic<std::int32_t> selectionMark_{0};
  std::atomic<bool> stopped_{true};
  std::atomic<bool> loggedIn_{false};
  // Set by the first successful login: later ones are reconnects.
  std::atomic<bool> everLoggedIn_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> sending_{false};
  // Set by Logout: no login may start any more (until Start again).
  std::atomic<bool> closing_{false};
  // Set by Abort: no login may start any more, Start included.
  std::atomic<bool> aborted_{false};
  std::atomic<bool> framingLost_{false};
  std::atomic<std::int32_t> unanswered_{0};
  // ACTIVE_TESTs written since the last ACTIVE_TEST_RESP or login.
  std::atomic<std::int32_t> unansweredActiveTests_{0};
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::uint32_t> lastActivityTick_{0};
  // When the unanswered count last moved (a submit written, an answer read,
  // a login): with the window full and this older than a socket timeout the
  // SMG has stopped answering submits, even if other PDUs still arrive.
  std::atomic<std::uint32_t> windowMovedTick_{0};

  std::atomic<std::uint32_t> mtOk_{0};
  std::atomic<std::uint32_t> mtFail_{0};
  std::atomic<std::uint32_t> respOk_{0};
  std::atomic<std::uint32_t> respFail_{0};
  std::atomic<std::uint32_t> mo_{0};
  std::atomic<std::uint32_t> sr_{0};

  // Held across each login and around each PDU written (see the top).
  // Re-entrant: a login holds it while it reads the CONNECT_RESP, and the
  // answers that read writes (to an ACTIVE_TEST or a DELIVER arriving first)
  // take it again on the same thread.
  MyCriticalSection lock_;
  mutable base::Mutex socketMutex_;
  SocketPtr socket_ GUARDED_BY(socketMutex_);  // replaced under lock_ too
  // The connection a login is opening, so that Logout can cut the login
  // short; guarded by socketMutex_, set and cleared by LoginLocked only.
  SocketPtr loginSocket_ GUARDED_BY(socketMutex_);

  // Lifecycle: start/stop of the receive thread, the retry pause, the end.
  base::Mutex lifeMutex_;
  base::CondVar lifeCv_;
  bool threadEnded_ GUARDED_BY(lifeMutex_) = true;
  std::atomic<bool> statisticsWritten_{false};
  std::thread thread_;
};

}  // namespace brivane::cmpp
