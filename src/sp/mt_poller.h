#pragma once
// The MT pass: reads a bounded batch of waiting `Submit` rows over
// DBConnection, turns each into a CmppSubmit, hands it to the SP client,
// marks the row as handed over with UpdateSubmit (claiming: the worker that
// writes the row's first segment marks it, see RowsInFlight) and paces the
// segments to about MTSpeedLimit per second. Runs only on the MT thread, one pass at a
// time; holds DBConnection's lock while it works on the rows, never while it
// sleeps.
//
// Pacing works in one-second windows: a window opens when the pass starts
// and again after each pause; the pause that ends a window (after
// MTSpeedLimit segments, or at the end of the pass) lasts what is left of
// its nominal length (1000 ms, or segments * 1000 / MTSpeedLimit + 1 ms at
// the end of a pass that paused) once the time spent sending in the window
// is taken off. So the rate stays near MTSpeedLimit even where sending a
// window's segments takes a good part of the second; a window that took
// longer than its length is not followed by a pause.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "cmpp/pdu.h"
#include "db/connections.h"
#include "db/procedures.h"
#include "sp/kept_out_rows.h"
#include "sp/rows_in_flight.h"

namespace brivane::sp {

// What an instance that claims its rows did, for the dashboard and
// /metrics. Written by the MT thread, read by the pages.
struct ClaimCounters {
  std::atomic<std::uint64_t> claimed{0};     // rows claimed (a row in flight once)
  std::atomic<std::uint64_t> handedOver{0};  // claimed rows handed to the SP client
  std::atomic<std::uint64_t> givenBack{0};   // claimed rows given back unsent
  std::atomic<std::uint64_t> recovered{0};   // abandoned rows recorded as unanswered
};

struct MtPollerSettings {
  std::string submitQuery;  // the polling query built from DBType and MTSpeedLimit
  // When set, a pass reads the waiting rows a chunk at a time instead of
  // running submitQuery: the query for at most `rows` waiting rows above
  // afterId (null: from the first) in SubmitID order. A driver that buffers
  // a whole result set then holds one chunk, not MTSpeedLimit rows. Unset
  // for an operator's own SubmitQuery, which cannot be rewritten.
  std::function<std::string(const std::optional<std::int64_t>& afterId, std::int32_t rows)>
      chunkQuery;
  std::int32_t passRows = 20;    // the rows a chunked pass reads at most
  std::int32_t chunkRows = 256;  // the rows of one chunk
  // Claiming mode (several instances on one table): each pass claims its
  // rows for instanceId through the claiming procedure instead of running
  // submitQuery, gives back what it did not hand over, and records the
  // no-answer outcome of rows handed over more than abandonedAfter ago.
  bool claimRows = false;
  std::string instanceId;  // UTF-8
  std::chrono::seconds claimLease{60};
  std::chrono::seconds abandonedAfter{660};  // SubmitRespTimeout + claimLease
  ClaimCounters* claimCounters = nullptr;    // may be null
  std::int32_t mtSpeedLimit = 20;
  std::string spCorpId;                 // goes to Msg_src (6 bytes)
  std::string spId;                     // Src_Id when the row has none (21 bytes)
  std::uint32_t terminalIdLength = 32;  // 21 for CMPP 2.0, 32 for 3.0
};

class MtPoller {
 public:
  // Hands a record to the SP client; 0 when queued. After the call the
  // record's Pk_total holds the number of segments.
  using SubmitFn = std::function<int(cmpp::CmppSubmit&)>;
  // Pauses the pass; the default waits on the stop flag so a stop does not
  // sit out a second-long pause.
  using SleepFn = std::function<void(std::chrono::milliseconds)>;
  // The time the windows are measured in. The default is the steady clock;
  // with a SleepFn given and no ClockFn, time advances only by the pauses
  // (so a test sees every pause at its nominal length).
  using ClockFn = std::function<std::chrono::steady_clock::time_point()>;

  // keptOut: the rows whose hand-over mark is still to be stored; inFlight:
  // the claimed rows handed over and not written yet (their writer marks
  // them). Null means the process's sets, which outlive this poller across
  // an in-place restart.
  MtPoller(db::DbGateway& gateway, MtPollerSettings settings, SubmitFn submit,
           std::atomic<std::int32_t>& stopMT, std::atomic<std::int32_t>& passIdle,
           SleepFn sleep = {}, ClockFn clock = {}, KeptOutRows* keptOut = nullptr,
           RowsInFlight* inFlight = nullptr);

