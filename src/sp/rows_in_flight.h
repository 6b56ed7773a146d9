#pragma once
// RowsInFlight: the rows a claiming instance handed to the SP client whose
// first segment is not written yet. The worker that writes that segment
// stores the row's hand-over mark, so a row queued and never written stays
// claimed (another instance sends it once the lease has passed) instead of
// being recorded as handed over, and a row goes out twice only when its
// instance died between the write and the mark. The MT pass skips the rows
// held here: they are this instance's own claims, which every pass claims
// again until they are marked.
//
// The process owns one (ProcessRowsInFlight): workers may still write rows
// of an MtPoller that an in-place restart has replaced.
// A row none of whose segments could be written because its link was not
// logged in (a stop, a lost link) goes back to the table instead of being
// recorded as not sent: any instance may send it.
//
// Thread-safe: one mutex guards the sets and the instance, held for memory work only (the MT
// thread adds and reads, worker threads remove).

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

#include "cmpp/pdu.h"
#include "db/connections.h"
#include "sp/kept_out_rows.h"

namespace brivane::sp {

class RowsInFlight {
 public:
  RowsInFlight() = default;
  RowsInFlight(const RowsInFlight&) = delete;
  RowsInFlight& operator=(const RowsInFlight&) = delete;

  void Add(std::uint64_t id);
  // Lets the row go; true when it was held. Only the first write (or
  // failure) of a row after its Add sees true, so its mark is stored once.
  bool Remove(std::uint64_t id);
  bool Contains(std::uint64_t id) const;
  std::size_t Size() const;

  // The instance id the rows are claimed for (UTF-8); set by the MT poller.
  void SetInstance(std::string instance);
  std::string Instance() const;

  // A long row given back after its first segment failed: its later
  // segments fail too and must not record an outcome for it. GivenBack
  // answers true for it; GivenBack(id, true) at its last segment lets it go.
  void NoteGivenBack(std::uint64_t id);
  bool GivenBack(std::uint64_t id, bool lastSegment);

 private:
  mutable std::mutex mutex_;
  std::unordered_set<std::uint64_t> ids_;
  std::unordered_set<std::uint64_t> givenBack_;
  std::string instance_;
};

// The process's set, shared by every MtPoller and SP client it builds.
RowsInFlight& ProcessRowsInFlight();

// A worker thread, right after writing a segment: when the segment's row is
// held in `inFlight` (its first write), lets it go and stores its hand-over
// mark on DBConnectionMT; a mark the database refuses keeps the row in
// `keptOut`. `gateway` may be null (no database: the row is kept out).
// True when a mark was due.
bool MarkWritten(db::DbGateway* gateway, const cmpp::CmppSubmit& segment, RowsInFlight& inFlight,
                 KeptOutRows& keptOut);

// A worker thread, after a segment's write failed: gives back (on
// DBConnectionMT) a row held in `inFlight` whose first segment failed for
// want of a logged-in link. True when the row went back, and for the later
// segments of such a row: no outcome is to be recorded for it then.
bool GiveBackUnwritten(db::DbGateway* gateway, const cmpp::CmppSubmit& segment,
                       RowsInFlight& inFlight);

}  // namespace brivane::sp
