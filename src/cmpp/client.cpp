#include "cmpp/client.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "base/strings.h"

namespace brivane::cmpp {

namespace {

// The process-wide concatenation reference counter.
std::atomic<std::uint32_t> gConcatReference{0};

}  // namespace

std::string MakeTimestamp() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  std::tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_usec / 1000));
  // Tokens made one after the other must differ.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return text;
}

// ------------------------------------------------------------------ worker

CmppWorkItem::~CmppWorkItem() {
  if (countedSubmit && client) client->queuedSubmits_.fetch_sub(1);
  // Last: once the count is 0 a stopping client may be destroyed.
  if (running && client) client->ItemEnded();
}

void CWorkerCmpp::Execute(WorkItem& base) {
  // The client posts nothing else with its worker.
  auto& item = static_cast<CmppWorkItem&>(base);
  if (!item.link || !item.client) return;
  item.running = true;
  item.client->runningItems_.fetch_add(1);
  switch (static_cast<WorkKind>(item.kind)) {
    case WorkKind::kSubmit: {
      // The outcomes reach the client through the submit hooks. Once one
      // segment could not be written the rest are not tried: written after
      // a re-login they would reach the SMG without the earlier ones on
      // that connection. Each of them is reported as failed with that code.
      int code = kOk;
      for (const auto& segment : item.submits) {
        if (!segment) continue;
        if (code == kOk) {
          code = item.link->Submit(*segment);
        } else {
          segment->lastError = code;
          item.link->OnSubmitFail(*segment);
        }
      }
      break;
    }
    case WorkKind::kDeliver:
    case WorkKind::kReport: {
      if (!item.deliver) break;
      CmppDeliver whole;  // 8 KiB on the worker's stack, not in the queue
      const CmppDeliver& deliver = item.deliver->Expand(whole);
      if (static_cast<WorkKind>(item.kind) == WorkKind::kDeliver) {
        item.client->OnDeliver(*item.link, deliver);
      } else {
        item.client->OnReport(*item.link, deliver);
      }
      break;
    }
    case WorkKind::kSubmitResp:
      item.client->OnSubmitResp(*item.link, item.submitResp);
      break;
  }
}

// ------------------------------------------------------------------ client

CMPPClient::CMPPClient(std::chrono::milliseconds workerStopWait)
    : pool_(CThreadPool::kManagerPeriod, workerStopWait) {}

void CMPPClient::ItemEnded() {
  base::MutexLock guard(runningMutex_);
  runningItems_.fetch_sub(1);
  runningCv_.notify_all();
}

CMPPClient::~CMPPClient() {
  // The subclass part is gone: its hooks (LogWrite among them) cannot be
  // called any more.
  destroying_.store(true);
  CancelOpenLinks();
  StopLinks();
  StopWorkers();
}

void CMPPClient::Release() {
  // Links before workers: a link acknowledges a DELIVER as soon as it reads
  // it and only then queues it, so a link still reading while the pool
  // stops would acknowledge messages that are then dropped unrun.
  CancelOpenLinks();
  StopLinks();
  StopWorkers();
  ResumeOpenLinks();
}

void CMPPClient::OnLoggedIn(CMPPConnection&) {}
void CMPPClient::OnLoginFailed(CMPPConnection&, int) {}

void CMPPClient::CountLogin(bool succeeded, bool again) {
  if (!succeeded)
    loginFailures_.fetch_add(1);
  else if (again)
    reconnects_.fetch_add(1);
}
void CMPPClient::OnStopped(CMPPConnection&) {}
bool CMPPClient::OnSubmitting(CMPPConnection&, const CmppSubmit&) { return true; }
void CMPPClient::OnSubmitSent(CMPPConnection&, const CmppSubmit&) {}
void CMPPClient::OnSubmitFail(CMPPConnection&, const CmppSubmit&) {}
void CMPPClient::OnSubmitResp(CMPPConnection&, const CmppSubmitResp&) {}
void CMPPClient::OnDeliver(CMPPConnection&, const CmppDeliver&) {}
void CMPPClient::OnReport(CMPPConnection&, const CmppDeliver&) {}

void CMPPClient::LinkLogWrite(CMPPConnection& link, std::string_view line) {
  std::string text;
  text.reserve(link.Token().size() + 1 + line.size());
  text.append(link.Token()).append(1, '\t').append(line);
  if (destroying_.load()) {
    base::LogWrite(2, text);
    return;
  }
  LogWrite(text);
}

void CMPPClient::LogPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = base::PrintfLine(format, args);
  va_end(args);
  if (destroying_.load()) {
    base::LogWrite(2, line);
    return;
  }
  LogWrite(line);
}

