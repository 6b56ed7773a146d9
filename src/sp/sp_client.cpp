#include "sp/sp_client.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "base/settings_table.h"
#include "base/status_block.h"
#include "base/text.h"
#include "base/ticks.h"
#include "db/procedures.h"
#include "sp/kept_out_rows.h"
#include "sp/rows_in_flight.h"

namespace brivane::sp {
namespace {

constexpr std::size_t kResponseTextKeep = 500;

std::string Cut500(const std::string& gbk) {
  if (gbk.size() <= kResponseTextKeep) return gbk;
  // Cut at a character boundary: walk GBK characters.
  std::size_t i = 0;
  while (i < gbk.size()) {
    std::size_t len = base::IsGbkLeadByte(static_cast<unsigned char>(gbk[i])) ? 2 : 1;
    if (i + len > kResponseTextKeep) break;
    i += len;
  }
  return gbk.substr(0, i);
}

std::string FieldText(const char* field, std::size_t width) {
  return std::string(field, strnlen(field, width));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The MO text as UTF-16: UCS-2 arrives big-endian; Msg_Fmt 16 is UTF-8;
// every other coding is read as GBK (the host code page), undecodable bytes
// and unpaired surrogates becoming U+FFFD rather than garbage.
std::u16string MoTextUtf16(const std::uint8_t* content, std::size_t length, std::uint8_t fmt) {
  std::u16string text;
  if (fmt == 8) {
    text.resize(length / 2);
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>((content[2 * i] << 8) | content[2 * i + 1]);
    // The database and the forward get well-formed text only.
    return base::ValidUtf16(text);
  }
  std::string_view bytes(reinterpret_cast<const char*>(content), length);
  return fmt == 16 ? base::Utf8ToUtf16(bytes) : base::GbkToUtf16(bytes);
}

}  // namespace

std::string MsgIdText(const std::uint8_t (&msgId)[8]) {
  std::uint64_t value = 0;
  for (std::uint8_t b : msgId) value = (value << 8) | b;
  return std::to_string(value);
}

MyCMPPClient::MyCMPPClient(SpHost& host) : host_(host) {}

MyCMPPClient::~MyCMPPClient() {
  // The links call this object's hooks until they are stopped.
  Release();
  // Parts left here were not handed on by HandOnStoredParts: the store says
  // how many are lost when it goes.
  store_.reset();
  // What the database never took is lost with this object: say which.
  base::MutexLock lock(unrecordedMutex_);
  for (const Outcome& o : unrecordedOutcomes_)
    base::LogF(1, "ERROR|DelSubmit|SubmitID={}|MsgId={}|SubmitResult={}|never recorded;",
               o.recordId, o.msgId, o.result);
  for (const db::DeliverRecord& r : unrecordedMo_)
    base::LogF(1, "ERROR|AddDeliver|Mobile={}|MsgId={}|never stored;", r.mobile, r.msgId);
}

namespace {

// The constants the code falls back on agree with the settings table.
static_assert(base::SettingOf("FlowControlTries").defaultNumber ==
              FlowControlSettings::kDefaultTries);
static_assert(base::SettingOf("FlowControlPause").defaultNumber ==
              FlowControlSettings::kDefaultPause.count());
static_assert(base::SettingOf("FlowControlTries").max == FlowControlSettings::kMaxTries);
static_assert(base::SettingOf("FlowControlPause").max == FlowControlSettings::kMaxPause.count());
static_assert(base::SettingOf("SubmitRespTimeout").defaultNumber ==
              MyCMPPClient::kDefaultSubmitRespTimeout.count());
static_assert(base::SettingOf("LongSMSMaxParts").defaultNumber ==
              static_cast<std::int64_t>(CLongSMSLog::kDefaultCapacity));

cmpp::LinkSettings ReadLinkSettings(const base::ConfigSection& section) {
  auto number = [&](const char* key) { return base::ReadInteger(section, key); };
  cmpp::LinkSettings s;
  s.smgAddress = base::ReadString(section, "SMGAddress");
  s.asiaInfoSmg = base::ReadBoolean(section, "AsiaInfoSMG");
  s.icpId = base::ReadString(section, "SPCorpID");
  s.version = static_cast<std::uint8_t>(base::ReadInteger(section, "SMGVersion"));
  s.loginName = base::ReadString(section, "SPLoginName");
  s.secret = base::ReadPassword(section, "SPPassword");
  s.moPort = static_cast<std::uint16_t>(number("MOPort"));
  s.mtPort = static_cast<std::uint16_t>(number("MTPort"));
  s.mtAndMoPort = static_cast<std::uint16_t>(number("MTAndMOPort"));
  s.moConnections = static_cast<std::int32_t>(number("MOConnections"));
  s.mtConnections = static_cast<std::int32_t>(number("MTConnections"));
  s.mtAndMoConnections = static_cast<std::int32_t>(number("MTAndMOConnections"));
  s.socketTimeoutSeconds = static_cast<std::int32_t>(number("SocketTimeout"));
  s.connectionTimeoutSeconds = static_cast<std::int32_t>(number("ConnectionTimeout"));
  s.reConnectSmgTimesOnStart = static_cast<std::int32_t>(number("ReConnectSMGTimesOnStart"));
  s.reConnectSmgInterval = static_cast<std::int32_t>(number("ReConnectSMGInterval"));
  return s;
}

}  // namespace

void MyCMPPClient::ReadSendingSettings(const base::ConfigSection& section) {
  std::int64_t respTimeout = base::ReadInteger(section, "SubmitRespTimeout");
  if (respTimeout <= 0) respTimeout = kDefaultSubmitRespTimeout.count();
  submitRespTimeoutMs_ =
      static_cast<std::uint32_t>(std::min<std::int64_t>(respTimeout, 86400) * 1000);
  flowTries_ = static_cast<int>(std::clamp<std::int64_t>(
      base::ReadInteger(section, "FlowControlTries"), 1, FlowControlSettings::kMaxTries));
  flowPauseMs_ = std::clamp<std::int64_t>(base::ReadInteger(section, "FlowControlPause"), 1,
                                          FlowControlSettings::kMaxPause.count());
  rateCap_.SetRate(static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(base::ReadInteger(section, "LinkSubmitsPerSecond"), 0, 100000)));
  rateCap_.Clear();
}

void MyCMPPClient::PrepareLongSmsStore(const base::ConfigSection& section) {
  // The store is ready before the first link logs in: an SMG hands over
  // the MO messages it holds as soon as a link is in, while the other
  // links may still be logging in (or fail to).
  // The store belongs to the process, not to one start: parts the SMG
  // was told we received stay for their companions across an in-place
  // restart.
  if (merger_) {
    merger_->Stop();
    merger_.reset();
  }
  if (!store_)
    store_ = std::make_shared<CLongSMSLog>(
        [this](const cmpp::CmppDeliver& d, int parts) { HandOnMerged(d, parts); }, longSmsExpiry_);
  const std::int64_t maxParts = base::ReadInteger(section, "LongSMSMaxParts");
  store_->SetCapacity(maxParts > 0 ? static_cast<std::size_t>(
                                         std::min<std::int64_t>(maxParts, kLongSmsMaxPartsLimit))
                                   : CLongSMSLog::kDefaultCapacity);
  {
    base::MutexLock lock(handOnMutex_);
    handOnClosed_ = false;
  }
  merger_ = std::make_unique<LongSMSMerger>(store_);
}

bool MyCMPPClient::Initialise(const base::ConfigSection& section) {
  ResumeSubmitWaits();
  try {
    const cmpp::LinkSettings s = ReadLinkSettings(section);
    const auto workThreads = static_cast<std::uint32_t>(
        std::max<std::int64_t>(0, base::ReadInteger(section, "WorkThreads")));
    ReadSendingSettings(section);

    mtPoolGood_ = moPoolGood_ = mtAndMoPoolGood_ = allPoolsGood_ = false;
    if (s.mtConnections <= 0 && s.moConnections <= 0 && s.mtAndMoConnections <= 0) return false;
    PrepareLongSmsStore(section);

    linkSettings_ = s;
    // Before the links: a refusal may come as soon as one is in.
    flowRetries_.Start();
    StartWorkers(workThreads, workThreads + 100);
    cmpp::PoolResults pools;
    int all = OpenLinks(s, &pools);
    mtPoolGood_ = pools.mtGood;
    moPoolGood_ = pools.moGood;
    mtAndMoPoolGood_ = pools.mtAndMoGood;
    allPoolsGood_ = all == 1;
    if (!allPoolsGood_) return false;

    StartPendingTimer();
    const FlowControlSettings flow = FlowControl();
    base::LogF(3, "FlowControl|tries={}|first pause={} ms|link cap={}/s;", flow.tries,
               flow.firstPause.count(), flow.linkSubmitsPerSecond);
    initialised_ = true;
    return true;
  } catch (const std::exception&) {
    base::LogWrite(1, "EXCEPTION|MyCMPPClient::Initialise();");
    return false;
  }
}

bool MyCMPPClient::CompleteLinks() {
  if (initialised_) return true;
  const cmpp::PoolResults pools = OpenMissingLinks(linkSettings_);
  mtPoolGood_ = pools.mtGood;
  moPoolGood_ = pools.moGood;
  mtAndMoPoolGood_ = pools.mtAndMoGood;
  allPoolsGood_ = pools.AllGood();
  if (!allPoolsGood_ || OpenLinksCancelled()) return false;
  StartPendingTimer();
  initialised_ = true;
  return true;
}

void MyCMPPClient::Release() {
  // A start-up still logging in links ends first; nothing new logs in.
  CancelOpenLinks();
  StopPendingTimer();
  base::LogF(3, "MyCMPPClient::Release() clear submitlist={}", pending_.Size());
  if (merger_) {
    base::LogWrite(3, "MyCMPPClient::Release() release smsmerge.");
    merger_->Stop();
    merger_.reset();
  }
  // Let the submits already handed over be written, and their answers come
  // in, while the links are still up (bounded), so their rows get the SMG's
  // outcome. Reports and MO messages do not hold this up: whatever the links
  // queued is run when the pool stops.
  if (WorkersStarted()) {
    const std::uint32_t start = base::TickCount();
    while ((pending_.Size() > 0 || QueuedSubmits() > 0 || flowRetries_.Size() > 0) &&
           base::TicksSince(start) < static_cast<std::uint32_t>(kReleaseDrain.count()))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Segments whose retry is not due yet are not written any more: their
  // refusal is their outcome. A resend still waiting for a link gives up.
  CancelSubmitWaits();
  RecordRefusedLeft();
  // Links before workers: a link answers a DELIVER (report or MO) as soon
  // as it reads it and only then hands it to the pool, so a link still
  // reading while the pool stops would acknowledge messages that are then
  // dropped unrun. Stopped first, the links take nothing more in, and the
  // pool's stop still runs what they queued (the database is closed only
  // after Release).
  StopLinks();
  StopWorkers();
  // Whatever is still pending can no longer be answered: record it rather
  // than leave its row without an outcome.
  RecordUnanswered("released");
  // A database that answers again by now takes what it refused; the rest
  // stays for the next start of the timer.
  RetryUnrecorded();
  CloseHandOn();
  initialised_ = false;
  ResumeOpenLinks();
}

void MyCMPPClient::HandOnMerged(const cmpp::CmppDeliver& deliver, int partsCount) {
  {
    base::MutexLock lock(handOnMutex_);
    if (handOnClosed_) {
      base::LogF(1, "ERROR|HandleMo|MsgId={}|merged after the release, not handed on;",
                 MsgIdText(deliver.Msg_Id));
      return;
    }
    ++handOnsRunning_;
  }
  struct Done {
    MyCMPPClient& client;
    ~Done() {
      base::MutexLock lock(client.handOnMutex_);
      --client.handOnsRunning_;
      client.handOnCv_.notify_all();
    }
  } done{*this};
  HandleMo(deliver, partsCount);
}

void MyCMPPClient::CloseHandOn() {
  // The merger's own stop wait is bounded; a hand-on it left running is in
  // a bounded call (an aborted forward, a database call with its timeout).
  base::UniqueLock lock(handOnMutex_);
  while (!handOnCv_.wait_for(lock, std::chrono::seconds(5),
                             [this]() REQUIRES(handOnMutex_) { return handOnsRunning_ == 0; }))
    base::LogWrite(
        1, "ERROR|MyCMPPClient::Release: a merged MO message is still being handed on, waiting;");
  handOnClosed_ = true;
}

std::size_t MyCMPPClient::HandOnStoredParts() {
  if (!store_) return 0;
  // One attempt each: a stop ends within seconds, and what the database
  // refuses is kept and tried once more below.
  // Release closed the hand-on to the merger; the stop hands the parts on
  // itself, on this thread, after the merger has ended.
  {
    base::MutexLock lock(handOnMutex_);
    handOnClosed_ = false;
  }
  handingOnAtStop_ = true;
  const std::size_t handed = store_->HandOnAll();
  handingOnAtStop_ = false;
  CloseHandOn();
  // What the database refused is kept; try once more while it is open.
  RetryUnrecorded();
  return handed;
}

std::size_t MyCMPPClient::StoredParts() const { return store_ ? store_->Count() : 0; }

void MyCMPPClient::LogWrite(std::string_view line) {
  try {
    base::LogWrite(2, line.size() > 2047 ? line.substr(0, 2047) : line);
  } catch (const std::exception&) {
    base::LogF(2, "EXCEPTION|MyCMPPClient::LogWrite|Err={}", errno);
  }
}

void MyCMPPClient::OnStopped(cmpp::CMPPConnection& link) {
  cmpp::LinkCounters c = link.Counters();
  base::LogF(3, "信息：TOKEN={}|MT_OK={}|MT_FAIL={}|RESP_OK={}|RESP_FAIL={}|MO={}|SR={}",
             link.Token(), c.mtOk, c.mtFail, c.respOk, c.respFail, c.mo, c.sr);
}

FlowControlSettings MyCMPPClient::FlowControl() const {
  FlowControlSettings s;
  s.tries = flowTries_.load();
  s.firstPause = std::chrono::milliseconds(flowPauseMs_.load());
  s.linkSubmitsPerSecond = rateCap_.Rate();
  return s;
}

bool MyCMPPClient::OnSubmitting(cmpp::CMPPConnection& link, const cmpp::CmppSubmit& submit) {
  // The per-link cap: this worker holds the link (no other submit is
  // chosen for it meanwhile) until the link's next slot. A wait is at most
  // one slot, as one submit at a time is written on a link.
  const auto now = LinkRateCap::Clock::now();
  const auto slot = rateCap_.Reserve(link.Token(), now);
  if (slot > now) {
    base::StatusBlock().Add(base::kSubmitPaced);
    std::this_thread::sleep_until(slot);
  }
  PendingSegment segment{submit.recordId, submit.sequenceId, submit.Pk_number, submit.Pk_total,
                         nullptr};
  if (flowTries_.load() > 1) segment.written = std::make_shared<const KeptSubmit>(submit);
  segment.handedAt = std::chrono::steady_clock::now();
  if (auto displaced = pending_.Put(segment, base::TickCount(), submitRespTimeoutMs_)) {
    // Only after the Sequence_Id counter wrapped within one response
    // deadline: the older segment can no longer be told from this one.
    base::LogF(2, "ERROR|SubmitResp missing|SubmitID={}|segment {}/{}|Sequence_Id reused;",
               displaced->recordId, displaced->segment, displaced->total);
    RecordOutcome(displaced->recordId, "", kNoResponseOutcome);
  }
  return true;
}

void MyCMPPClient::OnSubmitSent(cmpp::CMPPConnection&, const cmpp::CmppSubmit& submit) {
  base::StatusBlock().Add(base::kSubmitWritten);
  MarkWritten(host_.Database(), submit, ProcessRowsInFlight(), ProcessKeptOutRows());
}

void MyCMPPClient::OnSubmitFail(cmpp::CMPPConnection&, const cmpp::CmppSubmit& submit) {
  base::StatusBlock().Add(base::kSubmitWriteFailed);
  pending_.Remove(submit.sequenceId, submit.recordId);
  // A claimed row never written goes back for any instance to send; any
  // other failure is recorded below, which takes the row out of `Submit`.
  if (GiveBackUnwritten(host_.Database(), submit, ProcessRowsInFlight())) return;
  const std::int32_t outcome = cmpp::SubmitOutcomeOf(submit.lastError);
  base::LogF(2, "ERROR|Submit not sent|SubmitID={}|segment {}/{}|SubmitResult={}|{}: {} ({});",
             submit.recordId, submit.Pk_number, submit.Pk_total, outcome,
             cmpp::SubmitResultText(outcome), cmpp::CodeText(submit.lastError), submit.lastError);
  RecordOutcome(submit.recordId, "", static_cast<std::uint32_t>(outcome));
}

void MyCMPPClient::OnSubmitResp(cmpp::CMPPConnection&, const cmpp::CmppSubmitResp& resp) {
  base::StatusBlock().Add(resp.Result == 0 ? base::kSubmitRespOk : base::kSubmitRespFail);
  answers_.CountResult(resp.Result);
  std::optional<PendingSegment> segment = pending_.TakeBySequence(resp.Sequence_Id);
  if (!segment) return;
  answers_.AddLatency(std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - segment->handedAt));
  if (resp.Result == kFlowControlResult && segment->written) {
    const std::uint32_t writes = segment->written->WriteAttempts();
    const auto tries = static_cast<std::uint32_t>(flowTries_.load());
    if (writes < tries) {
      const FlowControlSettings flow = FlowControl();
      const auto pause = FlowControlPause(flow, writes);
      FlowRetryQueue::Entry entry{segment->written->Restore(), MsgIdText(resp.Msg_Id),
                                  FlowRetryQueue::Clock::now() + pause};
      if (flowRetries_.Add(entry)) {
        base::StatusBlock().Add(base::kSubmitFlowRetried);
        base::LogF(3,
                   "FlowControl|SubmitID={}|segment {}/{}|refused (Result 8) on write {} of {}, "
                   "written again in {} ms;",
                   segment->recordId, segment->segment, segment->total, writes, tries,
                   pause.count());
        return;
      }
    } else {
      base::LogF(2,
                 "FlowControl|SubmitID={}|segment {}/{}|refused (Result 8) on the last of {} "
                 "writes;",
                 segment->recordId, segment->segment, segment->total, tries);
    }
  }
  RecordOutcome(segment->recordId, MsgIdText(resp.Msg_Id),
                static_cast<std::uint32_t>(cmpp::StoredSmgResult(resp.Result)));
}

void MyCMPPClient::OnReport(cmpp::CMPPConnection&, const cmpp::CmppDeliver& deliver) {
  auto& block = base::StatusBlock();
  block.Add(base::kReportReceived);
  const cmpp::CmppStatusReport report = cmpp::ReportOf(deliver);
  const std::string stat = FieldText(report.Stat, sizeof report.Stat);
  block.Add(EqualsNoCase(stat, "DELIVRD") ? base::kReportDelivered : base::kReportOther);
  if (db::DbGateway* db = host_.Database())
    db::AddStatusReport(*db, MsgIdText(report.Msg_Id), stat,
                        FieldText(report.Dest_terminal_Id, sizeof report.Dest_terminal_Id),
                        FieldText(report.Submit_time, sizeof report.Submit_time),
                        FieldText(report.Done_time, sizeof report.Done_time));
}

void MyCMPPClient::OnDeliver(cmpp::CMPPConnection&, const cmpp::CmppDeliver& deliver) {
  base::StatusBlock().Add(base::kMoReceived);
  // The store exists whenever workers run: Release stops the pool first.
  if (IsConcatenatedPart(deliver) && store_ && store_->AddFragment(deliver)) return;
  HandleMo(deliver, 1);
}

void MyCMPPClient::HandleMo(const cmpp::CmppDeliver& deliver, int partsCount) {
  const std::string msgId = MsgIdText(deliver.Msg_Id);
  // A single DELIVER keeps at most 160 content bytes; a merged message holds
  // its whole text in the content field.
  std::size_t length = std::min<std::size_t>(deliver.Msg_Length, cmpp::kContentAreaSize - 1);
  if (partsCount <= 1) length = std::min(length, cmpp::kMoContentKept);
  const std::u16string text = MoTextUtf16(deliver.Msg_Content, length, deliver.Msg_Fmt);

  const std::string mobile = FieldText(deliver.Src_terminal_Id, sizeof deliver.Src_terminal_Id);
  const std::string destId = FieldText(deliver.Dest_Id, sizeof deliver.Dest_Id);
  const std::string linkId = FieldText(deliver.LinkID, sizeof deliver.LinkID);

  db::DeliverRecord record;
  record.mobile = mobile;
  // U+0000 does not survive the database: the SQLite driver ends a text
  // parameter there whatever its given length, and PostgreSQL text cannot
  // hold it at all. A zero byte, as in a concatenation header handed on
  // alone, would cost the rest of the message, so it is stored as U+FFFD.
  // The forward keeps the text as it came.
  record.msg = text;
  std::replace(record.msg.begin(), record.msg.end(), u'\0', u'\uFFFD');
  record.spNumber = destId;
  record.linkId = linkId;
  record.msgId = msgId;
  record.pkTotal = partsCount;
  record.serviceCode = FieldText(deliver.Service_Id, sizeof deliver.Service_Id);

  const ForwardSettings forwarding = host_.Forwarding();
  if (forwarding.EnableHTTPClient) {
    std::string_view utf16Bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    MoForward mo{destId, mobile, linkId, msgId, kCodingUtf16Le, utf16Bytes};
    ForwardOutcome outcome = ForwardMo(host_.Routes(), forwarding, mo);
    if (outcome.routed) {
      record.responseCode = outcome.reply.statusCode;
      record.responseInfo = Cut500(outcome.reply.statusText);
      record.replyBody = Cut500(outcome.reply.replyBody);
      record.serviceId = outcome.serviceId;
    }
  }

  db::DbGateway* db = host_.Database();
  const int attempts = handingOnAtStop_ ? 1 : 3;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (db && db::AddDeliver(*db, record)) return;
    base::LogWrite(2, "MOLog Failed, retry...");
    if (attempt < attempts) std::this_thread::sleep_for(moRetryPause_);
  }
  // The SMG has had its answer and will not send the message again: keep it
  // until the database takes it.
  base::MutexLock lock(unrecordedMutex_);
  if (unrecordedMo_.size() >= kUnrecordedKept) {
    base::LogF(1, "ERROR|AddDeliver|Mobile={}|MsgId={}|never stored, too many kept;", record.mobile,
               record.msgId);
    return;
  }
  base::LogF(2, "ERROR|AddDeliver|Mobile={}|MsgId={}|kept to store again;", record.mobile,
             record.msgId);
  unrecordedMo_.push_back(std::move(record));
}

