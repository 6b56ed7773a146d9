#pragma once
// CMPPClient: the top object of the CMPP engine. It owns the links to the SMG
// in one list (grouped at start-up into MT, MO and MT-and-MO pools) and one
// worker pool; it sends MT messages (Submit: split, link chosen in rotation,
// written later by a worker), and moves every event a link receives off the
// link's receive thread onto a worker thread. What happens with the events is
// decided by the virtual hooks, which the SP's subclass overrides; this class
// only defines them and their defaults. It knows nothing of the database.
//
// Threads: the MT polling thread (Submit, SelectLink), each link's receive
// thread (Queue*, LinkLogWrite, OnLoggedIn, OnLoginFailed), worker threads
// (CWorkerCmpp::Execute and the submit and event hooks), the thread that
// opens the links (StartWorkers, OpenLinks, CreateLink) and the thread that
// releases the client (Release, StopLinks, OnStopped through each link).
// Hooks run concurrently on many workers; a subclass guards its own data.
//
// Locks: listLock_ guards links_ and lastToken_; it is never held while a
// link logs in, writes or stops, only while the list is read or changed.
//
// A subclass calls Release() in its own destructor (the links call its hooks
// until they are stopped).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "cmpp/connection.h"
#include "cmpp/pdu.h"
#include "cmpp/queued_deliver.h"
#include "cmpp/sync.h"
#include "cmpp/thread_pool.h"

namespace brivane::cmpp {

class CMPPClient;

// What a work item asks a worker to do.
enum class WorkKind : std::uint32_t {
  kSubmit = 0,      // the link's Submit with the item's CmppSubmit
  kDeliver = 3,     // OnDeliver with the item's CmppDeliver
  kReport = 6,      // OnReport with the item's CmppDeliver
  kSubmitResp = 8,  // OnSubmitResp with the item's CmppSubmitResp
};

// One event or request on its way to a worker thread. Created by the client,
// posted to the pool, deleted by the worker that ran it. Only the record of
// its kind is allocated: a CmppSubmit is ~11.5 KB, a CmppDeliver ~8.3 KB.
class CmppWorkItem final : public WorkItem {
 public:
  CmppWorkItem() = default;
  // A submit item leaves the client's count of queued submits here, whether
  // a worker ran it or the pool released it unrun.
  ~CmppWorkItem() override;
  CmppWorkItem(const CmppWorkItem&) = delete;
  CmppWorkItem& operator=(const CmppWorkItem&) = delete;

  std::uint32_t kind = 0;      // a WorkKind value; any other value does nothing
  bool countedSubmit = false;  // counted in the client's QueuedSubmits
  bool running = false;        // counted in the client's running items
  CMPPClient* client = nullptr;
  std::shared_ptr<CMPPConnection> link;  // keeps the link alive while queued
  // kSubmit: one row's segments (one for a short message), written in order.
  std::vector<std::unique_ptr<CmppSubmit>> submits;
  std::optional<QueuedDeliver> deliver;  // kDeliver, kReport
  CmppSubmitResp submitResp{};           // kSubmitResp
};

// The client's IWorker: runs CmppWorkItems on the pool's threads.
class CWorkerCmpp final : public IWorker {
 public:
  // Only CmppWorkItems are posted with this worker.
  void Execute(WorkItem& item) override;
};

// Everything OpenLinks needs: the counts, ports and retry settings of the
// three pools and the settings every link is built with.
struct LinkSettings {
  std::string smgAddress = "0.0.0.0";  // dotted IPv4
  std::uint8_t version = kCmppVersion20;
  std::string loginName;
  std::string secret;
  std::string icpId;
  bool asiaInfoSmg = false;
  std::int32_t socketTimeoutSeconds = 25;        // clamped by each link
  std::int32_t connectionTimeoutSeconds = 1800;  // idle limit, not clamped
  std::int32_t mtConnections = 0;
  std::int32_t moConnections = 0;
  std::int32_t mtAndMoConnections = 1;
  std::uint16_t mtPort = 7890;
  std::uint16_t moPort = 7890;
  std::uint16_t mtAndMoPort = 7890;
  std::int32_t reConnectSmgTimesOnStart = 3;  // attempts; negative = for ever
  std::int32_t reConnectSmgInterval = 3;      // milliseconds between attempts
};

// Which pools OpenLinks completed.
struct PoolResults {
  bool mtGood = false;
  bool moGood = false;
  bool mtAndMoGood = false;
  bool AllGood() const { return mtGood && moGood && mtAndMoGood; }
};

// One link as a monitoring page sees it.
struct LinkState {
  std::string token;
  std::int32_t connType = 0;
  std::uint16_t port = 0;
  bool loggedIn = false;
  bool running = false;
  std::int32_t unanswered = 0;
  LinkCounters counters;
};

// "YYYYMMDDhhmmssmmm" of the local time (17 digits). Sleeps 10 ms after
// reading the clock, so two calls in a row never give the same text.
std::string MakeTimestamp();

class CMPPClient {
 public:
  // Submit's wait for an eligible link: tries, and the pause between them;
  // Submit gives up after (tries - 1) pauses, about 30 seconds. A link whose
  // state changes cuts a pause short, so a submit waits for a busy link only
  // as long as the link is busy.
  static constexpr int kSelectTries = 301;
  static constexpr std::chrono::milliseconds kSelectPause{100};
  // Submits queued or being written beyond which Submit waits for room.
  static constexpr std::size_t kMaxQueuedSubmits = 512;
  // How often StopWorkers logs while it waits for items still running.
  static constexpr std::chrono::milliseconds kRunningItemsLogEvery{5000};
  // Pool sizes: the requested numbers, but at least 2p + 2 / 2p + 6
  // (p = processors) and at most these.
  static constexpr std::uint32_t kMaxMinimumWorkers = 800;
  static constexpr std::uint32_t kMaxMaximumWorkers = 1024;
  // Text of a single message (Msg_Fmt 0 / other); longer texts are split
  // into slices of 150 / 134 bytes behind a 6-byte concatenation header.
  static constexpr std::uint32_t kSingleLimitAscii = 159;
  static constexpr std::uint32_t kSingleLimitOther = 140;
  static constexpr std::uint32_t kSliceAscii = 150;
  static constexpr std::uint32_t kSliceOther = 134;

