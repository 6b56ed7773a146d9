#include "support/postgres_server.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/odbc_support.h"

namespace brivane::test {
namespace {

// The newest installed server binaries (initdb and postgres are not in PATH
// on Debian).
std::string FindPostgresBin() {
  std::string best;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    std::string bin = entry.path().string() + "/bin";
    if (std::filesystem::exists(bin + "/postgres") && bin > best) best = bin;
  }
  if (best.empty()) {
    std::string initdb = FindProgram("initdb");
    if (!initdb.empty()) best = std::filesystem::path(initdb).parent_path().string();
  }
  return best;
}

}  // namespace

PostgresServer::PostgresServer() = default;

PostgresServer::~PostgresServer() { Stop(); }

std::vector<std::string> PostgresServer::AsServerUser(std::vector<std::string> argv) const {
  if (geteuid() != 0) return argv;
  std::vector<std::string> wrapped = {FindProgram("setpriv"), "--reuid=nobody", "--regid=nogroup",
                                      "--clear-groups"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

bool PostgresServer::Start(std::string* error) {
  binDir_ = FindPostgresBin();
  if (binDir_.empty() || FindProgram("psql").empty()) {
    if (error) *error = "PostgreSQL is not installed (postgresql)";
    return false;
  }
  if (OdbcDriverLibrary("psqlodbcw.so").empty()) {
    if (error) *error = "the PostgreSQL ODBC driver psqlodbcw.so is missing (odbc-postgresql)";
    return false;
  }
  if (geteuid() == 0 && FindProgram("setpriv").empty()) {
    if (error) *error = "running as root needs setpriv to start PostgreSQL as nobody";
    return false;
  }
  dir_ = std::make_unique<TempDir>("brivane-postgres");
  if (geteuid() == 0) {
    passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || chown(dir_->Path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      if (error) *error = "cannot hand the data directory to nobody";
      return false;
    }
  }
  std::string output;
  if (!RunProgram(AsServerUser({binDir_ + "/initdb", "-D", dir_->File("data"), "-U", "postgres",
                                "-A", "trust", "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"}),
                  &output, std::chrono::seconds(120))) {
    if (error) *error = "initdb failed: " + output;
    return false;
  }
  std::string reason;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreePort();
    if (Launch(&reason)) return true;
    Stop();
  }
  if (error) *error = reason;
  return false;
}

bool PostgresServer::Launch(std::string* error) {
  server_ = std::make_unique<ChildProcess>();
  if (!server_->Start(AsServerUser({binDir_ + "/postgres", "-D", dir_->File("data"), "-p",
                                    std::to_string(port_), "-k", dir_->Path(), "-c",
                                    "listen_addresses=127.0.0.1", "-c", "fsync=off"}),
                      dir_->File("server.log"))) {
    if (error) *error = "cannot start postgres";
    return false;
  }
  std::string output;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline && Running()) {
    if (PortAccepts(port_) && Execute("SELECT 1", &output)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (error) *error = "postgres did not come up: " + output + "\n" + ServerLog();
  return false;
}

void PostgresServer::Crash() {
  if (!server_) return;
  // SIGQUIT: the postmaster ends every backend at once and exits without a
  // checkpoint. SIGKILL would leave backends holding its shared memory,
  // and the next start would refuse to run.
  server_->Signal(SIGQUIT);
  server_->Wait(std::chrono::seconds(20));
}

bool PostgresServer::Restart(std::string* error) {
  if (!dir_) {
    if (error) *error = "the server was never started";
    return false;
  }
  if (Running()) return true;
  return Launch(error);
}

void PostgresServer::Stop() {
  // SIGTERM is PostgreSQL's smart shutdown; it ends once the clients left.
  if (server_) server_->Stop(std::chrono::seconds(20));
}

bool PostgresServer::Running() { return server_ && server_->Running(); }

std::string PostgresServer::ServerLog() const {
  return dir_ ? ReadFile(dir_->File("server.log")) : std::string();
}

bool PostgresServer::Execute(const std::string& sql, std::string* output,
                             const std::string& database) {
  return RunProgram({FindProgram("psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
                     "-p", std::to_string(port_), "-U", "postgres", "-d", database, "-c", sql},
                    output, std::chrono::seconds(60));
}

bool PostgresServer::CreateDatabase(const std::string& name, std::string* error,
                                    const std::string& schemaFile) {
  std::string output;
  if (!Execute("DROP DATABASE IF EXISTS \"" + name + "\"", &output) ||
      !Execute("CREATE DATABASE \"" + name + "\" ENCODING 'UTF8' TEMPLATE template0", &output)) {
    if (error) *error = "cannot create database " + name + ": " + output;
    return false;
  }
  const std::string schema = schemaFile.empty() ? SourcePath("schema/postgresql.sql") : schemaFile;
  if (!RunProgram({FindProgram("psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
                   "-p", std::to_string(port_), "-U", "postgres", "-d", name, "-f", schema},
                  &output, std::chrono::seconds(60))) {
    if (error) *error = "cannot load " + schema + ": " + output;
    return false;
  }
  return true;
}

std::string PostgresServer::OdbcDataSource(const std::string& database) const {
  return "Driver=" + OdbcDriverLibrary("psqlodbcw.so") +
         ";Servername=127.0.0.1;Port=" + std::to_string(port_) + ";Database=" + database +
         ";BoolsAsChar=0;";
}

}  // namespace brivane::test