void MyCMPPClient::RecordOutcome(std::uint64_t recordId, const std::string& msgId,
                                 std::uint32_t result) {
  db::DbGateway* db = host_.Database();
  if (db && db::DelSubmit(*db, recordId, msgId, result)) return;
  // Without it the row would stay handed over for good: keep the outcome
  // until the database takes it.
  base::MutexLock lock(unrecordedMutex_);
  if (unrecordedOutcomes_.size() >= kUnrecordedKept) {
    base::LogF(1,
               "ERROR|DelSubmit|SubmitID={}|MsgId={}|SubmitResult={}|never recorded, too many "
               "kept;",
               recordId, msgId, result);
    return;
  }
  base::LogF(2, "ERROR|DelSubmit|SubmitID={}|kept to record again;", recordId);
  unrecordedOutcomes_.push_back(Outcome{recordId, msgId, result});
}

void MyCMPPClient::ResendRefused(FlowRetryQueue::Entry& entry) {
  cmpp::CmppSubmit& segment = *entry.segment;
  // A segment fits one SUBMIT, so Submit queues it as it stands (its
  // concatenation header, Pk_number and write count kept).
  const int code = Submit(segment);
  if (code == 0) return;
  base::LogF(2, "ERROR|Submit|SubmitID={}|segment {}/{}|not written again after Result 8, code {};",
             segment.recordId, segment.Pk_number, segment.Pk_total, code);
  RecordOutcome(segment.recordId, entry.msgId, kFlowControlResult);
}

