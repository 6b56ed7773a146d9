#include "sp/mt_poller.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/log.h"
#include "base/text.h"
#include "cmpp/result_codes.h"
#include "db/claims.h"
#include "db/procedures.h"
#include "sp/mt_content.h"
#include "sp/rows_in_flight.h"

namespace brivane::sp {
namespace {

constexpr std::size_t kPushTextMax = 259;
// How often a claiming instance looks for abandoned rows, and how many it
// takes at a time.
constexpr std::chrono::seconds kAbandonedCheckInterval{5};
constexpr std::int32_t kAbandonedBatch = 200;

// Copies at most `width` bytes of a GBK text into a zero-filled field one
// byte wider. True when the text was longer than the field.
bool CopyField(char* field, std::size_t width, std::string_view text) {
  std::size_t n = std::min(width, text.size());
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
  return text.size() > width;
}

std::string ReadText(const db::Recordset& rs, std::string_view column) {
  return rs.IsNull(column) ? std::string() : rs.GetText(column);
}

// ReadText that clears `lossless` when the value held characters GBK lacks
// (they become '?').
std::string ReadGbkText(const db::Recordset& rs, std::string_view column, bool& lossless) {
  if (rs.IsNull(column)) return {};
  bool ok = true;
  std::string text = base::Utf16ToGbk(rs.GetTextUtf16(column), &ok);
  lossless = lossless && ok;
  return text;
}

bool StartsWithSelect(std::string_view query) {
  static constexpr std::string_view kSelect = "select ";
  if (query.size() < kSelect.size()) return false;
  for (std::size_t i = 0; i < kSelect.size(); ++i) {
    char c = query[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kSelect[i]) return false;
  }
  return true;
}

// Removes one id from the list (ids are few: one pass's rows).
void Forget(std::vector<std::uint64_t>& ids, std::uint64_t id) {
  auto it = std::find(ids.begin(), ids.end(), id);
  if (it != ids.end()) ids.erase(it);
}

}  // namespace

namespace {

// Runs a field read; a database error is logged, and any failure answers
// false instead of ending the pass.
template <typename Read>
bool ReadFieldSafely(Read read) {
  try {
    return read();
  } catch (const db::DbException& e) {
    db::LogComError(e.Error());
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool GetFieldInt64(const db::Recordset& rs, std::string_view column, std::int64_t& value) {
  return ReadFieldSafely([&] {
    value = rs.GetInt64(column);
    return true;
  });
}

bool GetFieldBool(const db::Recordset& rs, std::string_view column, bool& value) {
  value = false;
  return ReadFieldSafely([&] {
    db::FieldKind kind = rs.Kind(column);
    if (kind == db::FieldKind::kNull) return true;
    if (kind != db::FieldKind::kBool) return false;
    value = rs.GetBool(column);
    return true;
  });
}

MtPoller::MtPoller(db::DbGateway& gateway, MtPollerSettings settings, SubmitFn submit,
                   std::atomic<std::int32_t>& stopMT, std::atomic<std::int32_t>& passIdle,
                   SleepFn sleep, ClockFn clock, KeptOutRows* keptOut, RowsInFlight* inFlight)
    : gateway_(gateway),
      settings_(std::move(settings)),
      submit_(std::move(submit)),
      stopMT_(stopMT),
      passIdle_(passIdle),
      sleep_(std::move(sleep)),
      clock_(std::move(clock)),
      keptOut_(keptOut ? *keptOut : ProcessKeptOutRows()),
      inFlight_(inFlight ? *inFlight : ProcessRowsInFlight()),
      counters_(settings_.claimCounters ? *settings_.claimCounters : ownCounters_) {
  if (settings_.claimRows) inFlight_.SetInstance(settings_.instanceId);
}

std::chrono::steady_clock::time_point MtPoller::Now() const {
  if (clock_) return clock_();
  if (sleep_) return sleptTime_;
  return std::chrono::steady_clock::now();
}

void MtPoller::EndWindow(std::chrono::milliseconds nominal,
                         std::chrono::steady_clock::time_point& windowStart) {
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Now() - windowStart);
  if (spent < nominal) Pause(nominal - spent);
  windowStart = Now();
}

void MtPoller::WakeUp() {
  base::MutexLock lock(wakeMutex_);
  wake_.notify_all();
}

void MtPoller::Pause(std::chrono::milliseconds duration) {
  if (sleep_) {
    sleep_(duration);
    sleptTime_ += duration;
    return;
  }
  base::UniqueLock lock(wakeMutex_);
  wake_.wait_for(lock, duration, [this] { return stopMT_.load(); });
}

void MtPoller::BuildRecord(const db::Recordset& rs, bool hasLinkId, cmpp::CmppSubmit& r) {
  std::memset(&r, 0, sizeof r);
  r.Pk_total = 1;
  r.Pk_number = 1;
  r.Registered_Delivery = 1;
  r.Msg_level = 3;
  r.DestUsr_tl = 1;

  std::int64_t id = 0;
  GetFieldInt64(rs, "SubmitID", id);
  r.recordId = static_cast<std::uint64_t>(id);
  CopyField(r.Service_Id, 10, ReadText(rs, "ServiceId"));
  CopyField(r.Msg_src, 6, settings_.spCorpId);
  CopyField(r.FeeType, 2, ReadText(rs, "FeeType"));
  CopyField(r.FeeCode, 6, ReadText(rs, "FeeCode"));
  std::string srcId = ReadText(rs, "SrcId");
  CopyField(r.Src_Id, 21, srcId.empty() ? settings_.spId : srcId);

  std::string mobile = ReadText(rs, "Mobile");
  // Sent all the same (the SMG answers with its own error, which is
  // recorded), but the operator should see where the row came from.
  if (mobile.empty()) base::LogF(2, "WARNING|SendMTMsg|SubmitID={}|Mobile is empty;", r.recordId);
  std::size_t width = settings_.terminalIdLength <= 21 ? 21 : 32;
  if (CopyField(r.Dest_terminal_Id, width, mobile))
    base::LogF(2, "WARNING|SendMTMsg|SubmitID={}|Mobile longer than {} bytes, cut;", r.recordId,
               width);
  CopyField(r.Fee_terminal_Id, width, mobile);

  bool wapPush = false;
  GetFieldBool(rs, "ISWappush", wapPush);
  if (wapPush) {
    bool lossless = true;
    std::string url = ReadGbkText(rs, "PushURL", lossless);
    std::string text = ReadGbkText(rs, "Msg", lossless);
    // A '?' in place of a character changes where the address leads: say so.
    if (!lossless)
      base::LogF(2,
                 "WARNING|SendMTMsg|SubmitID={}|WAP Push address or text holds characters GBK "
                 "lacks, sent as '?';",
                 r.recordId);
    if (url.size() > kPushTextMax || text.size() > kPushTextMax)
      base::LogF(
          2, "WARNING|SendMTMsg|SubmitID={}|WAP Push address or text longer than {} bytes, cut;",
          r.recordId, kPushTextMax);
    url.resize(std::min(url.size(), kPushTextMax));
    text.resize(std::min(text.size(), kPushTextMax));
    std::vector<std::uint8_t> body = BuildWapPush(url, text);
    MtContent content;
    content.Msg_Fmt = 4;
    content.bytes = std::move(body);
    FillContent(r, content);
    r.TP_udhi = 1;
  } else {
    MtContent content;
    bool ok = true;
    try {
      db::FieldKind kind = rs.Kind("Msg");
      if (kind == db::FieldKind::kText) {
        content = EncodeMtText(rs.GetTextUtf16("Msg"));
      } else if (kind != db::FieldKind::kNull) {
        ok = false;
      }
    } catch (const db::DbException&) {
      ok = false;
    }
    if (!ok)
      base::LogF(2, "WARNING|SendMTMsg|SubmitID={}|Msg is not text, sent empty;", r.recordId);
    if (content.cut)
      base::LogF(2, "WARNING|SendMTMsg|SubmitID={}|Msg too long, cut to {} bytes;", r.recordId,
                 content.bytes.size());
    FillContent(r, content);
  }
  if (hasLinkId) CopyField(r.LinkID, 20, ReadText(rs, "LinkId"));
}

void MtPoller::MarkAgain() {
  for (const KeptOutRows::Mark& mark : keptOut_.Marks()) {
    // A row whose outcome was recorded meanwhile has left `Submit`; the
    // shipped procedures then mark its log rows instead.
    if (!db::UpdateSubmit(gateway_, mark.id, mark.msgFmt, mark.smsCount)) return;
    keptOut_.Remove(mark.id);
    base::LogF(2, "INFO|SendMTMsg|SubmitID={}|hand-over mark stored, row no longer kept out;",
               mark.id);
  }
}

void MtPoller::RecoverAbandoned() {
  const auto now = Now();
  if (lastAbandonedCheck_ && now - *lastAbandonedCheck_ < kAbandonedCheckInterval) return;
  lastAbandonedCheck_ = now;
  std::vector<std::int64_t> ids;
  const auto after = static_cast<std::int32_t>(settings_.abandonedAfter.count());
  if (!db::TakeAbandonedSubmits(gateway_, settings_.instanceId, kAbandonedBatch, after, &ids))
    return;
  for (std::int64_t id : ids) {
    base::LogF(2,
               "ERROR|SubmitResp timeout|SubmitID={}|handed over {} s ago or more by an instance "
               "that never recorded its outcome;",
               id, after);
    // A failed call leaves the row for a later check (this instance's or
    // another's) once the interval has passed again.
    if (db::DelSubmit(gateway_, static_cast<std::uint64_t>(id), "",
                      static_cast<std::uint32_t>(cmpp::kOutcomeNoResponse)))
      ++counters_.recovered;
  }
}

void MtPoller::GiveBack(const std::vector<std::uint64_t>& ids) {
  for (std::uint64_t id : ids) {
    // Left claimed, a row comes back to this instance at its next pass or
    // to any instance once the lease has passed.
    if (!db::ReleaseSubmitRow(gateway_, settings_.instanceId, id)) return;
    ++counters_.givenBack;
  }
}

bool MtPoller::SendMTMsg() {
  passIdle_ = false;
  if (stopMT_) {
    passIdle_ = true;
    return true;
  }
  Pass pass;
  pass.windowStart = Now();
  // A CmppSubmit is about 11.5 KB: keep it off the MT thread's small stack.
  pass.record = std::make_unique<cmpp::CmppSubmit>();
  pass.markBatch = std::max<std::size_t>(1, gateway_.Settings().commitBatch.maxCalls);

  // SQLite cannot return rows from a procedure, so it has no claiming
  // procedure: such an instance takes no rows (its start-up log says so)
  // rather than fail every pass.
  const bool claimImpossible =
      settings_.claimRows &&
      db::SyntaxForDbType(gateway_.Settings().dbType) == db::ProcedureSyntax::kInsertIntoView;
  bool result = true;
  if (!claimImpossible &&
      (gateway_.OpenFlag(db::DbLink::kMain) || gateway_.OpenConnection(db::DbLink::kMain))) {
    MarkAgain();
    if (settings_.claimRows) RecoverAbandoned();
    result = RunPass(pass);
  }
  if (!pass.claimedLeft.empty()) GiveBack(pass.claimedLeft);

  const std::int32_t limit = settings_.mtSpeedLimit;
  if (!pass.paused) {
    EndWindow(std::chrono::milliseconds(1000), pass.windowStart);
  } else if (pass.segments > 0 && limit > 0) {
    EndWindow(std::chrono::milliseconds(pass.segments * 1000 / limit + 1), pass.windowStart);
  }
  gateway_.PublishOpenFlag(db::DbLink::kMain);
  passIdle_ = true;
  return result;
}

bool MtPoller::RunPass(Pass& pass) {
  std::unique_lock lock(gateway_.Lock(db::DbLink::kMain));
  db::Connection& connection = gateway_.DBConnection();
  bool result = true;
  try {
    db::Recordset rs = ReadRows(connection, pass);
    if (rs.RecordCount() > 0) rs.MoveFirst();
    const bool hasLinkId = rs.HasField("LinkID");
    while (!rs.Eof() && !stopMT_) {
      if (!SkipRow(rs, pass)) {
        // A row sent now whose mark then failed could not be kept out.
        if (keptOut_.Size() + pass.marks.size() >= keptOut_.Capacity()) StoreMarks(pass);
        if (keptOut_.Full()) {
          base::LogF(2,
                     "ERROR|SendMTMsg|{} rows wait for their hand-over mark: no row is sent "
                     "until the database takes it;",
                     keptOut_.Size());
          break;
        }
        // Past half the lease another instance may soon claim these rows
        // again; what is left goes back instead of out.
        if (settings_.claimRows && Now() - pass.claimedAt > settings_.claimLease / 2) break;
        // At most one pass's rows on their way to the SMG: a stop writes or
        // gives back all of them within its wait, and none sits queued
        // until its claim expires. The rest goes back for the next pass.
        if (settings_.claimRows &&
            inFlight_.Size() >= static_cast<std::size_t>(std::max(1, settings_.mtSpeedLimit)))
          break;
        SendRow(rs, hasLinkId, pass);
        if (pass.segments >= settings_.mtSpeedLimit) {
          pass.segments = 0;
          pass.paused = true;
          StoreMarks(pass);
          lock.unlock();
          EndWindow(std::chrono::milliseconds(1000), pass.windowStart);
          lock.lock();
        }
      }
      MoveNext(connection, rs, pass);
    }
    rs.Close();
  } catch (const db::DbException& e) {
    db::LogProviderErrors(connection);
    db::LogComError(e.Error());
    result = false;
    base::LogWrite(2, "DB Connection,Reconnect...");
    gateway_.OpenConnection(db::DbLink::kMain);
  } catch (const std::exception&) {
    base::LogF(2, "EXCEPTION|BRIVANE::SendMTMsg|ERR={}", static_cast<unsigned>(errno));
    result = false;
  }
  // The rows sent before a failure are handed over whatever the pass met.
  StoreMarks(pass);
  return result;
}

db::Recordset MtPoller::ReadRows(db::Connection& connection, Pass& pass) {
  pass.claimedAt = Now();
  pass.chunked = settings_.chunkQuery && !settings_.claimRows;
  if (pass.chunked) {
    db::Recordset rs;
    ReadChunk(connection, rs, pass);
    return rs;
  }
  if (!settings_.claimRows) {
    // Read as the pass goes, so memory does not grow with MTSpeedLimit;
    // the marks and give-backs run on this connection meanwhile.
    return connection.ExecuteForward(settings_.submitQuery, StartsWithSelect(settings_.submitQuery)
                                                                ? db::CommandType::kText
                                                                : db::CommandType::kStoredProc);
  }
  db::Recordset rs = db::ClaimSubmitRows(connection, settings_.instanceId, settings_.mtSpeedLimit,
                                         static_cast<std::int32_t>(settings_.claimLease.count()));
  if (rs.RecordCount() > 0) rs.MoveFirst();
  std::uint64_t fresh = 0;
  for (; !rs.Eof(); rs.MoveNext()) {
    std::int64_t value = 0;
    if (!GetFieldInt64(rs, "SubmitID", value)) continue;
    const auto id = static_cast<std::uint64_t>(value);
    pass.claimedLeft.push_back(id);
    // A row on its way to the SMG is claimed again by every pass until it
    // is marked; the counter counts it once.
    if (!inFlight_.Contains(id) && !keptOut_.Contains(id)) ++fresh;
  }
  counters_.claimed += fresh;
  return rs;
}

void MtPoller::ReadChunk(db::Connection& connection, db::Recordset& rs, Pass& pass) {
  pass.chunkAsked = std::min(settings_.chunkRows, settings_.passRows - pass.passRead);
  pass.chunkRead = 0;
  pass.chunkStartId = pass.lastId;
  if (pass.chunkAsked <= 0) {
    rs.Close();
    return;
  }
  rs = connection.ExecuteForward(settings_.chunkQuery(pass.lastId, pass.chunkAsked));
  if (rs.RecordCount() > 0) rs.MoveFirst();
}

void MtPoller::MoveNext(db::Connection& connection, db::Recordset& rs, Pass& pass) {
  if (!pass.chunked) {
    rs.MoveNext();
    return;
  }
  std::int64_t id = 0;
  if (GetFieldInt64(rs, "SubmitID", id)) pass.lastId = std::max(id, pass.lastId.value_or(id));
  rs.MoveNext();
  ++pass.passRead;
  ++pass.chunkRead;
  // A short chunk held the last waiting rows; a chunk whose ids could not
  // be read would only come back again.
  if (rs.Eof() && pass.chunkRead == pass.chunkAsked && pass.lastId != pass.chunkStartId)
    ReadChunk(connection, rs, pass);
}

bool MtPoller::SkipRow(const db::Recordset& rs, Pass& pass) {
  if (keptOut_.Size() == 0 && !(settings_.claimRows && inFlight_.Size() > 0)) return false;
  std::int64_t value = 0;
  if (!GetFieldInt64(rs, "SubmitID", value)) return false;
  const auto id = static_cast<std::uint64_t>(value);
  // Sent already, its mark still to be stored; or (claiming) handed to the
  // client and not written yet. Neither is given back.
  if (!keptOut_.Contains(id) && !(settings_.claimRows && inFlight_.Contains(id))) return false;
  Forget(pass.claimedLeft, id);
  return true;
}

void MtPoller::SendRow(const db::Recordset& rs, bool hasLinkId, Pass& pass) {
  cmpp::CmppSubmit& record = *pass.record;
  BuildRecord(rs, hasLinkId, record);
  // Claiming: the worker that writes the row's first segment marks it (in
  // the set before the hand-over, as the write may come first).
  if (settings_.claimRows) inFlight_.Add(record.recordId);
  const int rc = submit_(record);
  if (rc != 0 && settings_.claimRows) inFlight_.Remove(record.recordId);
  if (rc == 0 && settings_.claimRows) {
    Forget(pass.claimedLeft, record.recordId);
    ++counters_.handedOver;
  }
  if (rc == 0) {
    if (!settings_.claimRows) {
      pass.marks.push_back(db::SubmitMark{record.recordId, record.Msg_Fmt, record.Pk_total});
      if (pass.marks.size() >= pass.markBatch) StoreMarks(pass);
    }
    if (base::LogEnabled(3))
      base::LogWrite(3, fmt::format("MT消息|{}|{}|{}|{}", record.recordId,
                                    base::GbkToUtf8(record.Dest_terminal_Id),
                                    base::GbkToUtf8(record.Service_Id), record.Pk_total));
  }
  pass.segments += record.Pk_total;
}

void MtPoller::StoreMarks(Pass& pass) {
  if (pass.marks.empty()) return;
  const std::vector<bool> stored = db::UpdateSubmits(gateway_, pass.marks);
  for (std::size_t i = 0; i < pass.marks.size(); ++i) {
    if (stored[i]) continue;
    const db::SubmitMark& mark = pass.marks[i];
    base::LogF(2,
               "ERROR|SendMTMsg|SubmitID={}|sent, but UpdateSubmit failed: kept out of "
               "later passes until its mark is stored;",
               mark.id);
    keptOut_.Add(KeptOutRows::Mark{mark.id, mark.msgFmt, mark.smsCount});
  }
  pass.marks.clear();
}

}  // namespace brivane::sp
