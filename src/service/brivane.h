#pragma once
// The service process object: owns the configuration values read at each
// start, the run-state flags, the status block, the administration pages,
// the MT thread, the database gateway, the route table and the SP client.
// Start, restart and stop sequences live here.
//
// Threads: the service thread runs OnStart, then Main, which also runs the
// in-place restarts asked for by the form or SIGHUP (RequestRestart). OnStop
// runs on the thread that handles the stop signal. Each Initialise starts a
// bring-up thread (database, route table, MT thread, links, retried until
// up) and the next Initialise or the stop cancels and joins it; it writes
// config_-derived state only between those two points. initLock_ keeps two
// Initialise calls apart and guards config_. The flags are atomics read by
// the MT thread, the pages and the SP client's workers.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/config_store.h"
#include "base/mutex.h"
#include "db/backlog.h"
#include "db/connections.h"
#include "service/admin.h"
#include "service/config.h"
#include "service/rate_sampler.h"
#include "service/status_pages.h"
#include "sp/mt_poller.h"
#include "sp/routing.h"
#include "sp/sp_client.h"

namespace brivane::service {

struct ServiceOptions {
  std::string home;        // holds brivane.log, brivane.key, the certificate
  std::string configPath;  // empty: <home>/brivane.ini
  // OnStart makes home the working directory (off for in-process tests).
  bool changeDirectory = true;
  // Tells systemd READY/RELOADING/STOPPING when it started us.
  bool notifySystemd = true;
  // How often the dashboard's rate sampler reads the counters.
  std::chrono::milliseconds sampleInterval = RateSampler::kDefaultInterval;
};

class BRIVANE : public AdminHost, public sp::SpHost {
 public:
  explicit BRIVANE(ServiceOptions options);
  ~BRIVANE() override;
  BRIVANE(const BRIVANE&) = delete;
  BRIVANE& operator=(const BRIVANE&) = delete;

  // Creates the status block (and the SP client), then runs
  // Initialise("Started"). False when the service cannot run.
  bool OnStart();
  // The start and restart sequence; a message beginning with "restart" (any
  // case) first stops the MT thread, releases the SP client and closes the
  // database. False when the certificate or the admin port is unusable.
  // The steps, in order: LoadSettings, StopForRestart (a restart only),
  // ResetRunState, ReadSettings, LoadCertificate, ApplySettings,
  // PrepareDatabase, StartListener, StartBringUp.
  bool Initialise(const std::string& initMsg);
  // Waits for the stop signal, running restarts asked for meanwhile. Returns
  // 0 when stopped, 1 when a restart failed (the process must end).
  int Main();
  // The stop sequence; safe to call more than once and from any thread.
  void OnStop();
  // The administration page's address.
  std::string OnControl() const;

  // Asks Main for an in-place restart with this message; several requests
  // before it runs make one restart.
  void RequestRestart(std::string initMsg);

  // Run state, as the pages and the tests read it.
  bool Started() const { return started_.load() != 0; }
  // The gateway's own flag: all four connections opened and not closed
  // since. No copy is kept here, so every page reads the same state.
  bool DatabaseConnected() const;
  bool StopMT() const { return stopMT_.load() != 0; }
  std::atomic<std::int32_t>& PassIdle() { return passIdle_; }
  std::int32_t TerminalIdLength() const { return terminalIdLength_.load(); }
  ServiceConfig Config() const;
  std::uint16_t ListeningPort() const;
  std::uint64_t InitialiseCount() const { return initialiseCount_.load(); }

  // sp::SpHost: what the SP client reaches through this object.
  db::DbGateway* Database() override { return db_.get(); }
  const sp::RouteTable& Routes() const override { return routes_; }
  sp::ForwardSettings Forwarding() const override;
  sp::MyCMPPClient* SpClient() { return client_.get(); }

  const std::string& Home() const { return options_.home; }
  std::string ConfigPath() const { return options_.configPath; }
  std::string LogPath() const { return options_.home + "/brivane.log"; }
  std::string KeyPath() const { return options_.home + "/brivane.key"; }

  // The one health verdict, computed from the live state (database
  // connections, links logged in per pool, the MT thread); every page,
  // /metrics and systemd show this. state is "running", "degraded" (reason
  // says why) or "stopped".
  struct Health {
    std::string state;
    std::string reason;
  };
  Health CurrentHealth() const;
  // The database was opened and none of its four connections has failed
  // since (a failed one is reopened by the next call on it).
  bool DatabaseConnectedNow() const;

