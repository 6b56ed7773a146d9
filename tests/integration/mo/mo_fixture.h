#pragma once
// What every MO end-to-end test runs against: the whole system from the
// end-to-end fixture (E2eSystem: database, brivane-smg, the real brivane
// process) with EnableHTTPClient on, plus the business application
// (AppReceiver) the routes in `Service` point at. Helpers read the Deliver
// table, send MO messages through the simulator and read the status block.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/app_receiver.h"
#include "support/e2e_fixture.h"

namespace brivane::test {

// One Deliver row; texts UTF-8.
struct DeliverRow {
  std::string mobile, msg, spNumber, linkId, msgId;
  long long responseCode = 0;
  std::string responseInfo, replyBody;
  long long serviceId = 0, pkTotal = 0;
  std::string serviceCode;
};

// UTF-8 text as big-endian UCS-2 (what a handset sends with Msg_Fmt 8) and
// as GBK (Msg_Fmt 15), converted here with iconv, not with the code under test.
std::string Ucs2BeOf(std::string_view utf8);
std::string GbkOf(std::string_view utf8);

class MoEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override;

  // The database and the simulator, brivane.ini with EnableHTTPClient=1,
  // DialogCarrierID 46000, DialogCarrierNAME "A&B", MOHTTPQuestTimeout 5000
  // and LogLevel 4; `keys` add or replace keys. The simulator speaks CMPP
  // 3.0 (48) or 2.0 (32). brivane is not started yet, so that routes can be
  // added first.
  bool Prepare(const std::map<std::string, std::string>& keys = {}, DbKind kind = DbKind::kSqlite,
               int smgVersion = 48);
  // A row of `Service` pointing at the application's `path`; routes are
  // read when brivane starts or restarts.
  void AddRoute(int serviceId, const std::string& spNumber, const std::string& path,
                int enableRoute = 1, const std::string& serviceCode = "SVC");
  // Starts brivane; true once it says the service started.
  bool StartBrivane();
  // Prepare, then StartBrivane.
  bool Start(const std::map<std::string, std::string>& keys = {}) {
    return Prepare(keys) && StartBrivane();
  }

  std::vector<DeliverRow> Delivers();
  bool WaitDelivers(std::size_t atLeast, std::chrono::milliseconds timeout = kWait);

  // An MO through the simulator's `mo` command; true when it was sent.
  bool SendMo(const std::string& src, const std::string& dest, int fmt, std::string_view content,
              const std::string& service = "", const std::string& linkId = "");
  // `mo-long`: the content cut into parts and sent in `order`; the reply.
  std::string SendLongMo(const std::string& src, const std::string& dest, int fmt, bool ref16,
                         int ref, const std::string& order, std::string_view content,
                         const std::string& service = "", const std::string& linkId = "");

  std::uint32_t Counter(std::size_t offset) { return sys_->StatusField(offset); }
  bool WaitCounter(std::size_t offset, std::uint32_t atLeast,
                   std::chrono::milliseconds timeout = kWait);

  // The last error of the fixture and the ends of both logs.
  std::string Diagnostics() const;

  static constexpr std::chrono::milliseconds kWait{15000};

  AppReceiver app_;
  std::unique_ptr<E2eSystem> sys_;
  std::string error_;
};

}  // namespace brivane::test
