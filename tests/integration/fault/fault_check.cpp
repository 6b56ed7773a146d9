#include "fault_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <set>
#include <sstream>

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kClockWidth = 13;  // "hh:mm:ss.uuu "

std::map<std::string, int> StoredMo(E2eSystem& sys) {
  std::map<std::string, int> stored;
  for (const DbRow& row : sys.Query("SELECT MsgId FROM Deliver")) ++stored[row.Text("MsgId")];
  return stored;
}

std::string FirstFew(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size() && i < 10; ++i) text += (i ? ", " : "") + items[i];
  if (items.size() > 10) text += ", …";
  return text;
}

}  // namespace

SmgMoLog ReadSmgMoLog(const std::string& logText) {
  SmgMoLog log;
  // (conn, seq) → Msg_Id of the latest DELIVER written with them.
  std::map<std::pair<unsigned, unsigned>, std::string> open;
  std::istringstream in(logText);
  for (std::string line; std::getline(in, line);) {
    if (line.size() <= kClockWidth || line.compare(kClockWidth, 3, "mo ") != 0) continue;
    const char* rest = line.c_str() + kClockWidth;
    unsigned conn = 0, seq = 0, result = 0;
    char msgId[32] = {};
    if (std::sscanf(rest, "mo conn=%u seq=%u sent msg_id=%31s", &conn, &seq, msgId) == 3) {
      open[{conn, seq}] = msgId;
      ++log.sent[msgId];
    } else if (std::sscanf(rest, "mo conn=%u seq=%u acked result=%u", &conn, &seq, &result) == 3) {
      auto it = open.find({conn, seq});
      if (it == open.end()) {
        ADD_FAILURE() << "an MO answer without its DELIVER in the simulator's log: " << line;
        continue;
      }
      if (result == 0) {
        log.acked.push_back(it->second);
      } else {
        ++log.refused;
      }
      open.erase(it);
    }
  }
  return log;
}

void FaultRun::InsertRows(int n, const std::string& tag) {
  std::vector<MtRow> rows(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    MtRow& row = rows[static_cast<std::size_t>(i)];
    row.mobile = "1390000" + std::to_string(1000 + i % 9000);
    row.msg = tag + " " + std::to_string(i);
  }
  const auto ids = sys_.InsertSubmits(rows);
  EXPECT_EQ(ids.size(), rows.size()) << "rows of " << tag;
  rows_ += static_cast<long long>(ids.size());
}

long long FaultRun::RowsLogged() {
  return sys_.Scalar("SELECT COUNT(DISTINCT SubmitID) FROM SubmitLog");
}

long long FaultRun::MoAcked() const {
  return static_cast<long long>(ReadSmgMoLog(ReadFile(sys_.SmgLogPath())).acked.size());
}

bool FaultRun::StartMoLoad(int perSecond, int count) {
  const std::string reply =
      sys_.Smg().Command("mo-load " + std::to_string(perSecond) + " " + std::to_string(count) +
                         " 13911112222 10661234 stamp");
  EXPECT_EQ(reply, "OK");
  return reply == "OK";
}

void FaultRun::StopMoLoad() { EXPECT_EQ(sys_.Smg().Command("mo-load 0 0"), "OK"); }

long long FaultRun::ExpectServing(const std::string& tag, std::chrono::milliseconds deadline) {
  const auto start = std::chrono::steady_clock::now();
  const std::string rowTag = "probe " + tag + " " + std::to_string(++probes_);
  std::vector<MtRow> rows(5);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].mobile = "1370000000" + std::to_string(i);
    rows[i].msg = rowTag + " row " + std::to_string(i);
  }
  const auto ids = sys_.InsertSubmits(rows);
  rows_ += static_cast<long long>(ids.size());
  if (ids.size() != rows.size()) return -1;
  const std::string idList =
      "(" + std::to_string(ids.front()) + "," + std::to_string(ids.back()) + ")";
  const std::string inRange =
      " BETWEEN " + std::to_string(ids.front()) + " AND " + std::to_string(ids.back());

  // The simulator writes an MO message only on a logged-in link; until the
  // service has logged in again the command is refused and repeated.
  const std::string moText = rowTag + " mo";
  const std::string command = "mo 13922223333 10661234 0 " + Hex(moText);
  bool moSent = false, rowsOut = false, moStored = false;
  const bool served = WaitFor(
      [&] {
        if (!moSent) moSent = sys_.Smg().Command(command).rfind("OK", 0) == 0;
        rowsOut = rowsOut ||
                  sys_.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = 0 AND SubmitID" +
                              inRange) >= static_cast<long long>(ids.size());
        moStored = moStored || (moSent && sys_.Scalar("SELECT COUNT(*) FROM Deliver WHERE Msg = " +
                                                      sys_.Quote(moText)) >= 1);
        return rowsOut && moStored;
      },
      deadline, 100ms);
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  EXPECT_TRUE(served) << "the service passes no traffic after the fault: MO sent " << moSent
                      << ", rows " << idList << " recorded " << rowsOut << ", MO stored "
                      << moStored << "; pid " << sys_.BrivanePid() << " running "
                      << sys_.BrivaneRunning() << "; simulator: " << sys_.Smg().Command("stats")
                      << "\nlog tail:\n"
                      << LastBytes(sys_.Log(), 4000);
  return served ? ms : -1;
}