// ------------------------------------------------------------------ workers

void CMPPClient::StartWorkers(std::uint32_t requestedMinimum, std::uint32_t requestedMaximum) {
  if (poolStarted_.load()) return;
  const std::uint32_t p = std::max(1u, std::thread::hardware_concurrency());
  const std::uint32_t minimum = std::min(std::max(2 * p + 2, requestedMinimum), kMaxMinimumWorkers);
  const std::uint32_t maximum = std::min(std::max(2 * p + 6, requestedMaximum), kMaxMaximumWorkers);
  minimumWorkers_.store(minimum);
  maximumWorkers_.store(maximum);
  pool_.Start(minimum, maximum);
  poolStarted_.store(true);
}

void CMPPClient::StopWorkers() {
  if (!poolStarted_.load()) return;
  pool_.Stop();
  poolStarted_.store(false);
  base::UniqueLock guard(runningMutex_);
  while (!runningCv_.wait_for(guard, kRunningItemsLogEvery,
                              [this] { return runningItems_.load() == 0; })) {
    base::LogF(1,
               "ERROR|CMPPClient::StopWorkers: {} work items still running, waiting for their "
               "calls to end;",
               runningItems_.load());
  }
}

// ------------------------------------------------------------------ links

std::shared_ptr<CMPPConnection> CMPPClient::CreateLink(const LinkSettings& settings,
                                                       std::int32_t connType, std::uint16_t port) {
  const std::string token =
      (IsCmpp3(settings.version) ? "CMPP3TOKEN:" : "CMPP2TOKEN:") + MakeTimestamp();
  auto link = std::make_shared<CMPPConnection>(
      this, token, settings.smgAddress, port, settings.version, settings.loginName, settings.secret,
      settings.icpId, connType, settings.asiaInfoSmg ? 1 : 0, settings.socketTimeoutSeconds,
      settings.connectionTimeoutSeconds, linkTimings_);
  {
    // Registered before its first login, so that CancelOpenLinks can cut
    // that login short.
    base::MutexLock guard(openMutex_);
    if (openCancelled_) return nullptr;
    opening_.push_back(link);
  }
  link->Start();
  {
    base::MutexLock guard(openMutex_);
    opening_.erase(std::remove(opening_.begin(), opening_.end(), link), opening_.end());
    if (openCancelled_) link->Abort();
  }
  if (!link->LoggedIn() || !link->Running()) return nullptr;  // destroyed here
  MySyncGuard guard(listLock_);
  links_.push_back(link);
  return link;
}

std::int32_t CMPPClient::ListedLinks(std::int32_t connType) const {
  MySyncGuard guard(listLock_);
  return static_cast<std::int32_t>(std::count_if(
      links_.begin(), links_.end(), [&](const auto& l) { return l->ConnType() == connType; }));
}

PoolResults CMPPClient::OpenMissingLinks(const LinkSettings& settings) {
  return OpenPools(settings, true);
}

PoolResults CMPPClient::OpenPools(const LinkSettings& settings, bool onlyMissing) {
  // The pools are opened in order and a failure leaves the later ones for
  // the next attempt.
  PoolResults result;
  struct Pool {
    std::int32_t connType;
    std::int32_t wanted;
    std::uint16_t port;
    bool* good;
    const char* failedLine;
  };
  const Pool pools[] = {
      {kConnMt, settings.mtConnections, settings.mtPort, &result.mtGood, "个MT连接失败!"},
      {kConnMo, settings.moConnections, settings.moPort, &result.moGood, "个MO连接失败！"},
      {kConnMtMo, settings.mtAndMoConnections, settings.mtAndMoPort, &result.mtAndMoGood,
       "个连接失败！"},
  };
  for (const Pool& pool : pools) {
    *pool.good = true;
    const std::int32_t first = onlyMissing ? ListedLinks(pool.connType) + 1 : 1;
    for (std::int32_t i = first; i <= pool.wanted; ++i) {
      if (!CreateLink(settings, pool.connType, pool.port)) {
        base::LogWrite(1, "严重：创建第 " + std::to_string(i) + " " + pool.failedLine);
        *pool.good = false;
        break;
      }
    }
    if (!*pool.good) break;
  }
  return result;
}

