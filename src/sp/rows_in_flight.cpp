#include "sp/rows_in_flight.h"

#include "base/log.h"
#include "cmpp/result_codes.h"
#include "db/claims.h"
#include "db/procedures.h"

namespace brivane::sp {

void RowsInFlight::Add(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  ids_.insert(id);
}

bool RowsInFlight::Remove(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  return ids_.erase(id) != 0;
}

bool RowsInFlight::Contains(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  return ids_.count(id) != 0;
}

std::size_t RowsInFlight::Size() const {
  std::lock_guard lock(mutex_);
  return ids_.size();
}

void RowsInFlight::SetInstance(std::string instance) {
  std::lock_guard lock(mutex_);
  instance_ = std::move(instance);
}

std::string RowsInFlight::Instance() const {
  std::lock_guard lock(mutex_);
  return instance_;
}

void RowsInFlight::NoteGivenBack(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  givenBack_.insert(id);
}

bool RowsInFlight::GivenBack(std::uint64_t id, bool lastSegment) {
  std::lock_guard lock(mutex_);
  if (givenBack_.count(id) == 0) return false;
  if (lastSegment) givenBack_.erase(id);
  return true;
}

RowsInFlight& ProcessRowsInFlight() {
  static RowsInFlight rows;
  return rows;
}

bool MarkWritten(db::DbGateway* gateway, const cmpp::CmppSubmit& segment, RowsInFlight& inFlight,
                 KeptOutRows& keptOut) {
  if (!inFlight.Remove(segment.recordId)) return false;
  const db::SubmitMark mark{segment.recordId, segment.Msg_Fmt, segment.Pk_total};
  if (gateway && db::UpdateSubmitWritten(*gateway, mark)) return true;
  // Left claimed and unmarked, the row would be claimed and sent again by
  // this instance's next pass: keep it out until its mark is stored.
  const bool kept = keptOut.Add(KeptOutRows::Mark{mark.id, mark.msgFmt, mark.smsCount});
  base::LogF(2, "ERROR|SendMTMsg|SubmitID={}|sent, but UpdateSubmit failed: {};", mark.id,
             kept ? "kept out of later passes until its mark is stored"
                  : "too many rows kept out, it may be sent again");
  return true;
}

bool GiveBackUnwritten(db::DbGateway* gateway, const cmpp::CmppSubmit& segment,
                       RowsInFlight& inFlight) {
  if (segment.Pk_number > 1)
    return inFlight.GivenBack(segment.recordId, segment.Pk_number >= segment.Pk_total);
  // Written already (a flow-control rewrite), or not a claimed row.
  if (!inFlight.Remove(segment.recordId)) return false;
  if (segment.lastError != cmpp::kErrNotLoggedIn || !gateway) return false;
  if (!db::ReleaseSubmitRow(*gateway, inFlight.Instance(),
                            static_cast<std::int64_t>(segment.recordId), db::DbLink::kMT))
    return false;
  if (segment.Pk_total > 1) inFlight.NoteGivenBack(segment.recordId);
  base::LogF(2, "INFO|SendMTMsg|SubmitID={}|not written (no logged-in link), given back;",
             segment.recordId);
  return true;
}

}  // namespace brivane::sp
