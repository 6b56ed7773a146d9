#include "service/brivane.h"

#include <fmt/format.h>
#include <malloc.h>
#include <netdb.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "base/log.h"
#include "base/status_block.h"
#include "base/text.h"
#include "cmpp/result_codes.h"
#include "service/clear_passwords.h"
#include "sp/route_loader.h"

namespace brivane::service {
namespace {

constexpr auto kMtIdleWait = std::chrono::milliseconds(50);
// How often Main gives freed memory back to the system.
constexpr std::chrono::seconds kTrimInterval{5};

std::string ResolveInHome(const std::string& home, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return home + "/" + path;
}

std::string LocalTime(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::string HostNameIfResolvable() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return "localhost";
  freeaddrinfo(found);
  return name;
}

// Without a set password the pages answer on 127.0.0.1 only.
bool WeakAdminPassword(const ServiceConfig& cfg) {
  return cfg.adminPasswordIsDefault || cfg.adminPassword.empty();
}

// An AdminPassword that cannot be deciphered refuses every login.
bool AdminLoginDisabled(const ServiceConfig& cfg) {
  return std::any_of(cfg.passwordErrors.begin(), cfg.passwordErrors.end(),
                     [](const std::string& e) { return e.rfind("AdminPassword:", 0) == 0; });
}

std::string AbsoluteHome(const std::string& home) {
  std::error_code error;
  auto path = std::filesystem::absolute(home, error);
  return error ? home : path.lexically_normal().string();
}

}  // namespace

BRIVANE::BRIVANE(ServiceOptions options)
    : options_([&] {
        if (options.configPath.empty()) options.configPath = options.home + "/brivane.ini";
        return options;
      }()),
      sampler_(options_.sampleInterval) {
  admin_ = std::make_unique<AdminServer>(
      *this, AdminPaths{options_.home, options_.configPath, KeyPath(), LogPath()});
}

BRIVANE::~BRIVANE() {
  // An object that never started (`brivane open`) has nothing to stop.
  if (initialiseCount_ > 0) Shutdown();
}

bool BRIVANE::OnStart() {
  int err = base::StatusBlock().Create(base::StatusBlockName());
  if (err != 0) {
    base::LogF(1, "CreateFileMapping error! ({})", err);
    std::cerr << "brivane: CreateFileMapping error! (" << err << ") " << std::strerror(err) << "\n";
  }
  sampler_.Start([this] {
    const auto& block = base::StatusBlock();
    CounterSample sample;
    sample.mt = block.Get(base::kSubmitWritten);
    sample.mo = block.Get(base::kMoReceived);
    sample.reports = block.Get(base::kReportReceived);
    sample.mtFailed = block.Get(base::kSubmitWriteFailed) + block.Get(base::kSubmitRespFail);
    sample.moForwardFailed = block.Get(base::kMoForwardFail);
    // The figures the MT thread last read, not a query of the sampler's own.
    sample.backlogRows = backlogRows_.load();
    sample.backlogOldestSeconds = backlogOldestSeconds_.load();
    return sample;
  });
  CreateSpClient();
  if (options_.changeDirectory && ::chdir(options_.home.c_str()) != 0) {
    std::cerr << "brivane: cannot change to " << options_.home << ": " << std::strerror(errno)
              << "\n";
  }
  bool ok = Initialise("Started");
  // READY=1 follows from Main once the database and a link are up.
  if (ok) NotifyHealth();
  return ok;
}

bool BRIVANE::Initialise(const std::string& initMsg) {
  base::MutexLock lock(initLock_);
  ++initialiseCount_;
  const bool restart = IsRestartMessage(initMsg);
  base::ConfigSection section = LoadSettings();
  if (restart) StopForRestart();
  ResetRunState();
  const ServiceConfig cfg = ReadSettings(section);
  auto certificate = LoadCertificate(cfg);
  if (!certificate) return false;
  ApplySettings(cfg);
  PrepareDatabase();
  // The pages (and their health verdict) are up within a second of the
  // start, whatever the database and the SMG do; both come up behind them
  // on the bring-up thread.
  if (!StartListener(cfg, certificate, restart)) return false;
  StartBringUp(section);
  // The start message is ours and keeps its tab ("Restart\tSignal").
  base::LogWrite(3, fmt::format("Service {} {}", kProcessName, initMsg));
  return true;
}

base::ConfigSection BRIVANE::LoadSettings() {
  base::ConfigSection section(options_.configPath, kSectionName, KeyPath());
  std::string storeError;
  const bool storeOk = section.Load(&storeError);
  systemLogLevel_ = static_cast<int>(section.GetInteger("LogLevel", systemLogLevel_));
  std::string logError;
  if (!base::OpenLog(LogPath(), systemLogLevel_, &logError))
    std::cerr << "brivane: cannot open " << LogPath() << ": " << logError << "\n";
  startProblems_.clear();
  if (!storeOk) {
    base::LogF(1, "严重：配置文件有误：{}", storeError);
    startProblems_.push_back(storeError);
    return section;
  }
  std::vector<std::string> enciphered;
  std::string encipherError;
  if (!EncipherClearPasswords(section, &enciphered, &encipherError))
    base::LogF(1, "严重：配置文件中的明文密码无法加密保存：{}", encipherError);
  else if (!enciphered.empty())
    base::LogF(2, "信息：配置文件中的明文密码已加密保存：{}", fmt::join(enciphered, ", "));
  return section;
}

void BRIVANE::StopForRestart() {
  // A restart also reopens the log, so that a rotated file is let go.
  base::ReopenLog();
  {
    base::MutexLock wait(mtWaitMutex_);
    stopMT_ = 1;
  }
  mtWaitCv_.notify_all();
  base::LogWrite(3, "信息：网关服务重新启动......");
  StopBringUp();
  if (db_) db_->SetReconnectsRefused(true);  // as at stop, see Shutdown
  StopMTThread();
  if (SpClientInitialised()) ReleaseSpClient();
  if (DatabaseConnected()) CloseDatabase();
}

void BRIVANE::ResetRunState() {
  started_ = 0;
  auto& block = base::StatusBlock();
  for (auto offset : {base::kDbConnectionOpen, base::kDbConnectionMtOpen, base::kDbConnectionMoOpen,
                      base::kDbConnectionSrOpen, base::kStarted})
    block.Set(offset, 0);
  // Threads left from an earlier start that was not a restart end here too.
  StopBringUp();
  StopMTThread();
  passIdle_ = 1;
}

ServiceConfig BRIVANE::ReadSettings(const base::ConfigSection& section) {
  ServiceConfig cfg = ReadServiceConfig(section, systemLogLevel_, config_.submitQuery);
  for (const auto& problem : CheckConfiguration(section)) {
    startProblems_.push_back(FormatProblem(options_.configPath, problem));
    base::LogF(problem.fatal ? 1 : 3, "配置：{}", startProblems_.back());
  }
  if (cfg.adminPasswordIsDefault)
    base::LogWrite(1, "严重：管理员密码AdminPassword仍是默认值，请在配置页面修改！");
  if (WeakAdminPassword(cfg))
    std::cerr << "brivane: AdminPassword is "
              << (cfg.adminPasswordIsDefault ? "the default" : "empty")
              << "; the administration pages answer on 127.0.0.1 only until one is set with "
                 "`brivane set-password` (then `brivane restart`)\n";
  for (const auto& e : cfg.passwordErrors) base::LogF(1, "严重：无法解密配置项 {}", e);
  if (AdminLoginDisabled(cfg))
    base::LogWrite(1, "严重：管理员密码无法解密，管理页面拒绝所有登录！");
  return cfg;
}

std::shared_ptr<const ServerCertificate> BRIVANE::LoadCertificate(const ServiceConfig& cfg) {
  const std::string certificatePath = ResolveInHome(options_.home, cfg.certificate);
  std::string certError;
  auto certificate = ServerCertificate::LoadOrCreate(certificatePath, &certError);
  if (!certificate) {
    base::LogF(1, "BRIVANE\tCould not load certificate \"{}\"", certificatePath);
    std::cerr << "brivane: could not load certificate \"" << certificatePath << "\": " << certError
              << "\n";
    return nullptr;
  }
  if (certificate->Created()) base::LogF(3, "信息：已创建自签名证书 {}", certificatePath);
  return certificate;
}

void BRIVANE::ApplySettings(const ServiceConfig& cfg) {
  if (!cfg.dbTypeSupported)
    base::LogWrite(1, "严重：不支持的数据库类型！请在DBType配置中输入mssql，mysql或oracle。");
  config_ = cfg;
  terminalIdLength_ = cfg.terminalIdLength;
  {
    base::MutexLock poolsLock(poolsMutex_);
    pools_ = {
        {PoolName(cmpp::kConnMt), cmpp::kConnMt, cfg.mtConnections, cfg.mtPort},
        {PoolName(cmpp::kConnMo), cmpp::kConnMo, cfg.moConnections, cfg.moPort},
        {PoolName(cmpp::kConnMtMo), cmpp::kConnMtMo, cfg.mtAndMOConnections, cfg.mtAndMOPort}};
  }
  {
    base::MutexLock forwardingLock(forwardingMutex_);
    forwarding_.EnableHTTPClient = cfg.enableHTTPClient;
    forwarding_.DialogCarrierID = base::Utf8ToGbk(cfg.dialogCarrierID);
    forwarding_.DialogCarrierNAME = base::Utf8ToGbk(cfg.dialogCarrierNAME);
    forwarding_.MOHTTPQuestTimeout = cfg.moHTTPQuestTimeout;
    // A fresh flag per start: the one a release cancelled stays set for
    // any transfer that still holds it.
    forwardCancel_ = std::make_shared<std::atomic<bool>>(false);
    forwarding_.cancel = forwardCancel_;
    forwarding_.MOHTTPVerifyCertificate = cfg.moHTTPVerifyCertificate;
  }
  if (!cfg.moHTTPVerifyCertificate)
    base::LogWrite(1, "严重：MOHTTPVerifyCertificate=false：HTTPS转发不校验应用的证书和主机名！");
  if (cfg.mtConnections <= 0 && cfg.moConnections <= 0 && cfg.mtAndMOConnections <= 0)
    base::LogWrite(1, "严重：MO连接数，MT连接数和MOMT连接数至少要有一个不为零！");
}

void BRIVANE::PrepareDatabase() {
  // Made here, before the pages and the bring-up thread start, and kept for
  // the life of the object: both read db_ while that thread runs.
  if (!db_)
    db_ = std::make_unique<db::DbGateway>(DatabaseSettings(config_));
  else
    db_->SetSettings(DatabaseSettings(config_));
}

bool BRIVANE::StartListener(const ServiceConfig& cfg,
                            const std::shared_ptr<const ServerCertificate>& certificate,
                            bool restart) {
  AdminPagesState pages;
  pages.userName = cfg.adminUserName;
  pages.password = cfg.adminPassword;
  pages.loginDisabled = AdminLoginDisabled(cfg);
  pages.formShown = cfg.formShown;
  pages.listenAddress = cfg.httpListenAddress;
  pages.metricsUserName = cfg.metricsUserName;
  pages.metricsPassword = cfg.metricsPassword;
  pages.startOutcome =
      (restart ? "Restarted at " : "Started at ") + LocalTime(std::chrono::system_clock::now());
  pages.startProblems = std::move(startProblems_);
  startProblems_.clear();
  admin_->SetState(std::move(pages));
  std::string listenError;
  if (!admin_->Listen(ListenAddressFor(cfg.httpListenAddress, WeakAdminPassword(cfg)), cfg.httpPort,
                      certificate, &listenError)) {
    base::LogF(1, "Cannot run without HTTP port: {}", listenError);
    std::cerr << "brivane: Cannot run without HTTP port: " << listenError << "\n";
    // A restart whose new port cannot be had keeps the pages where they
    // were rather than taking the whole service down.
    if (!restart || admin_->Port() == 0) return false;
    base::LogF(1, "严重：管理页面仍在端口 {} 上服务", admin_->Port());
    admin_->AddStartProblem(
        fmt::format("HTTPPort: the pages stay on port {}: {}", admin_->Port(), listenError));
  }
  base::LogF(3, "HTTP监听端口: {}", admin_->Port());
  return true;
}

void BRIVANE::StartBringUp(const base::ConfigSection& section) {
  db_->SetReconnectsRefused(false);
  {
    base::MutexLock guard(bringUpMutex_);
    bringUpCancelled_ = false;
  }
  if (!stopRequested_) bringUpThread_ = std::thread([this, section] { BringUp(section); });
}

void BRIVANE::BringUp(base::ConfigSection section) {
  try {
    BringUpDatabase();
    if (DatabaseConnected() && !BringUpCancelled()) BringUpLinks(section);
  } catch (const std::exception& e) {
    base::LogF(1, "EXCEPTION|BRIVANE::BringUp:{}", e.what());
  }
}

void BRIVANE::BringUpDatabase() {
  auto& block = base::StatusBlock();
  // The first round keeps the configured attempts and their lines; every
  // later round is one attempt, a capped back-off apart.
  bool opened = OpenDatabase(databaseOpenAttempts_);
  for (int round = 2; !opened; ++round) {
    if (!WaitBringUp(BackOff(round - 1))) return;
    base::LogF(2, "信息：第 {} 轮重新连接数据库......", round);
    opened = OpenDatabase(1);
  }
  base::LogWrite(2, "信息：数据库连接成功！");
  block.SetStartTime(static_cast<std::int64_t>(std::time(nullptr)));
  if (LoadRouteTable() == 0)
    base::LogWrite(1, "严重：获取业务路由信息失败，请检查Services表的配置!");
  {
    base::MutexLock wait(mtWaitMutex_);
    stopMT_ = 0;
  }
  if (client_) client_->ResumeSubmitWaits();
  mtThread_ = std::thread([this] { CheckMTTable(); });
}

void BRIVANE::BringUpLinks(const base::ConfigSection& section) {
  auto& block = base::StatusBlock();
  if (InitialiseSpClient(section)) {
    base::LogWrite(2, "信息：网关服务启动！");
    started_ = 1;
    block.Set(base::kStarted, 1);
    return;
  }
  // A stop or restart cut the logins short: that is no failed start.
  if (BringUpCancelled()) return;
  base::LogWrite(1, "严重：网关服务启动失败！");
  started_ = 0;
  block.Set(base::kStarted, 0);
  // Without any link configured there is nothing to retry.
  {
    const ServiceConfig& cfg = config_;
    if (cfg.mtConnections <= 0 && cfg.moConnections <= 0 && cfg.mtAndMOConnections <= 0) return;
  }
  for (int round = 2; client_; ++round) {
    if (!WaitBringUp(BackOff(round - 1))) return;
    base::LogF(2, "信息：第 {} 轮重新登录短信网关......", round);
    if (client_->CompleteLinks()) {
      base::LogWrite(2, "信息：网关服务启动！");
      started_ = 1;
      block.Set(base::kStarted, 1);
      return;
    }
  }
}

std::chrono::milliseconds BRIVANE::BackOff(int round) const {
  // 1 s doubling to the cap: 1, 2, 4, ... 30 s.
  std::chrono::milliseconds pause = kBringUpFirstPause;
  for (int i = 1; i < round && pause < kBringUpMaxPause; ++i) pause *= 2;
  return std::min(pause, kBringUpMaxPause);
}

bool BRIVANE::WaitBringUp(std::chrono::milliseconds pause) {
  base::UniqueLock guard(bringUpMutex_);
  bringUpCv_.wait_for(guard, pause, [this]() REQUIRES(bringUpMutex_) { return bringUpCancelled_; });
  return !bringUpCancelled_;
}

bool BRIVANE::BringUpCancelled() {
  base::MutexLock guard(bringUpMutex_);
  return bringUpCancelled_;
}

void BRIVANE::CancelBringUp() {
  {
    base::MutexLock guard(bringUpMutex_);
    bringUpCancelled_ = true;
  }
  bringUpCv_.notify_all();
  // A login in progress ends at once; OpenLinks stops retrying.
  if (client_) client_->CancelOpenLinks();
}

void BRIVANE::StopBringUp() {
  CancelBringUp();
  if (bringUpThread_.joinable()) bringUpThread_.join();
  if (client_) client_->ResumeOpenLinks();
}

bool BRIVANE::DatabaseConnected() const { return db_ && db_->DatabaseConnected(); }

int BRIVANE::Main() {
  base::UniqueLock lock(ctlMutex_);
  mainRunning_ = true;
  auto lastTrim = std::chrono::steady_clock::now();
  for (;;) {
    ctlCv_.wait_for(lock, std::chrono::seconds(1), [&]() REQUIRES(ctlMutex_) {
      return exitSignalled_ || restartRequest_.has_value();
    });
    if (!exitSignalled_) NotifyHealth();
    if (std::chrono::steady_clock::now() - lastTrim >= kTrimInterval) {
      // Work items (a CmppMessage each, 8.6 KB) are freed on other threads
      // than the ones that made them; after a burst (an MO flood, a stalled
      // database) the allocator keeps those pages. Handing them back keeps
      // the resident size at what is in use.
      lock.unlock();
      malloc_trim(0);
      lock.lock();
      lastTrim = std::chrono::steady_clock::now();
    }
    if (exitSignalled_) {
      exitAcknowledged_ = true;
      mainRunning_ = false;
      ctlCv_.notify_all();
      return 0;
    }
    if (restartRequest_) {
      std::string message = std::move(*restartRequest_);
      restartRequest_.reset();
      lock.unlock();
      Notify("RELOADING=1");
      readyNotified_ = false;
      bool ok = Initialise(message);
      if (ok) {
        NotifyHealth();
      } else {
        Notify("STATUS=restart failed");
      }
      lock.lock();
      if (!ok) {
        mainRunning_ = false;
        ctlCv_.notify_all();
        return 1;
      }
    }
  }
}

void BRIVANE::RequestRestart(std::string initMsg) {
  base::MutexLock lock(ctlMutex_);
  restartRequest_ = std::move(initMsg);
  ctlCv_.notify_all();
}

void BRIVANE::OnFormAccepted() { RequestRestart("Restart\tInitialisation"); }

void BRIVANE::OnStop() {
  Notify("STOPPING=1");
  // A start still bringing the database or the links up gives up at once,
  // so that neither Main (in a restart) nor Shutdown waits for it.
  stopRequested_ = true;
  if (!shutDown_) CancelBringUp();
  {
    // Wait until Main has seen the stop, unless Main is not running.
    base::UniqueLock lock(ctlMutex_);
    exitSignalled_ = true;
    ctlCv_.notify_all();
    ctlCv_.wait(lock, [&]() REQUIRES(ctlMutex_) { return exitAcknowledged_ || !mainRunning_; });
  }
  Shutdown();
}

void BRIVANE::Shutdown() {
  if (shutDown_.exchange(true)) return;
  base::MutexLock lock(initLock_);
  base::LogWrite(2, "信息：网关服务停止中...");
  // The pages read the SP client and the status block, so they end before
  // either goes away.
  admin_->Stop();
  // Calls on a database that stopped answering fail after the driver's
  // network timeout; retrying each by reconnecting would make the stop wait
  // that long once per queued call.
  if (db_) db_->SetReconnectsRefused(true);
  StopBringUp();
  // The MT thread is joined, not given a fixed pause, so that no pass still
  // runs when the client is released and then the database closed.
  StopMTThread();
  ReleaseSpClient();
  // Long MO parts still waiting for their companions were acknowledged to
  // the SMG: hand them on while the database is open.
  if (client_) client_->HandOnStoredParts();
  if (DatabaseConnected()) CloseDatabase();
  started_ = 0;
  DeleteSpClient();
  sampler_.Stop();
  // The block stays for monitors, which must read a stopped service in it:
  // every run-state flag goes to 0 before it is unmapped.
  auto& block = base::StatusBlock();
  for (auto offset : {base::kDbConnectionOpen, base::kDbConnectionMtOpen, base::kDbConnectionMoOpen,
                      base::kDbConnectionSrOpen, base::kStarted})
    block.Set(offset, 0);
  block.Close();
  base::FlushLog();
}

void BRIVANE::StopMTThread() {
  {
    base::MutexLock lock(mtWaitMutex_);
    stopMT_ = 1;
  }
  mtWaitCv_.notify_all();
  if (mtPoller_) mtPoller_->WakeUp();
  // A pass waiting for a link to take its row (up to the select wait, 30 s)
  // gives up at once; the row stays waiting for the next start.
  if (client_) client_->CancelSubmitWaits();
  if (mtThread_.joinable()) mtThread_.join();
}

void BRIVANE::RefreshSubmitBacklog(const std::string& query,
                                   std::chrono::steady_clock::time_point* next) {
  const auto now = std::chrono::steady_clock::now();
  if (now < *next || !db_) return;
  *next = now + kBacklogRefresh;
  db::SubmitBacklog backlog;
  if (db::ReadSubmitBacklog(*db_, query, &backlog)) {
    backlogRows_ = backlog.rows;
    backlogOldestSeconds_ = backlog.oldestSeconds;
  } else {
    backlogRows_ = -1;
    backlogOldestSeconds_ = -1;
  }
}

void BRIVANE::CheckMTTable() {
  const std::string backlogQuery = db_ ? db::SubmitBacklogQuery(db_->Settings().dbType) : "";
  auto nextBacklogRead = std::chrono::steady_clock::now();
  while (!stopMT_) {
    try {
      RefreshSubmitBacklog(backlogQuery, &nextBacklogRead);
      if (passIdle_ && started_ && WorkerLoadLevel() != 0) {
        SendMTMsg();
        continue;
      }
    } catch (const std::exception&) {
      base::LogF(1, "EXCEPTION|CheckMTTable:{}", errno);
      // A pass that threw is over; without this no pass would run again.
      passIdle_ = 1;
    } catch (...) {
      base::LogF(1, "EXCEPTION|CheckMTTable:{}", errno);
      passIdle_ = 1;
    }
    base::UniqueLock lock(mtWaitMutex_);
    mtWaitCv_.wait_for(lock, kMtIdleWait, [&] { return stopMT_.load() != 0; });
  }
  backlogRows_ = -1;
  backlogOldestSeconds_ = -1;
}

std::string BRIVANE::OnControl() const {
  std::uint16_t port = ListeningPort();
  if (port == 0) {
    base::ConfigSection section(options_.configPath, kSectionName, KeyPath());
    section.Load();
    port = static_cast<std::uint16_t>(section.GetInteger("HTTPPort", kDefaultHttpPort));
  }
  return fmt::format("https://{}:{}/welcome.html", HostNameIfResolvable(), port);
}

ServiceConfig BRIVANE::Config() const {
  base::MutexLock lock(initLock_);
  return config_;
}

std::uint16_t BRIVANE::ListeningPort() const { return admin_->Port(); }

std::string BRIVANE::MonitorText() {
  StatusPagesData s = Snapshot();
  s.host = HostNameIfResolvable();
  return service::MonitorText(s);
}

std::string BRIVANE::MetricsText() { return service::MetricsText(Snapshot()); }

std::string BRIVANE::DashboardJson() { return service::DashboardJson(Snapshot()); }

StatusPagesData BRIVANE::Snapshot() {
  StatusPagesData d;
  const auto now = std::chrono::system_clock::now();
  d.program = kProcessName;
  d.version = fmt::format("{}.{}.{}", kVersionMajor, kVersionMinor, kBuildNumber);
  d.manufacturer = kManufacturer;
  d.host = HostName();  // no lookup: the dashboard asks every few seconds
  d.now = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  d.processStart =
      std::chrono::duration_cast<std::chrono::seconds>(processStart_.time_since_epoch()).count();
  d.processStartText = LocalTime(processStart_);
  d.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(now - processStart_).count();
  d.started = started_.load() != 0;
  d.stopMT = stopMT_.load() != 0;
  d.passIdle = passIdle_.load() != 0;
  d.terminalIdLength = terminalIdLength_.load();
  d.databaseConnected = DatabaseConnectedNow();
  // The gateway's flags as they are now (a connection that failed or
  // reopened since the start shows it).
  auto open = [&](db::DbLink link) { return db_ && db_->OpenFlag(link); };
  d.databaseOpen = {open(db::DbLink::kMain), open(db::DbLink::kMT), open(db::DbLink::kMO),
                    open(db::DbLink::kSR)};
  d.databaseErrors = db_ ? db_->Errors() : 0;
  const Health health = CurrentHealth();
  d.health = health.state;
  d.healthReason = health.reason;
  const auto& block = base::StatusBlock();
  d.statusBlockMapped = block.IsOpen();
  d.statusBlockName = base::StatusBlockName();
  d.startTime = block.GetStartTime();
  for (const auto& field : base::kStatusFields)
    d.status.push_back(
        {field.name, field.offset, field.isFlag, block.Get(field.offset), field.help});
  {
    base::MutexLock lock(poolsMutex_);
    d.pools = pools_;
    d.pollingMode = claimSubmits_ ? "claim" : "query";
    d.instanceId = instanceId_;
  }
  d.rowsClaimed = claimCounters_.claimed.load();
  d.rowsHandedOver = claimCounters_.handedOver.load();
  d.rowsGivenBack = claimCounters_.givenBack.load();
  d.rowsRecovered = claimCounters_.recovered.load();
  d.backlogRows = backlogRows_.load();
  d.backlogOldestSeconds = backlogOldestSeconds_.load();
  SnapshotClient(&d);
  d.sampleMs = sampler_.Interval().count();
  d.historySeconds =
      static_cast<std::int64_t>(sampler_.Capacity() - 1) * sampler_.Interval().count() / 1000;
  d.rates = RatesOf(sampler_.Samples());
  return d;
}

void BRIVANE::SnapshotClient(StatusPagesData* d) {
  d->loggedInPerPool = LoggedInLinksPerPool();
  if (!client_) return;
  d->links = client_->LinkStates();
  d->inFlight = client_->PendingCount();
  d->unrecorded = client_->UnrecordedCount();
  d->flowRetriesWaiting = client_->FlowRetriesWaiting();
  d->loginFailures = client_->LoginFailures();
  d->reconnects = client_->Reconnects();
  d->answers = client_->Answers().Take();
}

void BRIVANE::Notify(const char* state) const {
  if (options_.notifySystemd) sd_notify(0, state);
}

void BRIVANE::NotifyHealth() {
  const Health health = CurrentHealth();
  const std::string status =
      health.reason.empty() ? health.state : health.state + ": " + health.reason;
  if (status != statusNotified_) {
    Notify(("STATUS=" + status).c_str());
    statusNotified_ = status;
  }
  if (!readyNotified_ && DatabaseConnected() && client_ &&
      client_->LoggedInLinks(cmpp::kConnMt) + client_->LoggedInLinks(cmpp::kConnMo) +
              client_->LoggedInLinks(cmpp::kConnMtMo) >
          0) {
    Notify("READY=1");
    readyNotified_ = true;
  }
}

bool BRIVANE::DatabaseConnectedNow() const {
  if (!DatabaseConnected()) return false;
  for (auto link : {db::DbLink::kMain, db::DbLink::kMT, db::DbLink::kMO, db::DbLink::kSR}) {
    if (!db_->OpenFlag(link)) return false;
  }
  return true;
}

BRIVANE::Health BRIVANE::CurrentHealth() const {
  if (shutDown_ || stopRequested_) return {"stopped", ""};
  std::vector<std::string> reasons;
  if (!DatabaseConnected()) {
    reasons.push_back("database not connected");
  } else {
    const std::pair<db::DbLink, const char*> links[] = {{db::DbLink::kMain, "DBConnection"},
                                                        {db::DbLink::kMT, "DBConnectionMT"},
                                                        {db::DbLink::kMO, "DBConnectionMO"},
                                                        {db::DbLink::kSR, "DBConnectionSR"}};
    for (const auto& [link, name] : links) {
      if (!db_->OpenFlag(link)) reasons.push_back(std::string(name) + " closed");
    }
  }
  {
    base::MutexLock lock(poolsMutex_);
    for (const DashboardPool& pool : pools_) {
      if (pool.configured <= 0) continue;
      const int in = client_ ? static_cast<int>(client_->LoggedInLinks(pool.connType)) : 0;
      if (in < pool.configured)
        reasons.push_back(fmt::format("{} links logged in {}/{}", pool.name, in, pool.configured));
    }
  }
  if (DatabaseConnected() && stopMT_) reasons.push_back("MT thread not running");
  if (reasons.empty()) return {"running", ""};
  std::string reason;
  for (const auto& r : reasons) reason += (reason.empty() ? "" : "; ") + r;
  return {"degraded", reason};
}

// ---- The SP client.

void BRIVANE::CreateSpClient() {
  if (!client_) client_ = std::make_unique<sp::MyCMPPClient>(*this);
}

bool BRIVANE::InitialiseSpClient(const base::ConfigSection& section) {
  return client_ && client_->Initialise(section);
}

void BRIVANE::ReleaseSpClient() {
  if (!client_) return;
  std::shared_ptr<std::atomic<bool>> cancel;
  {
    base::MutexLock lock(forwardingMutex_);
    cancel = forwardCancel_;
  }
  // MO forwards may take 2 x MOHTTPQuestTimeout (up to 20 minutes); the
  // worker pool waits only a few seconds for its workers. Transfers still
  // running after the grace are aborted, so no worker outlives the client.
  base::Mutex doneMutex;
  base::CondVar doneCv;
  bool done = false;
  std::thread watchdog([&] {
    base::UniqueLock lock(doneMutex);
    if (doneCv.wait_for(lock, kForwardCancelGrace, [&] { return done; })) return;
    if (cancel) {
      cancel->store(true);
      base::LogF(2, "WARNING|Release: MO forwards still running after {} ms are aborted;",
                 kForwardCancelGrace.count());
    }
  });
  client_->Release();
  {
    base::MutexLock lock(doneMutex);
    done = true;
  }
  doneCv.notify_all();
  watchdog.join();
}

void BRIVANE::DeleteSpClient() { client_.reset(); }

bool BRIVANE::SpClientInitialised() const { return client_ != nullptr; }

int BRIVANE::WorkerLoadLevel() const { return client_ ? client_->WorkerPool().LoadLevel() : 0; }

int BRIVANE::SubmitToClient(cmpp::CmppSubmit& record) {
  return client_ ? client_->Submit(record) : cmpp::kErrNoLink;
}

sp::ForwardSettings BRIVANE::Forwarding() const {
  base::MutexLock lock(forwardingMutex_);
  return forwarding_;
}

std::vector<std::pair<std::int32_t, int>> BRIVANE::LoggedInLinksPerPool() const {
  if (!client_) return {};
  std::vector<std::pair<std::int32_t, int>> links;
  for (std::int32_t type : {cmpp::kConnMo, cmpp::kConnMt, cmpp::kConnMtMo})
    links.emplace_back(type, static_cast<int>(client_->LoggedInLinks(type)));
  return links;
}

bool BRIVANE::OpenDatabase(int attempts) {
  db::DbSettings settings = DatabaseSettings(config_);
  settings.openAttempts = attempts;
  db_->SetSettings(settings);  // made by Initialise, closed by a restart before this
  db_->OpenAllConnections();
  if (db_->DatabaseConnected()) {
    sp::MtPollerSettings poll;
    poll.submitQuery = config_.submitQuery;
    poll.mtSpeedLimit = config_.mtSpeedLimit;
    if (config_.customSubmitQuery.empty() && config_.dbTypeSupported) {
      poll.chunkQuery = [dbType = config_.dbType](const std::optional<std::int64_t>& afterId,
                                                  std::int32_t rows) {
        std::string query;
        BuildSubmitChunkQuery(dbType, afterId, rows, &query);
        return query;
      };
      poll.passRows = SubmitRowsPerPass(config_.dbType, config_.mtSpeedLimit);
    }
    poll.spCorpId = base::Utf8ToGbk(config_.spCorpID);
    poll.spId = base::Utf8ToGbk(config_.spID);
    poll.terminalIdLength = static_cast<std::uint32_t>(config_.terminalIdLength);
    poll.claimRows = config_.claimSubmits;
    poll.instanceId = InstanceIdOf(config_, HostName(), AbsoluteHome(options_.home));
    poll.claimLease = config_.claimLease;
    // The instance that handed a row over records its outcome after
    // SubmitRespTimeout; a row still there a lease later lost its instance.
    poll.abandonedAfter = config_.submitRespTimeout + config_.claimLease;
    poll.claimCounters = &claimCounters_;
    const auto [level, line] = PollingModeLine(config_, poll.instanceId);
    base::LogWrite(level, line);
    {
      base::MutexLock lock(poolsMutex_);
      claimSubmits_ = poll.claimRows;
      instanceId_ = poll.instanceId;
    }
    mtPoller_ = std::make_unique<sp::MtPoller>(
        *db_, poll, [this](cmpp::CmppSubmit& record) { return SubmitToClient(record); }, stopMT_,
        passIdle_);
  }
  return db_->DatabaseConnected();
}

void BRIVANE::CloseDatabase() { db_->CloseAllConnections(); }

int BRIVANE::LoadRouteTable() { return db_ && sp::GetAllRouteInfo(*db_, routes_) ? 1 : 0; }

void BRIVANE::SendMTMsg() {
  if (mtPoller_) mtPoller_->SendMTMsg();
}

}  // namespace brivane::service
