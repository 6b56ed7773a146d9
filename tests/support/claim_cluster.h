#pragma once
// Several brivane instances claiming rows from one database: a private
// MariaDB or PostgreSQL server with the claiming procedures loaded, one
// brivane-smg per instance (so every submit the SMGs saw is known to come
// from one instance), and the instances with ClaimSubmits=1 and
// InstanceID=inst-<n>. The test's own ODBC connection inserts rows and
// reads the tables. Everything is stopped by pid when the object dies.

#include <sys/wait.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "support/mariadb_server.h"
#include "support/postgres_server.h"
#include "support/service_fixture.h"
#include "support/smg_process.h"

namespace brivane::test {

enum class ClusterDb { kMariaDb, kPostgreSql };

inline std::string ClusterDbName(ClusterDb db) {
  return db == ClusterDb::kMariaDb ? "MariaDb" : "PostgreSql";
}

struct ClusterOptions {
  int instances = 3;
  int mtSpeedLimit = 200;
  int claimLeaseSeconds = 60;
  int submitRespTimeoutSeconds = 600;
  // Each hand-over mark takes 10 ms more, so that rows stay claimed and
  // unmarked for a while and a stop or kill lands while some are.
  bool slowHandOver = false;
};

class ClaimCluster {
 public:
  ~ClaimCluster() {
    // Instances first: their stop gives claims back through the database.
    for (auto& s : services_) s->Process().Stop(std::chrono::seconds(20));
    connection_.Close();
  }

  bool Start(ClusterDb db, const ClusterOptions& options, std::string* error) {
    db_ = db;
    options_ = options;
    std::string output;
    std::string dataSource;
    std::string user;
    if (db == ClusterDb::kMariaDb) {
      if (!maria_.Start(error) || !maria_.CreateDatabase("brivane", error)) return false;
      if (!maria_.Execute("source " + SourcePath("schema/mysql-claim.sql"), &output, "brivane")) {
        *error = "cannot load the claiming procedures: " + output;
        return false;
      }
      if (options.slowHandOver &&
          !maria_.Execute("DELIMITER //\nCREATE PROCEDURE uspSlowUpdateSubmitState(IN p_Id BIGINT, "
                          "IN p_MsgFmt INT, IN p_SMSCount INT) BEGIN DO SLEEP(0.01); CALL "
                          "uspUpdateSubmitState(p_Id, p_MsgFmt, p_SMSCount); END//\n"
                          "DELIMITER ;\n",
                          &output, "brivane")) {
        *error = output;
        return false;
      }
      dataSource = maria_.OdbcDataSource("brivane");
      user = "root";
    } else {
      if (!postgres_.Start(error) || !postgres_.CreateDatabase("brivane", error)) return false;
      if (!postgres_.Execute("\\i " + SourcePath("schema/postgresql-claim.sql"), &output,
                             "brivane")) {
        *error = "cannot load the claiming procedures: " + output;
        return false;
      }
      if (options.slowHandOver &&
          !postgres_.Execute(
              "CREATE FUNCTION uspSlowUpdateSubmitState(p_Id BIGINT, p_MsgFmt INTEGER, p_SMSCount "
              "INTEGER) RETURNS void AS $$ SELECT pg_sleep(0.01); SELECT "
              "uspUpdateSubmitState(p_Id::INTEGER, p_MsgFmt, p_SMSCount); $$ LANGUAGE sql",
              &output, "brivane")) {
        *error = output;
        return false;
      }
      dataSource = postgres_.OdbcDataSource("brivane");
      user = "postgres";
    }
    connectionString_ = dataSource + "Uid=" + user + ";Pwd=;";
    try {
      connection_.Open(connectionString_);
    } catch (const db::DbException& e) {
      *error = std::string("test connection: ") + e.what();
      return false;
    }
    for (int i = 0; i < options.instances; ++i) {
      smgs_.push_back(std::make_unique<SmgProcess>());
      SmgProcess::Options smgOptions;
      smgOptions.quiet = true;
      if (!smgs_.back()->Start(smgOptions)) {
        *error = "brivane-smg did not start: " + ReadFile(smgs_.back()->OutputFile());
        return false;
      }
      services_.push_back(std::make_unique<Service>());
      services_.back()->WriteIni(
          "LogLevel=2\nDataSource=" + dataSource + "\nDBUser=" + user +
          "\nDBType=" + (db == ClusterDb::kMariaDb ? "mysql" : "postgresql") +
          "\nClaimSubmits=1\nInstanceID=" + InstanceId(i) +
          "\nClaimLease=" + std::to_string(options.claimLeaseSeconds) +
          "\nSubmitRespTimeout=" + std::to_string(options.submitRespTimeoutSeconds) +
          "\nMTSpeedLimit=" + std::to_string(options.mtSpeedLimit) +
          (options.slowHandOver ? "\nSP_UpdateSubmit=uspSlowUpdateSubmitState" : "") +
          "\nSMGAddress=127.0.0.1\nSMGVersion=48\nSPLoginName=900001\nSPPassword=888888\n"
          "SPCorpID=901234\nSPID=10661234\nMTAndMOPort=" +
          std::to_string(smgs_.back()->Port()) + "\nMTAndMOConnections=2\nWorkThreads=16\n");
    }
    for (auto& s : services_) {
      if (!s->Start()) {
        *error = "brivane did not start: " + ReadFile(s->Home().File("output.txt"));
        return false;
      }
    }
    for (auto& s : services_) {
      if (!s->LogContains("信息：网关服务启动！", std::chrono::seconds(60))) {
        *error = "an instance did not start its links: " + s->Log();
        return false;
      }
    }
    return true;
  }

