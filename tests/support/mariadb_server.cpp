#include "support/mariadb_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/odbc_support.h"

namespace brivane::test {
namespace {

constexpr auto kReadyTimeout = std::chrono::seconds(30);

// A connection-string value, brace-quoted when it holds ';', '{' or '}'.
std::string Quoted(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos) return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

}  // namespace

MariaDbServer::MariaDbServer() = default;

MariaDbServer::~MariaDbServer() { Stop(); }

bool MariaDbServer::Start(std::string* error) {
  const std::string install = FindProgram("mariadb-install-db");
  if (install.empty() || FindProgram("mariadbd").empty() || FindProgram("mariadb").empty()) {
    if (error) *error = "MariaDB is not installed (mariadb-server; scripts/setup.sh installs it)";
    return false;
  }
  if (OdbcDriverLibrary("libmaodbc.so").empty()) {
    if (error) *error = "the MariaDB ODBC driver libmaodbc.so is missing (package odbc-mariadb)";
    return false;
  }
  dir_ = std::make_unique<TempDir>("brivane-mariadb");
  if (dir_->Path().empty()) {
    if (error) *error = "cannot create a temporary directory";
    return false;
  }
  dataDir_ = dir_->File("data");
  socket_ = dir_->File("mysqld.sock");
  // The server's own temporary files stay in its folder: in the shared /tmp
  // another process's clean-up has removed them under a running install.
  tmpDir_ = dir_->File("tmp");
  if (::mkdir(tmpDir_.c_str(), 0700) != 0) {
    if (error) *error = "cannot create " + tmpDir_ + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> argv = {install,
                                   "--no-defaults",
                                   "--datadir=" + dataDir_,
                                   "--tmpdir=" + tmpDir_,
                                   "--auth-root-authentication-method=normal",
                                   "--skip-test-db"};
  if (geteuid() == 0) argv.push_back("--user=root");
  std::string output;
  if (!RunProgram(argv, &output, std::chrono::seconds(120))) {
    if (error) *error = "mariadb-install-db failed: " + output;
    return false;
  }
  // A free port may be taken by someone else before the server binds it;
  // try a few.
  std::string reason;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreePort();
    if (Launch(&reason) && WaitReady(&reason)) return true;
    Kill();
  }
  if (error) *error = reason;
  return false;
}

bool MariaDbServer::Restart(std::string* error) {
  if (!dir_) {
    if (error) *error = "the server was never started";
    return false;
  }
  if (Running()) return true;
  return Launch(error) && WaitReady(error);
}

bool MariaDbServer::Launch(std::string* error) {
  std::vector<std::string> argv = {
      FindProgram("mariadbd"), "--no-defaults", "--datadir=" + dataDir_, "--tmpdir=" + tmpDir_,
      "--socket=" + socket_, "--port=" + std::to_string(port_), "--bind-address=127.0.0.1",
      "--pid-file=" + dir_->File("mysqld.pid"), "--log-error=" + dir_->File("error.log"),
      "--skip-name-resolve", "--character-set-server=utf8mb4",
      "--collation-server=utf8mb4_unicode_ci", "--innodb-buffer-pool-size=64M",
      // Each commit still reaches the OS, so a
      // killed server loses nothing.
      "--innodb-flush-log-at-trx-commit=2"};
  if (geteuid() == 0) argv.push_back("--user=root");
  server_ = std::make_unique<ChildProcess>();
  if (!server_->Start(argv, dir_->File("stdout.log"))) {
    if (error) *error = "cannot start mariadbd";
    return false;
  }
  return true;
}

bool MariaDbServer::WaitReady(std::string* error) {
  auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  std::string output;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) {
      if (error) *error = "mariadbd ended during start-up: " + ErrorLog();
      return false;
    }
    if (PortAccepts(port_) && Execute("SELECT 1", &output)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (error) *error = "mariadbd did not answer within 30 s: " + output + "\n" + ErrorLog();
  return false;
}

void MariaDbServer::Kill() {
  if (server_) server_->Kill();
}

void MariaDbServer::Stop() {
  if (server_) server_->Stop(std::chrono::seconds(20));
}

void MariaDbServer::Signal(int sig) {
  if (server_) server_->Signal(sig);
}

bool MariaDbServer::Running() { return server_ && server_->Running(); }

std::string MariaDbServer::ErrorLog() const {
  return dir_ ? ReadFile(dir_->File("error.log")) : std::string();
}

bool MariaDbServer::Execute(const std::string& sql, std::string* output,
                            const std::string& database) {
  std::vector<std::string> argv = {FindProgram("mariadb"),
                                   "--no-defaults",
                                   "--socket=" + socket_,
                                   "--user=root",
                                   "--batch",
                                   "--skip-column-names",
                                   "--default-character-set=utf8mb4"};
  if (!database.empty()) argv.push_back("--database=" + database);
  argv.push_back("--execute=" + sql);
  return RunProgram(argv, output, std::chrono::seconds(60));
}

bool MariaDbServer::CreateDatabase(const std::string& name, std::string* error,
                                   const std::string& schemaFile) {
  std::string output;
  if (!Execute("DROP DATABASE IF EXISTS `" + name + "`; CREATE DATABASE `" + name +
                   "` CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;",
               &output)) {
    if (error) *error = "cannot create database " + name + ": " + output;
    return false;
  }
  const std::string schema = schemaFile.empty() ? SourcePath("schema/mysql.sql") : schemaFile;
  if (!Execute("source " + schema, &output, name)) {
    if (error) *error = "cannot load " + schema + ": " + output;
    return false;
  }
  return true;
}

std::string MariaDbServer::OdbcDataSource(const std::string& database) const {
  return "Driver=" + OdbcDriverLibrary("libmaodbc.so") +
         ";Server=127.0.0.1;Port=" + std::to_string(port_) + ";Database=" + database + ";";
}

std::string MariaDbServer::OdbcConnectionString(const std::string& database,
                                                const std::string& user,
                                                const std::string& password) const {
  return OdbcDataSource(database) + "Uid=" + Quoted(user) + ";Pwd=" + Quoted(password) + ";";
}

}  // namespace brivane::test