bool FaultRun::WaitSettled(std::chrono::milliseconds deadline) {
  return WaitFor(
      [&] {
        if (sys_.Scalar("SELECT COUNT(*) FROM Submit") != 0) return false;
        if (RowsLogged() < rows_) return false;
        const SmgMoLog mo = ReadSmgMoLog(ReadFile(sys_.SmgLogPath()));
        const auto stored = StoredMo(sys_);
        for (const std::string& id : mo.acked)
          if (stored.count(id) == 0) return false;
        return true;
      },
      deadline, 500ms);
}

FaultNumbers FaultRun::Check() {
  FaultNumbers n;
  n.rows = rows_;

  // Rows: recorded once, or waiting at state 0.
  const long long logged = RowsLogged();
  n.waiting = sys_.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitState = 0");
  n.ok = sys_.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = 0");
  n.failed = sys_.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult <> 0");
  EXPECT_EQ(logged + n.waiting, rows_) << "rows lost: " << rows_ << " inserted, " << logged
                                       << " recorded, " << n.waiting << " waiting";
  EXPECT_EQ(sys_.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitState <> 0"), 0)
      << "rows handed over and never given an outcome";
  EXPECT_EQ(
      sys_.Scalar("SELECT COUNT(*) FROM Submit s JOIN SubmitLog l ON l.SubmitID = s.SubmitID"), 0)
      << "rows both waiting and recorded";
  const long long records = sys_.Scalar("SELECT COUNT(*) FROM SubmitLog");
  EXPECT_EQ(records, logged) << "rows recorded twice";
  EXPECT_EQ(sys_.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult IS NULL"), 0)
      << "rows recorded without an outcome";

  // MO messages: every acknowledged one stored once; nothing stored twice
  // or that was never sent. One that was written but not acknowledged (the
  // link went down first) may or may not be stored: a gateway sends it
  // again, this simulator does not.
  const SmgMoLog mo = ReadSmgMoLog(ReadFile(sys_.SmgLogPath()));
  const auto stored = StoredMo(sys_);
  std::vector<std::string> missing, twice, unknown;
  std::set<std::string> acked;
  for (const std::string& id : mo.acked) {
    if (!acked.insert(id).second) continue;
    auto it = stored.find(id);
    if (it == stored.end()) missing.push_back(id);
  }
  long long storedRows = 0;
  for (const auto& [id, count] : stored) {
    storedRows += count;
    if (count > 1) twice.push_back(id + " ×" + std::to_string(count));
    if (mo.sent.count(id) == 0) unknown.push_back(id);
  }
  for (const auto& [id, count] : mo.sent) {
    // Two simulator runs drawing one Msg_Id would make the check ambiguous.
    EXPECT_EQ(count, 1) << "the simulator wrote Msg_Id " << id << " more than once";
  }
  EXPECT_TRUE(missing.empty()) << missing.size()
                               << " acknowledged MO messages not stored: " << FirstFew(missing);
  EXPECT_TRUE(twice.empty()) << twice.size()
                             << " MO messages stored more than once: " << FirstFew(twice);
  EXPECT_TRUE(unknown.empty()) << unknown.size()
                               << " stored MO messages never sent: " << FirstFew(unknown);
  EXPECT_EQ(mo.refused, 0) << "DELIVER_RESPs with a Result other than 0";
  long long sent = 0;
  for (const auto& entry : mo.sent) sent += entry.second;
  n.moSent = sent;
  n.moAcked = static_cast<long long>(acked.size());
  n.moStored = storedRows;
  return n;
}

void FaultRun::Report(const std::string& name, const FaultNumbers& n) {
  std::cout << "FAULT-RESULT " << name << ": rows=" << n.rows << " ok=" << n.ok
            << " failed=" << n.failed << " waiting=" << n.waiting << " mo_sent=" << n.moSent
            << " mo_acked=" << n.moAcked << " mo_stored=" << n.moStored
            << " recover_ms=" << n.recoverMs << std::endl;
  ::testing::Test::RecordProperty("rows", std::to_string(n.rows));
  ::testing::Test::RecordProperty("ok", std::to_string(n.ok));
  ::testing::Test::RecordProperty("failed", std::to_string(n.failed));
  ::testing::Test::RecordProperty("waiting", std::to_string(n.waiting));
  ::testing::Test::RecordProperty("mo_sent", std::to_string(n.moSent));
  ::testing::Test::RecordProperty("mo_acked", std::to_string(n.moAcked));
  ::testing::Test::RecordProperty("mo_stored", std::to_string(n.moStored));
  ::testing::Test::RecordProperty("recover_ms", std::to_string(n.recoverMs));
}

bool UseOwnMariaDb(MariaDbServer& server, E2eOptions& options, std::string* error) {
  if (!server.Start(error)) return false;
  options.db = DbKind::kMariaDb;
  options.mariaDb = &server;
  return true;
}

}  // namespace brivane::test