  // workerStopWait: how long stopping the pool waits for its workers before
  // it leaves them (StopWorkers then still waits for their items to end).
  explicit CMPPClient(std::chrono::milliseconds workerStopWait = CThreadPool::kStopWait);
  // Stops the pool and the links if Release has not; the subclass's hooks
  // are no longer called then (link lines go to the process log).
  virtual ~CMPPClient();
  CMPPClient(const CMPPClient&) = delete;
  CMPPClient& operator=(const CMPPClient&) = delete;

  // Cuts short an OpenLinks in progress (CancelOpenLinks), stops every link
  // (StopLinks), then the worker pool if it was started.
  virtual void Release();

  // --- hooks, in this order; records are the caller's, copy what you keep ---
  virtual void OnLoggedIn(CMPPConnection& link);
  virtual void OnLoginFailed(CMPPConnection& link, int code);
  virtual void OnStopped(CMPPConnection& link);
  // Before a submit is written (the record carries its Sequence_Id); false
  // declines it. Default true.
  virtual bool OnSubmitting(CMPPConnection& link, const CmppSubmit& submit);
  virtual void OnSubmitSent(CMPPConnection& link, const CmppSubmit& submit);
  // The record's lastError holds the write's code.
  virtual void OnSubmitFail(CMPPConnection& link, const CmppSubmit& submit);
  virtual void OnSubmitResp(CMPPConnection& link, const CmppSubmitResp& resp);
  virtual void OnDeliver(CMPPConnection& link, const CmppDeliver& deliver);
  virtual void OnReport(CMPPConnection& link, const CmppDeliver& deliver);
  // A link's log line: LogWrite of the token, a tab and the line.
  virtual void LinkLogWrite(CMPPConnection& link, std::string_view line);
  // Every log line of the engine; the subclass writes it (level 2).
  virtual void LogWrite(std::string_view line) = 0;

  // printf-style front of LogWrite.
  void LogPrintf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Starts the worker pool with the sizes above; nothing while it runs.
  void StartWorkers(std::uint32_t requestedMinimum, std::uint32_t requestedMaximum);
  // Stops the worker pool if it was started (queued items run first, within
  // the pool's bounded wait). A worker the pool leaves running is still
  // inside a call of this client: StopWorkers waits until every such item
  // has ended (every call a worker makes has a bound of its own: socket,
  // database and HTTP timeouts, cancellable forwards), logging while it
  // waits, so that no worker ever runs on a released or destroyed client.
  void StopWorkers();
  // Work items being run by a worker at this moment.
  int RunningItems() const { return runningItems_.load(); }
  bool WorkersStarted() const { return poolStarted_.load(); }
  std::uint32_t MinimumWorkers() const { return minimumWorkers_.load(); }
  std::uint32_t MaximumWorkers() const { return maximumWorkers_.load(); }
  // The pool, for its LoadLevel.
  CThreadPool& WorkerPool() { return pool_; }