int CMPPClient::OpenLinks(const LinkSettings& settings, PoolResults* pools) {
  // With "for ever" (a negative count) the pause between attempts is at
  // least kMinForeverPause: a few milliseconds between rounds that never end
  // would hammer the SMG.
  auto pause = std::chrono::milliseconds(std::max(0, settings.reConnectSmgInterval));
  if (settings.reConnectSmgTimesOnStart < 0) pause = std::max(pause, kMinForeverPause);
  for (std::int32_t attempt = 0;;) {
    // Each attempt makes every link of the pools again, as it always has;
    // links made by an earlier attempt stay.
    const PoolResults result = OpenPools(settings, false);
    if (pools) *pools = result;
    if (result.AllGood()) return 1;
    if (!PauseOpenLinks(pause)) return 0;
    if (settings.reConnectSmgTimesOnStart < 0) continue;
    if (++attempt >= settings.reConnectSmgTimesOnStart) return 0;
  }
}

bool CMPPClient::PauseOpenLinks(std::chrono::milliseconds pause) {
  base::UniqueLock guard(openMutex_);
  openCv_.wait_for(guard, pause, [this]() REQUIRES(openMutex_) { return openCancelled_; });
  return !openCancelled_;
}

void CMPPClient::CancelOpenLinks() {
  std::vector<std::shared_ptr<CMPPConnection>> opening;
  {
    base::MutexLock guard(openMutex_);
    openCancelled_ = true;
    opening = opening_;
  }
  openCv_.notify_all();
  for (auto& link : opening) link->Abort();
}

void CMPPClient::ResumeOpenLinks() {
  base::MutexLock guard(openMutex_);
  openCancelled_ = false;
}

bool CMPPClient::OpenLinksCancelled() const {
  base::MutexLock guard(openMutex_);
  return openCancelled_;
}

bool CMPPClient::Eligible(const CMPPConnection& link) {
  return link.ConnType() != kConnMo && link.LoggedIn() && link.Running() && !link.Sending() &&
         link.Unanswered() <= link.Window();
}

std::size_t CMPPClient::ScanFrom(std::size_t k) {
  if (k > links_.size()) k = 0;
  for (std::size_t i = k; i < links_.size(); ++i) {  // positions k+1 ... n
    if (Eligible(*links_[i])) {
      links_[i]->SetSelectionMark(1);
      return i;
    }
  }
  links_.back()->SetSelectionMark(0);
  return links_.size() - 1;
}

std::shared_ptr<CMPPConnection> CMPPClient::SelectLink() {
  MySyncGuard guard(listLock_);
  if (links_.empty()) return nullptr;
  std::size_t chosen = links_.size();
  if (!lastToken_.empty()) {
    for (std::size_t i = 0; i < links_.size(); ++i) {
      if (base::EqualsNoCase(links_[i]->Token(), lastToken_)) {
        if (links_[i]->SelectionMark() == 1) {
          const std::size_t next = ScanFrom(i + 1);
          if (links_[next]->SelectionMark() == 1) chosen = next;
        }
        break;
      }
    }
  }
  if (chosen == links_.size()) chosen = ScanFrom(0);
  if (links_[chosen]->SelectionMark() != 1) return nullptr;
  lastToken_ = links_[chosen]->Token();
  return links_[chosen];
}

void CMPPClient::StopLinks() {
  // Stopping waits for each receive thread, which may itself be logging
  // through this client; the list is taken out first so that no thread
  // waits for listLock_ while a link stops.
  std::vector<std::shared_ptr<CMPPConnection>> stopping;
  {
    MySyncGuard guard(listLock_);
    stopping.swap(links_);
    lastToken_.clear();
  }
  // In parallel: each stop may wait up to a socket timeout (a TERMINATE
  // written behind a slow submit, a receive thread in a hand-up), and the
  // waits must not add up.
  std::vector<std::thread> stoppers;
  stoppers.reserve(stopping.size());
  for (auto& link : stopping) {
    try {
      stoppers.emplace_back([&link] { link->Stop(); });
    } catch (const std::system_error&) {
      link->Stop();  // no thread to spare: stop it here
    }
  }
  for (auto& stopper : stoppers) stopper.join();
}

std::vector<LinkState> CMPPClient::LinkStates() const {
  MySyncGuard guard(listLock_);
  std::vector<LinkState> states;
  states.reserve(links_.size());
  for (const auto& link : links_) {
    states.push_back({link->Token(), link->ConnType(), link->SmgPort(), link->LoggedIn(),
                      link->Running(), link->Unanswered(), link->Counters()});
  }
  return states;
}

std::size_t CMPPClient::LinkCount() const {
  MySyncGuard guard(listLock_);
  return links_.size();
}