void MyCMPPClient::RecordRefusedLeft() {
  for (FlowRetryQueue::Entry& e : flowRetries_.Stop()) {
    base::LogF(2, "FlowControl|SubmitID={}|segment {}/{}|client released before the next write;",
               e.segment->recordId, e.segment->Pk_number, e.segment->Pk_total);
    RecordOutcome(e.segment->recordId, e.msgId, kFlowControlResult);
  }
}

void MyCMPPClient::RetryUnrecorded() {
  db::DbGateway* db = host_.Database();
  if (!db) return;
  // One entry at a time, taken out under the lock and put back at the front
  // when the database refuses it again; the calls run without the lock.
  for (;;) {
    Outcome outcome;
    {
      base::MutexLock lock(unrecordedMutex_);
      if (unrecordedOutcomes_.empty()) break;
      outcome = std::move(unrecordedOutcomes_.front());
      unrecordedOutcomes_.pop_front();
    }
    if (!db::DelSubmit(*db, outcome.recordId, outcome.msgId, outcome.result)) {
      base::MutexLock lock(unrecordedMutex_);
      unrecordedOutcomes_.push_front(std::move(outcome));
      break;
    }
  }
  for (;;) {
    db::DeliverRecord record;
    {
      base::MutexLock lock(unrecordedMutex_);
      if (unrecordedMo_.empty()) break;
      record = std::move(unrecordedMo_.front());
      unrecordedMo_.pop_front();
    }
    if (!db::AddDeliver(*db, record)) {
      base::MutexLock lock(unrecordedMutex_);
      unrecordedMo_.push_front(std::move(record));
      break;
    }
  }
}