  // Opens the MT, MO and MT-and-MO pools in that order, retrying the whole
  // start-up as the settings say. 1 when
  // every pool is complete, else 0 (also at once after CancelOpenLinks).
  int OpenLinks(const LinkSettings& settings, PoolResults* pools = nullptr);
  // A later round after a failed OpenLinks: makes only the links each pool
  // still lacks (a listed link that lost its login logs in again by itself).
  PoolResults OpenMissingLinks(const LinkSettings& settings);
  // Ends OpenLinks and its pauses at once, abandons the logins of links
  // being created and refuses new ones until ResumeOpenLinks. Any thread.
  void CancelOpenLinks();
  void ResumeOpenLinks();
  // Ends every Submit waiting for a link at once (kErrNoLink: nothing
  // queued) and makes later ones give up without waiting, until
  // ResumeSubmitWaits: a stop must not wait out the select wait. Any thread.
  void CancelSubmitWaits();
  void ResumeSubmitWaits() { submitWaitsCancelled_.store(false); }
  bool OpenLinksCancelled() const;
  // Sleeps `pause` unless cancelled first; false when cancelled.
  bool PauseOpenLinks(std::chrono::milliseconds pause);
  // The shortest pause between attempts that go on for ever.
  static constexpr std::chrono::milliseconds kMinForeverPause{1000};
  // Builds, logs in and starts one link; appends it to the list and returns
  // it, or returns null (and destroys it) when it could not log in or start.
  std::shared_ptr<CMPPConnection> CreateLink(const LinkSettings& settings, std::int32_t connType,
                                             std::uint16_t port);

  // Queues an MT message: every segment of a long one goes in one work item
  // for one link, which writes them in order, so a row is never spread over
  // links (the SMG reassembles per link) and is either queued whole or not
  // at all. 0 when queued; kErrNoLink when no eligible link turned up
  // within the select wait, ENOMEM without memory (nothing queued then).
  // Sets Pk_total of a split record to the number of segments. While
  // kMaxQueuedSubmits submits are queued or being written it first waits for
  // room, at most as long as the select wait, and then queues regardless.
  int Submit(CmppSubmit& submit);
  // Cuts a record longer than one SMS into its segments (each with its
  // concatenation header) and sets its Pk_total; a short record gives one
  // copy of itself. May throw std::bad_alloc.
  std::vector<std::unique_ptr<CmppSubmit>> SplitSubmit(CmppSubmit& submit);
  // The next eligible link after the one chosen last, in list order,
  // wrapping around; null when none is eligible.
  std::shared_ptr<CMPPConnection> SelectLink();
  // Submit work items posted and not yet run to their end (or released):
  // records handed over whose write has not been tried yet. A releasing
  // client waits for it to reach 0 before it stops the links.
  std::size_t QueuedSubmits() const { return queuedSubmits_.load(); }

  // A link became eligible perhaps (a write ended, an answer came, a login
  // succeeded): wakes a Submit waiting for a link. Cheap when none waits.
  void LinkStateChanged();
  // Submits waiting for an eligible link at this moment.
  int WaitingSubmits() const { return selectWaiters_.load(); }

  // Counted by every link of this client as its logins end, before the
  // hooks run: a failed login, and a successful login of a link that had
  // been logged in before (a reconnect after a lost connection). Any thread.
  void CountLogin(bool succeeded, bool again);
  std::uint64_t LoginFailures() const { return loginFailures_.load(); }
  std::uint64_t Reconnects() const { return reconnects_.load(); }

  // Receive-thread entries: they post a work item. While more than
  // kQueueHighWater items wait in the pool they then hold the receive
  // thread until the workers are back under kQueueLowWater (or the link or
  // the pool stops): the link reads nothing meanwhile, so TCP slows the SMG
  // down instead of the queue growing without bound.
  void QueueSubmitResp(std::shared_ptr<CMPPConnection> link, const CmppSubmitResp& resp);
  void QueueDeliver(std::shared_ptr<CMPPConnection> link, const CmppDeliver& deliver);
  void QueueReport(std::shared_ptr<CMPPConnection> link, const CmppDeliver& deliver);
  static constexpr std::size_t kQueueHighWater = 4096;
  static constexpr std::size_t kQueueLowWater = 2048;