std::size_t CMPPClient::LoggedInLinks(std::int32_t connType) const {
  MySyncGuard guard(listLock_);
  return static_cast<std::size_t>(std::count_if(links_.begin(), links_.end(), [&](const auto& l) {
    return l->ConnType() == connType && l->LoggedIn();
  }));
}

// ------------------------------------------------------------------ submit

std::uint8_t CMPPClient::NextConcatReference() {
  return static_cast<std::uint8_t>((gConcatReference.fetch_add(1) + 1) % 255);
}

int CMPPClient::Submit(CmppSubmit& submit) {
  std::vector<std::unique_ptr<CmppSubmit>> segments;
  try {
    segments = SplitSubmit(submit);
  } catch (const std::bad_alloc&) {
    LogPrintf("ERROR|CMPPClient::Submit: no memory for the record whose id is %llu;",
              static_cast<unsigned long long>(submit.recordId));
    return ENOMEM;
  }

  const auto deadline =
      std::chrono::steady_clock::now() + selectPause_ * std::max(0, selectTries_ - 1);
  // A pass reads rows far faster than the links write them; unbounded, the
  // queue would hold a whole pass of records (11.5 KB each) at once. Wait for
  // room as long as a link choice may wait, then queue all the same: a link
  // stuck in a write must not hold the pass for good.
  while (queuedSubmits_.load() >= maxQueuedSubmits_ && !submitWaitsCancelled_.load() &&
         std::chrono::steady_clock::now() < deadline) {
    // A worker's item ends after its write has bumped the epoch, so look
    // again soon rather than wait for the next change.
    WaitLinkState(linkStateEpoch_.load(), std::chrono::milliseconds(5));
  }
  for (;;) {
    const std::uint64_t epoch = linkStateEpoch_.load();
    // A stopped pool would drop the item unrun: no link can take it then.
    std::shared_ptr<CMPPConnection> link = poolStarted_.load() ? SelectLink() : nullptr;
    if (link) {
      std::unique_ptr<CmppWorkItem> item;
      try {
        item = NewItem(WorkKind::kSubmit, std::move(link));
      } catch (const std::bad_alloc&) {
        LogPrintf("ERROR|CMPPClient::Submit: no memory for the record whose id is %llu;",
                  static_cast<unsigned long long>(submit.recordId));
        return ENOMEM;
      }
      item->submits = std::move(segments);
      queuedSubmits_.fetch_add(1);
      item->countedSubmit = true;
      Post(std::move(item));
      return kOk;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || submitWaitsCancelled_.load()) break;
    WaitLinkState(epoch,
                  std::min<std::chrono::steady_clock::duration>(selectPause_, deadline - now));
  }
  LogPrintf("The record whose id is equal to %llu failed to be sent!",
            static_cast<unsigned long long>(submit.recordId));
  return kErrNoLink;
}

std::vector<std::unique_ptr<CmppSubmit>> CMPPClient::SplitSubmit(CmppSubmit& submit) {
  std::vector<std::unique_ptr<CmppSubmit>> segments;
  const std::uint32_t limit = submit.Msg_Fmt == 0 ? kSingleLimitAscii : kSingleLimitOther;
  if (submit.Msg_Length <= limit) {
    segments.push_back(std::make_unique<CmppSubmit>(submit));
    return segments;
  }
  // Never read past the record's content area, whatever Msg_Length says.
  const std::uint32_t length =
      std::min<std::uint32_t>(submit.Msg_Length, sizeof submit.Msg_Content);
  const std::uint32_t segmentSize = submit.Msg_Fmt != 0 ? kSliceOther + 6 : kSliceAscii + 6;
  // A record that already starts with a user data header (a WAP Push: its
  // port addressing) keeps that header in every segment, with the
  // concatenation element appended to it; otherwise the phone would take the
  // old header for text. Plain texts get a header of their own.
  std::uint32_t ownHeader = 0;  // the record's header with its length byte
  if (submit.TP_udhi == 1 && length > 1) {
    const std::uint32_t udhl = submit.Msg_Content[0];
    if (udhl + 1 < length && udhl + 1 + 5 < segmentSize) ownHeader = udhl + 1;
  }
  const std::uint32_t headerSize = ownHeader > 0 ? ownHeader + 5 : 6;
  const std::uint32_t slice = segmentSize - headerSize;
  const std::uint32_t payload = length - ownHeader;
  const std::uint32_t total = (payload + slice - 1) / slice;
  const std::uint8_t reference = NextConcatReference();

  segments.reserve(total);
  for (std::uint32_t i = 1; i <= total; ++i) {
    auto segment = std::make_unique<CmppSubmit>(submit);
    segment->TP_udhi = 1;
    const std::uint32_t offset = (i - 1) * slice;
    const std::uint32_t size = std::min(slice, payload - offset);
    std::memset(segment->Msg_Content, 0, sizeof segment->Msg_Content);
    std::uint8_t* out = segment->Msg_Content;
    if (ownHeader > 0) {
      *out++ = static_cast<std::uint8_t>(ownHeader - 1 + 5);
      std::memcpy(out, submit.Msg_Content + 1, ownHeader - 1);
      out += ownHeader - 1;
    } else {
      *out++ = 0x05;
    }
    const std::uint8_t concatenation[5] = {0x00, 0x03, reference, static_cast<std::uint8_t>(total),
                                           static_cast<std::uint8_t>(i)};
    std::memcpy(out, concatenation, sizeof concatenation);
    out += sizeof concatenation;
    std::memcpy(out, submit.Msg_Content + ownHeader + offset, size);
    segment->Msg_Length = size + headerSize;
    segment->Pk_total = static_cast<std::uint8_t>(total);
    segment->Pk_number = static_cast<std::uint8_t>(i);
    segments.push_back(std::move(segment));
  }
  submit.Pk_total = static_cast<std::uint8_t>(total);
  return segments;
}