  // One pass. False when the pass ended in an error.
  bool SendMTMsg();

  // Wakes a pause early; call after setting stopMT.
  void WakeUp();

 private:
  // What one pass carries from step to step.
  struct Pass {
    std::int32_t segments = 0;  // sent in the current window
    bool paused = false;
    std::chrono::steady_clock::time_point windowStart;
    std::chrono::steady_clock::time_point claimedAt;
    std::unique_ptr<cmpp::CmppSubmit> record;
    // The marks of the rows sent, stored together (one transaction per
    // batch) every markBatch rows, before a pause and at the end of the
    // pass. A mark that fails keeps its row out of later passes. A
    // claiming instance has none here: the writer of each row marks it.
    std::vector<db::SubmitMark> marks;
    std::size_t markBatch = 1;
    // Claiming: the rows this pass claimed and has not handed over yet.
    std::vector<std::uint64_t> claimedLeft;
    // Chunked reading: the rows of the pass read so far, the size asked of
    // the current chunk, the rows read of it, and the highest SubmitID read.
    bool chunked = false;
    std::int32_t passRead = 0, chunkAsked = 0, chunkRead = 0;
    std::optional<std::int64_t> lastId, chunkStartId;
  };
  // The steps of a pass. RunPass holds DBConnection's lock except while it
  // pauses, and answers false when the pass ended in an error.
  bool RunPass(Pass& pass);
  // Claims the pass's rows, reads the first chunk or runs the polling query.
  db::Recordset ReadRows(db::Connection& connection, Pass& pass);
  // The next chunk of a chunked pass (closed when the pass has read its rows).
  void ReadChunk(db::Connection& connection, db::Recordset& rs, Pass& pass);
  // Moves to the next row, reading the next chunk when one ends full.
  void MoveNext(db::Connection& connection, db::Recordset& rs, Pass& pass);
  // True for a row not to be sent now: its mark is still to be stored, or
  // (claiming) it is on its way to the SMG.
  bool SkipRow(const db::Recordset& rs, Pass& pass);
  void SendRow(const db::Recordset& rs, bool hasLinkId, Pass& pass);
  void StoreMarks(Pass& pass);

  // Fills the record from the current row; throws db::DbException on a
  // database error while reading.
  void BuildRecord(const db::Recordset& rs, bool hasLinkId, cmpp::CmppSubmit& record);
  void Pause(std::chrono::milliseconds duration);
  std::chrono::steady_clock::time_point Now() const;
  // Ends the window opened at windowStart: pauses what is left of nominal,
  // then opens the next window.
  void EndWindow(std::chrono::milliseconds nominal,
                 std::chrono::steady_clock::time_point& windowStart);

  db::DbGateway& gateway_;
  MtPollerSettings settings_;
  SubmitFn submit_;
  std::atomic<std::int32_t>& stopMT_;
  std::atomic<std::int32_t>& passIdle_;
  SleepFn sleep_;
  ClockFn clock_;
  // The time of the default test clock: advanced by the pauses only.
  std::chrono::steady_clock::time_point sleptTime_{};
  // Rows handed to the client whose UpdateSubmit failed: skipped by every
  // pass, their mark stored again at the start of each pass.
  KeptOutRows& keptOut_;
  RowsInFlight& inFlight_;
  void MarkAgain();
  // Claiming mode: records the no-answer outcome of rows another instance
  // (or an earlier life of this one) handed over and never answered; runs
  // at most every kAbandonedCheckInterval.
  void RecoverAbandoned();
  // Claiming mode: gives back the claimed rows this pass did not hand over.
  void GiveBack(const std::vector<std::uint64_t>& ids);
  std::optional<std::chrono::steady_clock::time_point> lastAbandonedCheck_;
  ClaimCounters ownCounters_;
  ClaimCounters& counters_;
  base::Mutex wakeMutex_;
  base::CondVar wake_;
};

// Field readers of the row; each answers false when the value could not be
// read as asked. GetFieldBool answers false, with value false, for anything
// but NULL or a boolean.
bool GetFieldInt64(const db::Recordset& rs, std::string_view column, std::int64_t& value);
bool GetFieldBool(const db::Recordset& rs, std::string_view column, bool& value);

}  // namespace brivane::sp