  // Links in the list of one type, logged in or not.
  std::int32_t ListedLinks(std::int32_t connType) const;
  // Stops every link (in parallel) and removes it. A removed link is freed
  // once no queued work item refers to it any more.
  void StopLinks();

  // Snapshot of every link, in list order.
  std::vector<LinkState> LinkStates() const;
  std::size_t LinkCount() const;
  // Logged-in links of one type.
  std::size_t LoggedInLinks(std::int32_t connType) const;

  // The next concatenation reference: 1, 2, ..., 254, 0, 1, ... shared by the
  // whole process.
  static std::uint8_t NextConcatReference();

  // --- test seams; production values by default ---
  void SetLinkTimingsForTest(const LinkTimings& timings) { linkTimings_ = timings; }
  void SetMaxQueuedSubmitsForTest(std::size_t count) { maxQueuedSubmits_ = count; }
  void SetSelectWaitForTest(int tries, std::chrono::milliseconds pause) {
    selectTries_ = tries;
    selectPause_ = pause;
  }

 protected:
  // True once the base destructor runs: link lines then bypass LogWrite.
  bool Destroying() const { return destroying_.load(); }

 private:
  // Caller holds listLock_. Scans from position k (1-based; 0 = from the
  // start) and returns the index of the result in links_ (its mark set).
  std::size_t ScanFrom(std::size_t k) REQUIRES(listLock_);
  // One attempt over the three pools; onlyMissing counts the listed links.
  PoolResults OpenPools(const LinkSettings& settings, bool onlyMissing);
  static bool Eligible(const CMPPConnection& link);
  void Post(std::unique_ptr<CmppWorkItem> item);
  // Waits at most `pause` for LinkStateChanged after `epoch` was read.
  void WaitLinkState(std::uint64_t epoch, std::chrono::steady_clock::duration pause);
  // The receive thread's wait for room in the pool (see QueueDeliver).
  void WaitForRoom(const CMPPConnection& link);
  std::unique_ptr<CmppWorkItem> NewItem(WorkKind kind, std::shared_ptr<CMPPConnection> link);

  friend class CmppWorkItem;
  friend class CWorkerCmpp;

  CThreadPool pool_;
  CWorkerCmpp worker_;
  std::atomic<std::size_t> queuedSubmits_{0};
  std::atomic<std::uint64_t> loginFailures_{0};
  std::atomic<std::uint64_t> reconnects_{0};
  // Items inside Execute (until their destructor); runningMutex_ and
  // runningCv_ let StopWorkers wait for the count to reach 0.
  std::atomic<int> runningItems_{0};
  base::Mutex runningMutex_;
  base::CondVar runningCv_;
  void ItemEnded();
  std::atomic<std::uint32_t> minimumWorkers_{0};
  std::atomic<std::uint32_t> maximumWorkers_{0};
  std::atomic<bool> poolStarted_{false};
  std::atomic<bool> destroying_{false};

  mutable MyMutex listLock_;
  std::vector<std::shared_ptr<CMPPConnection>> links_ GUARDED_BY(listLock_);
  // The link chosen last, by token (never a pointer that StopLinks could
  // leave dangling); empty when none.
  std::string lastToken_ GUARDED_BY(listLock_);

  // Submit's wait: the epoch counts LinkStateChanged calls; the mutex and
  // condition variable are used only while a Submit waits.
  std::atomic<std::uint64_t> linkStateEpoch_{0};
  std::atomic<int> selectWaiters_{0};
  std::atomic<bool> submitWaitsCancelled_{false};
  base::Mutex selectMutex_;
  base::CondVar selectCv_;

  // Links being created (their first login may be in progress) and the
  // cancel flag of OpenLinks; both guarded by openMutex_, which is never held
  // across a login.
  mutable base::Mutex openMutex_;
  base::CondVar openCv_;
  bool openCancelled_ GUARDED_BY(openMutex_) = false;
  std::vector<std::shared_ptr<CMPPConnection>> opening_ GUARDED_BY(openMutex_);

  LinkTimings linkTimings_;
  int selectTries_ = kSelectTries;
  std::chrono::milliseconds selectPause_ = kSelectPause;
  std::size_t maxQueuedSubmits_ = kMaxQueuedSubmits;
};

}  // namespace brivane::cmpp