void CMPPClient::WaitLinkState(std::uint64_t epoch, std::chrono::steady_clock::duration pause) {
  base::UniqueLock guard(selectMutex_);
  selectWaiters_.fetch_add(1);
  selectCv_.wait_for(guard, pause, [&] { return linkStateEpoch_.load() != epoch; });
  selectWaiters_.fetch_sub(1);
}

void CMPPClient::CancelSubmitWaits() {
  submitWaitsCancelled_.store(true);
  LinkStateChanged();
}

void CMPPClient::LinkStateChanged() {
  // Either this sees the waiter, or the waiter sees the new epoch.
  linkStateEpoch_.fetch_add(1);
  if (selectWaiters_.load() > 0) {
    base::MutexLock guard(selectMutex_);
    selectCv_.notify_all();
  }
}

// ------------------------------------------------------------------ events

std::unique_ptr<CmppWorkItem> CMPPClient::NewItem(WorkKind kind,
                                                  std::shared_ptr<CMPPConnection> link) {
  auto item = std::make_unique<CmppWorkItem>();
  item->kind = static_cast<std::uint32_t>(kind);
  item->client = this;
  item->link = std::move(link);
  return item;
}

void CMPPClient::Post(std::unique_ptr<CmppWorkItem> item) { pool_.Post(worker_, std::move(item)); }

void CMPPClient::WaitForRoom(const CMPPConnection& link) {
  if (pool_.QueuedCount() <= kQueueHighWater) return;
  while (pool_.QueuedCount() > kQueueLowWater && !link.Stopped() && poolStarted_.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void CMPPClient::QueueSubmitResp(std::shared_ptr<CMPPConnection> link, const CmppSubmitResp& resp) {
  // The caller (the link's receive thread) keeps the link alive.
  const CMPPConnection& from = *link;
  try {
    auto item = NewItem(WorkKind::kSubmitResp, std::move(link));
    item->submitResp = resp;
    Post(std::move(item));
    WaitForRoom(from);
  } catch (const std::bad_alloc&) {
    LogPrintf("ERROR|CMPPClient::QueueSubmitResp: no memory, response to %u dropped;",
              resp.Sequence_Id);
  }
}

void CMPPClient::QueueDeliver(std::shared_ptr<CMPPConnection> link, const CmppDeliver& deliver) {
  // The caller (the link's receive thread) keeps the link alive.
  const CMPPConnection& from = *link;
  try {
    auto item = NewItem(WorkKind::kDeliver, std::move(link));
    item->deliver.emplace(deliver);
    Post(std::move(item));
    WaitForRoom(from);
  } catch (const std::bad_alloc&) {
    LogPrintf("ERROR|CMPPClient::QueueDeliver: no memory, MO message dropped;");
  }
}

void CMPPClient::QueueReport(std::shared_ptr<CMPPConnection> link, const CmppDeliver& deliver) {
  // The caller (the link's receive thread) keeps the link alive.
  const CMPPConnection& from = *link;
  try {
    auto item = NewItem(WorkKind::kReport, std::move(link));
    item->deliver.emplace(deliver);
    Post(std::move(item));
    WaitForRoom(from);
  } catch (const std::bad_alloc&) {
    LogPrintf("ERROR|CMPPClient::QueueReport: no memory, status report dropped;");
  }
}

}  // namespace brivane::cmpp