  // AdminHost.
  std::string MonitorText() override;
  std::string MetricsText() override;
  std::string DashboardJson() override;
  void OnFormAccepted() override;
  // What the status pages show, gathered now from the live state.
  StatusPagesData Snapshot();
  const RateSampler& Sampler() const { return sampler_; }

 protected:
  // Body of the MT thread: runs a pass whenever the client is started, no
  // pass runs and the worker pool can take work; otherwise waits briefly.
  virtual void CheckMTTable();

 private:
  // ---- The steps of Initialise (initLock_ held).
  // Reads the configuration file, opens the log at its LogLevel and
  // enciphers any clear password the file holds.
  base::ConfigSection LoadSettings();
  // Stops the MT thread, releases the SP client and closes the database.
  void StopForRestart();
  // Run-state flags to 0 (and in the status block); threads of an earlier
  // start end.
  void ResetRunState();
  // Every key, with the configuration's problems and password warnings.
  ServiceConfig ReadSettings(const base::ConfigSection& section);
  // The HTTPS certificate, made self-signed when missing; null when unusable.
  std::shared_ptr<const ServerCertificate> LoadCertificate(const ServiceConfig& cfg);
  // The keys into config_ and what the pages and the SP client read.
  void ApplySettings(const ServiceConfig& cfg);
  // Makes the database gateway, or hands it the new settings.
  void PrepareDatabase();
  // The administration pages; false when they cannot listen (a restart
  // keeps the old port instead).
  bool StartListener(const ServiceConfig& cfg,
                     const std::shared_ptr<const ServerCertificate>& certificate, bool restart);
  // Starts the bring-up thread unless the service is stopping.
  void StartBringUp(const base::ConfigSection& section);
  // What this start found wrong in the file, for the form's start box
  // (gathered by LoadSettings and ReadSettings, handed over by StartListener).
  std::vector<std::string> startProblems_;

  // ---- Where the process calls into the other layers.
  void CreateSpClient();
  // MyCMPPClient::Initialise: reads its own keys, opens its links and starts
  // its workers.
  bool InitialiseSpClient(const base::ConfigSection& section);
  // MyCMPPClient::Release: pending submits, merger, workers, links.
  void ReleaseSpClient();
  void DeleteSpClient();
  bool SpClientInitialised() const;
  // The client's worker pool LoadLevel(); 0 (no capacity) without a client.
  int WorkerLoadLevel() const;
  // Queues an MT record with the SP client; 16005 (no link) without one.
  int SubmitToClient(cmpp::CmppSubmit& record);
  // Logged-in links per link type, for /metrics; empty without a client.
  std::vector<std::pair<std::int32_t, int>> LoggedInLinksPerPool() const;
  // The SMG client's part of a snapshot; nothing without a client.
  void SnapshotClient(StatusPagesData* d);
  // OpenAllConnections of the database gateway with `attempts` attempts and
  // its lines; builds the MT poller when all four connections opened.
  bool OpenDatabase(int attempts);
  void CloseDatabase();
  // GetAllRouteInfo: 1 when the route table was loaded, 0 when not.
  int LoadRouteTable();
  // One MT pass over the Submit table.
  void SendMTMsg();

  // The bring-up thread: opens the database (then the route table and the
  // MT thread) and the SP client's links; what fails in its first round is
  // retried with a capped back-off until it succeeds or is cancelled.
  void BringUp(base::ConfigSection section);
  void BringUpDatabase();
  void BringUpLinks(const base::ConfigSection& section);
  std::chrono::milliseconds BackOff(int round) const;
  // Sleeps the pause unless cancelled first; false when cancelled.
  bool WaitBringUp(std::chrono::milliseconds pause);
  bool BringUpCancelled();
  // Any thread: ends the bring-up's waits and logins in progress.
  void CancelBringUp();
  // CancelBringUp, then joins the thread (initLock_ held or the stop).
  void StopBringUp();

  void StopMTThread();
  void Shutdown();
  void Notify(const char* state) const;
  // Tells systemd READY=1 once the database is open and a link is logged in,
  // and STATUS= with the verdict whenever it changes. Main's thread only.
  void NotifyHealth();

  const ServiceOptions options_;
  const std::chrono::system_clock::time_point processStart_ = std::chrono::system_clock::now();