  static std::string InstanceId(int i) { return "inst-" + std::to_string(i); }
  static std::string Mobile(int row) { return std::to_string(13900000000LL + row); }

  // Inserts rows first .. first+count-1 (row n has Mobile(n)), in batches.
  void InsertRows(int first, int count) {
    for (int done = 0; done < count;) {
      const int batch = std::min(500, count - done);
      std::string sql = "INSERT INTO Submit (ServiceId, Mobile, Msg) VALUES ";
      for (int i = 0; i < batch; ++i) {
        const int row = first + done + i;
        sql += std::string(i ? "," : "") + "('CLAIM', '" + Mobile(row) + "', 'row " +
               std::to_string(row) + "')";
      }
      connection_.Execute(sql);
      done += batch;
    }
  }

  long Count(const std::string& sql) {
    db::Recordset rs = connection_.Execute(sql);
    if (rs.RecordCount() == 0) return -1;
    rs.MoveFirst();
    return std::stol(rs.GetText(rs.FieldName(0)));
  }

  std::set<std::string> Mobiles(const std::string& where) {
    std::set<std::string> mobiles;
    db::Recordset rs = connection_.Execute("SELECT Mobile FROM Submit WHERE " + where);
    if (rs.RecordCount() > 0) rs.MoveFirst();
    for (; !rs.Eof(); rs.MoveNext()) mobiles.insert(rs.GetText("Mobile"));
    return mobiles;
  }

  long SubmitsAt(int i) { return smgs_[i]->Stats()["submits"]; }
  long TotalSubmits() {
    long total = 0;
    for (std::size_t i = 0; i < smgs_.size(); ++i) total += SubmitsAt(static_cast<int>(i));
    return total;
  }

  // For each destination number, the instances whose SMG received a submit
  // for it (one entry per submit).
  std::map<std::string, std::vector<int>> SentBy() {
    std::map<std::string, std::vector<int>> sent;
    static const std::regex dest("\"Dest_terminal_Id\":\"(\\d+)\"");
    for (std::size_t i = 0; i < smgs_.size(); ++i) {
      for (const auto& line : smgs_[i]->CommandLines("submits")) {
        std::smatch m;
        if (std::regex_search(line, m, dest)) sent[m[1]].push_back(static_cast<int>(i));
      }
    }
    return sent;
  }

  // True once every row 0 .. rows-1 reached an SMG and the table is empty;
  // `unsent` rows may be missing at the SMGs (handed over by an instance
  // killed before it wrote them: they are recorded as unanswered instead).
  bool WaitAllDone(int rows, std::chrono::milliseconds limit, int unsent = 0) {
    // Rides out a database restart: the test's connection is opened again.
    return WaitFor(
        [&] {
          try {
            if (!connection_.IsOpen()) connection_.Open(connectionString_);
            return TotalSubmits() >= rows - unsent && Count("SELECT COUNT(*) FROM Submit") == 0;
          } catch (const db::DbException&) {
            connection_.Close();
            return false;
          }
        },
        limit, std::chrono::milliseconds(200));
  }

  // A counter of instance i's /metrics; -1 when the page or the line is
  // missing.
  long Metric(int i, const std::string& name) {
    auto page = services_[i]->Get("/metrics");
    if (!page) return -1;
    std::smatch m;
    if (!std::regex_search(page->body, m, std::regex("\n" + name + " (\\d+)\n"))) return -1;
    return std::stol(m[1]);
  }
  // What a live instance claimed is what it handed over plus what it gave
  // back; "" when so, else the three figures.
  std::string ClaimBalance(int i) {
    const long claimed = Metric(i, "brivane_rows_claimed_total");
    const long handed = Metric(i, "brivane_rows_claimed_handed_over_total");
    const long given = Metric(i, "brivane_rows_given_back_total");
    if (claimed >= 0 && claimed == handed + given) return "";
    return "instance " + std::to_string(i) + ": claimed " + std::to_string(claimed) +
           ", handed over " + std::to_string(handed) + ", given back " + std::to_string(given);
  }
  Service& Instance(int i) { return *services_[i]; }
  SmgProcess& Smg(int i) { return *smgs_[i]; }
  MariaDbServer& Maria() { return maria_; }
  // Kills the database server (MariaDB: SIGKILL; PostgreSQL: an immediate
  // shutdown, as a crash) and starts it again on the same port and data.
  bool RestartDatabase(std::string* error) {
    if (db_ == ClusterDb::kMariaDb) {
      maria_.Kill();
      return maria_.Restart(error);
    }
    postgres_.Crash();
    return postgres_.Restart(error);
  }

 private:
  ClusterDb db_ = ClusterDb::kMariaDb;
  ClusterOptions options_;
  MariaDbServer maria_;
  PostgresServer postgres_;
  std::string connectionString_;
  db::Connection connection_;
  std::vector<std::unique_ptr<SmgProcess>> smgs_;
  std::vector<std::unique_ptr<Service>> services_;
};

}  // namespace brivane::test
