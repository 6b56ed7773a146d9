// Two brivane instances polling one MariaDB database: through the claiming
// procedure of schema/mysql-claim.sql (SubmitQuery=uspClaimSubmit) every row
// reaches the SMG exactly once with both instances taking part; with the
// plain polling query rows go out twice.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <regex>
#include <set>

#include "support/mariadb_server.h"
#include "support/service_fixture.h"
#include "support/smg_process.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(60);
constexpr int kRows = 200;

long StatusField(Service& service, const std::string& name) {
  std::string out;
  int status = service.Command({"status", "--home", service.Home().Path()}, &out);
  // The instances have stopped by now: status says so with exit status 3
  // and still prints the block they left.
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) return -1;
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("\n" + name + ": (\\d+)\n"))) return -1;
  return std::stol(m[1]);
}

// One database, one SMG, two instances with the given polling query. The
// hand-over is made slow (20 ms per row), so that a pass lasts long enough
// for the other instance's pass to begin while this one still has rows in
// state 0: what a plain SELECT then does is visible.
class TwoInstances : public ::testing::Test {
 protected:
  void Run(const std::string& submitQueryLine, int mtSpeedLimit) {
    std::string error;
    ASSERT_TRUE(db_.Start(&error)) << error;
    ASSERT_TRUE(db_.CreateDatabase("brivane", &error)) << error;
    std::string output;
    ASSERT_TRUE(db_.Execute("source " + SourcePath("schema/mysql-claim.sql"), &output, "brivane"))
        << output;
    ASSERT_TRUE(db_.Execute(
        "DROP PROCEDURE uspUpdateSubmitState;\nDELIMITER //\n"
        "CREATE PROCEDURE uspUpdateSubmitState(IN p_Id INT, IN p_MsgFmt INT, IN p_SMSCount INT) "
        "BEGIN DO SLEEP(0.02); UPDATE Submit SET SubmitState = 1, MsgFmt = p_MsgFmt, "
        "SMSCount = p_SMSCount, SendTime = NOW() WHERE SubmitID = p_Id; END//\nDELIMITER ;\n",
        &output, "brivane"))
        << output;

    ASSERT_TRUE(smg_.Start({})) << ReadFile(smg_.OutputFile());
    const std::string ini = "LogLevel=3\nDataSource=" + db_.OdbcDataSource("brivane") +
                            "\nDBUser=root\nDBType=mysql\n" + submitQueryLine +
                            "MTSpeedLimit=" + std::to_string(mtSpeedLimit) +
                            "\nSMGAddress=127.0.0.1\nSMGVersion=48\n"
                            "SPLoginName=900001\nSPPassword=888888\nSPCorpID=901234\n"
                            "SPID=10661234\nMTAndMOPort=" +
                            std::to_string(smg_.Port()) +
                            "\nMTAndMOConnections=2\nWorkThreads=16\n";
    for (Service* s : {&a_, &b_}) {
      s->WriteIni(ini);
      ASSERT_TRUE(s->Start());
    }
    for (Service* s : {&a_, &b_})
      ASSERT_TRUE(s->LogContains("信息：网关服务启动！", kWait)) << s->Log();

    // One transaction: both instances' passes find every row at once, so
    // the plain query's passes overlap however the two are scheduled.
    std::string rows = "START TRANSACTION;";
    for (int i = 0; i < kRows; ++i)
      rows += "INSERT INTO Submit (ServiceId, Mobile, Msg) VALUES ('TWO', '" +
              std::to_string(13900000000LL + i) + "', 'row " + std::to_string(i) + "');";
    rows += "COMMIT;";
    ASSERT_TRUE(db_.Execute(rows, &output, "brivane")) << output;

    ASSERT_TRUE(smg_.WaitStat("submits", kRows, kWait));
    ASSERT_TRUE(WaitFor(
        [&] {
          std::string count;
          return db_.Execute("SELECT COUNT(*) FROM Submit", &count, "brivane") && count == "0\n";
        },
        kWait));
    // Stopping ends every pass and lets answers to submits already written
    // in: whatever either instance would send twice has been sent by then.
    for (Service* s : {&a_, &b_}) {
      int status = s->Process().Stop(std::chrono::seconds(30));
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    submits_ = smg_.Stats()["submits"];
    std::regex dest("\"Dest_terminal_Id\":\"(\\d+)\"");
    for (const auto& line : smg_.CommandLines("submits")) {
      std::smatch m;
      if (std::regex_search(line, m, dest)) mobiles_.insert(m[1]);
    }
    sentByA_ = StatusField(a_, "submit_written");
    sentByB_ = StatusField(b_, "submit_written");
    std::cout << "SMG got " << submits_ << " submits for " << mobiles_.size()
              << " rows; sent by A: " << sentByA_ << ", by B: " << sentByB_ << "\n";
  }

  MariaDbServer db_;
  SmgProcess smg_;
  Service a_;
  Service b_;
  long submits_ = 0;
  std::set<std::string> mobiles_;
  long sentByA_ = -1;
  long sentByB_ = -1;
};

TEST_F(TwoInstances, ClaimingProcedureSendsEveryRowOnceWithBothTakingPart) {
  ASSERT_NO_FATAL_FAILURE(Run("SubmitQuery=uspClaimSubmit\n", 20));
  EXPECT_EQ(submits_, kRows);
  EXPECT_EQ(mobiles_.size(), static_cast<std::size_t>(kRows));
  std::string output;
  ASSERT_TRUE(
      db_.Execute("SELECT COUNT(*), COUNT(DISTINCT SubmitID) FROM SubmitLog", &output, "brivane"));
  EXPECT_EQ(output, std::to_string(kRows) + "\t" + std::to_string(kRows) + "\n");
  EXPECT_EQ(sentByA_ + sentByB_, kRows);
  EXPECT_GT(sentByA_, 0) << "instance A sent nothing";
  EXPECT_GT(sentByB_, 0) << "instance B sent nothing";
}

// Why the procedure exists, and proof that the set-up above can tell: with
// the plain polling query both instances send the rows they both selected.
TEST_F(TwoInstances, PlainQueryOnTwoInstancesSendsRowsTwice) {
  ASSERT_NO_FATAL_FAILURE(Run("DBCommitBatch=1\n", kRows));
  EXPECT_EQ(mobiles_.size(), static_cast<std::size_t>(kRows));
  EXPECT_GT(submits_, kRows) << "the passes did not overlap; the claiming test proves nothing";
}

}  // namespace
}  // namespace brivane::test
