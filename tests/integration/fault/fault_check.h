#pragma once
// What every fault test checks once its fault is over and its traffic has
// settled, on top of an E2eSystem:
//  - every Submit row inserted is in SubmitLog exactly once with an outcome,
//    or still waiting in Submit with SubmitState 0; none is left handed
//    over (state 1) without an outcome;
//  - every MO message the simulator sent and got a DELIVER_RESP with
//    Result 0 for is in Deliver exactly once, and nothing else is there;
//  - the service still passes traffic: fresh rows go out and a fresh MO
//    message is stored within a deadline.
// MO messages are matched by Msg_Id from the simulator's "mo … sent" and
// "mo … acked" log lines; its log is appended across its restarts, so the
// count stays exact when the simulator is killed.
//
// Threads: the test thread only.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/e2e_fixture.h"
#include "support/mariadb_server.h"

namespace brivane::test {

// Starts a MariaDB server of the test's own, which the test may stop, kill
// and restart, and points the options at it. False with the reason.
bool UseOwnMariaDb(MariaDbServer& server, E2eOptions& options, std::string* error);

// The MO messages of the simulator's log, across its restarts.
struct SmgMoLog {
  // Msg_Id text → how many DELIVERs with it were written (1 unless two
  // simulator runs drew the same id).
  std::map<std::string, int> sent;
  // Msg_Id texts whose DELIVER_RESP came with Result 0.
  std::vector<std::string> acked;
  long long refused = 0;  // DELIVER_RESPs with another Result
};

// Parses "mo conn=C seq=S sent msg_id=M" and "mo conn=C seq=S acked
// result=R" lines; an answer belongs to the latest DELIVER with its
// connection and sequence number written before it.
SmgMoLog ReadSmgMoLog(const std::string& logText);

struct FaultNumbers {
  long long rows = 0, ok = 0, failed = 0, waiting = 0;
  long long moSent = 0, moAcked = 0, moStored = 0;
  long long recoverMs = -1;
};

// One fault test's traffic and its accounting.
class FaultRun {
 public:
  explicit FaultRun(E2eSystem& sys) : sys_(sys) {}

  // Inserts n single-segment rows, their texts tagged; counted.
  void InsertRows(int n, const std::string& tag);
  long long RowsInserted() const { return rows_; }
  // Rows recorded in SubmitLog so far (distinct SubmitIDs).
  long long RowsLogged();
  // MO messages acknowledged so far, by the simulator's log.
  long long MoAcked() const;

  // Starts the simulator's paced MO load; each text is unique.
  bool StartMoLoad(int perSecond, int count);
  // Ends the MO load before the count is reached; Check needs the load
  // over, so that nothing is written between its reading the simulator's
  // log and the database.
  void StopMoLoad();

  // Inserts a few rows and sends one MO message (once a link is logged in)
  // and waits until the rows are recorded with outcome 0 and the message
  // is stored: the service passes traffic again. The time this took, or -1
  // (with a test failure) past the deadline. Rows still waiting before
  // these go out first, so the time includes any backlog.
  long long ExpectServing(const std::string& tag, std::chrono::milliseconds deadline);

  // Waits (bounded) until every row is recorded and every acknowledged MO
  // message is stored; false at the deadline, after which Check still
  // tells what is missing.
  bool WaitSettled(std::chrono::milliseconds deadline);

  // The invariant. Adds test failures; returns the numbers.
  FaultNumbers Check();

  // One "FAULT-RESULT name: …" line on stdout, and the numbers as test
  // properties.
  static void Report(const std::string& name, const FaultNumbers& numbers);

 private:
  E2eSystem& sys_;
  long long rows_ = 0;
  int probes_ = 0;
};

}  // namespace brivane::test