  // The stop handshake: OnStop sets exitSignalled_, Main answers with
  // exitAcknowledged_. ctlMutex_ guards these and the restart request.
  base::Mutex ctlMutex_;
  base::CondVar ctlCv_;
  bool exitSignalled_ GUARDED_BY(ctlMutex_) = false;
  bool exitAcknowledged_ GUARDED_BY(ctlMutex_) = false;
  bool mainRunning_ GUARDED_BY(ctlMutex_) = false;
  std::optional<std::string> restartRequest_ GUARDED_BY(ctlMutex_);

  mutable base::Mutex initLock_;  // held for the whole of every Initialise
  ServiceConfig config_;
  int systemLogLevel_ = kInitialLogLevel;

  std::atomic<std::int32_t> started_{0};
  std::atomic<std::int32_t> stopMT_{1};
  std::atomic<std::int32_t> passIdle_{1};
  const std::int32_t databaseOpenAttempts_ = 3;
  std::atomic<std::int32_t> terminalIdLength_{21};
  std::atomic<std::uint64_t> initialiseCount_{0};
  std::atomic<bool> shutDown_{false};
  // What NotifyHealth last told systemd (Main's thread only).
  bool readyNotified_ = false;
  std::string statusNotified_;
  // Set by OnStop: no new bring-up starts.
  std::atomic<bool> stopRequested_{false};

  // The bring-up thread, started by Initialise and joined by the next
  // Initialise or the stop; bringUpMutex_ guards bringUpCancelled_.
  static constexpr std::chrono::milliseconds kBringUpFirstPause{1000};
  // Capped well below a minute, so that a peer that comes back is used
  // within one pause even after a long outage.
  static constexpr std::chrono::milliseconds kBringUpMaxPause{30000};
  std::thread bringUpThread_;
  base::Mutex bringUpMutex_;
  base::CondVar bringUpCv_;
  bool bringUpCancelled_ GUARDED_BY(bringUpMutex_) = false;

  // The Submit backlog as the MT thread last read it, at most every
  // kBacklogRefresh on the main connection; -1 while unknown (no MT thread,
  // or the last read failed), and then left out of the metrics.
  static constexpr std::chrono::seconds kBacklogRefresh{5};
  void RefreshSubmitBacklog(const std::string& query, std::chrono::steady_clock::time_point* next);
  std::atomic<std::int64_t> backlogRows_{-1};
  std::atomic<std::int64_t> backlogOldestSeconds_{-1};

  // The MT thread and its wake-up for a prompt stop.
  std::thread mtThread_;
  base::Mutex mtWaitMutex_;
  base::CondVar mtWaitCv_;

  // The database gateway lives as long as the process object; a restart
  // closes it and reopens it with the settings read anew. The MT poller is
  // rebuilt at each start, used only by the MT thread.
  std::unique_ptr<db::DbGateway> db_;
  sp::RouteTable routes_;
  std::unique_ptr<sp::MtPoller> mtPoller_;
  // Read by the SP client's workers while a restart may hold initLock_, so
  // it has a lock of its own.
  mutable base::Mutex forwardingMutex_;
  sp::ForwardSettings forwarding_ GUARDED_BY(forwardingMutex_);
  // Aborts the MO forwards of the current start; guarded by forwardingMutex_.
  std::shared_ptr<std::atomic<bool>> forwardCancel_ GUARDED_BY(forwardingMutex_);
  static constexpr std::chrono::milliseconds kForwardCancelGrace{3000};
  std::unique_ptr<sp::MyCMPPClient> client_;

  // The dashboard's rates; reads the status block, so it stops before the
  // block is unmapped.
  RateSampler sampler_;
  // The pools as configured by the last Initialise, for the dashboard. The
  // pages must not wait on initLock_ (a restart that moves the listener
  // joins the page threads while it holds it), so these have their own lock.
  mutable base::Mutex poolsMutex_;
  std::vector<DashboardPool> pools_ GUARDED_BY(poolsMutex_);
  // The MT polling mode and instance id of the last start, for the pages;
  // guarded by poolsMutex_ too.
  bool claimSubmits_ GUARDED_BY(poolsMutex_) = false;
  std::string instanceId_ GUARDED_BY(poolsMutex_);
  // Rows this process claimed, handed over, gave back and recovered, over
  // all starts. Written by the MT thread, read by the pages.
  sp::ClaimCounters claimCounters_;

  std::unique_ptr<AdminServer> admin_;
};

}  // namespace brivane::service
