#pragma once
// What every MO end-to-end test runs against: a SQLite database made from
// schema/sqlite.sql, brivane-smg, the business application (AppReceiver) and
// the real brivane process with its own home, HTTPS port and status block.
// Everything is stopped by pid and removed in TearDown. The database is read
// with the sqlite3 program, so what a test sees is what an application would.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app_receiver.h"
#include "support/odbc_support.h"
#include "support/process.h"
#include "support/smg_process.h"

namespace brivane::test {

// One Deliver row; texts as the database holds them (UTF-8).
struct DeliverRow {
  std::string mobile, msg, spNumber, linkId, msgId;
  long responseCode = 0;
  std::string responseInfo, replyBody;
  long serviceId = 0, pkTotal = 0;
  std::string serviceCode;
};

std::string HexOf(std::string_view bytes);
std::string BytesOfHex(std::string_view hex);
// UTF-8 text as big-endian UCS-2 (BMP only), as a handset sends it.
std::string Ucs2BeOf(std::string_view utf8);
// UTF-8 text as GBK.
std::string GbkOf(std::string_view utf8);

class MoEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A row of `Service`; routes are read when brivane starts or restarts.
  void AddRoute(int serviceId, const std::string& spNumber, const std::string& path,
                int enableRoute = 1, const std::string& serviceCode = "SVC");

  // Writes brivane.ini (SMG, database, EnableHTTPClient=1, the carrier
  // settings, LogLevel 4; `keys` add or replace keys) and starts brivane;
  // true once it has logged in to the simulator and reports itself started
  // in the status block (without waitStarted: once the process runs).
  bool StartBrivane(const std::map<std::string, std::string>& keys = {}, bool waitStarted = true);
  // SIGHUP; true once the restart has logged in again and started.
  bool RestartBrivane();

  // Runs SQL with the sqlite3 program; rows of fields.
  std::vector<std::vector<std::string>> Sql(const std::string& sql);
  std::vector<DeliverRow> Delivers();
  bool WaitDelivers(std::size_t atLeast, std::chrono::milliseconds timeout = kWait);

  // A 32-bit field of brivane's status block (0 when it cannot be read).
  std::uint32_t Counter(std::size_t offset);
  bool WaitCounter(std::size_t offset, std::uint32_t atLeast,
                   std::chrono::milliseconds timeout = kWait);

  // An MO through the simulator's `mo` command; true when it was sent.
  bool SendMo(const std::string& src, const std::string& dest, int fmt, std::string_view content,
              const std::string& service = "", const std::string& linkId = "");

  std::string Log() const;
  // Why a wait failed: the ends of the logs.
  std::string Diagnostics() const;

  static constexpr std::chrono::milliseconds kWait{15000};

  std::unique_ptr<TempDir> home_;
  std::unique_ptr<SqliteDatabase> db_;
  AppReceiver app_;
  SmgProcess smg_;
  ChildProcess brivane_;
  std::string block_;
  std::string sqlite3_;
  int httpPort_ = 0;
  long loginsBeforeRestart_ = 0;
};

}  // namespace brivane::test