std::size_t MyCMPPClient::UnrecordedCount() {
  base::MutexLock lock(unrecordedMutex_);
  return unrecordedOutcomes_.size() + unrecordedMo_.size();
}

void MyCMPPClient::ExpirePending() {
  std::vector<PendingSegment> expired = pending_.TakeExpired(base::TickCount());
  for (const PendingSegment& s : expired) {
    base::LogF(2, "ERROR|SubmitResp timeout|SubmitID={}|segment {}/{}|no response within {} s;",
               s.recordId, s.segment, s.total, submitRespTimeoutMs_ / 1000);
    RecordOutcome(s.recordId, "", kNoResponseOutcome);
  }
}

void MyCMPPClient::RecordUnanswered(const char* why) {
  std::vector<PendingSegment> left = pending_.TakeAll();
  for (const PendingSegment& s : left) {
    base::LogF(2,
               "ERROR|SubmitResp missing|SubmitID={}|segment {}/{}|client {} before the response "
               "came;",
               s.recordId, s.segment, s.total, why);
    RecordOutcome(s.recordId, "", kNoResponseOutcome);
  }
}

void MyCMPPClient::StartPendingTimer() {
  StopPendingTimer();
  {
    base::MutexLock lock(timerMutex_);
    timerStop_ = false;
  }
  pendingTimer_ = std::thread([this] {
    base::UniqueLock lock(timerMutex_);
    while (!timerStop_) {
      timerCv_.wait_for(lock, std::chrono::seconds(1),
                        [this]() REQUIRES(timerMutex_) { return timerStop_; });
      if (timerStop_) break;
      lock.unlock();
      try {
        ExpirePending();
        RetryUnrecorded();
      } catch (const std::exception& e) {
        base::LogF(1, "EXCEPTION|MyCMPPClient::ExpirePending|{}", e.what());
      }
      lock.lock();
    }
  });
}

void MyCMPPClient::StopPendingTimer() {
  {
    base::MutexLock lock(timerMutex_);
    timerStop_ = true;
  }
  timerCv_.notify_all();
  if (pendingTimer_.joinable()) pendingTimer_.join();
}

}  // namespace brivane::sp
