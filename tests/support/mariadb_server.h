#pragma once
// A private MariaDB server for tests: mariadb-install-db into a temporary
// data directory, then mariadbd on a free 127.0.0.1 port with its own
// socket, root without password. It can be killed and started again on the
// same data directory and port (to test reconnection), and it is stopped
// by its pid when the object dies. Nothing is shared with a system server.
//
// Use one per test program (a gtest Environment or a shared fixture):
// starting one takes about two seconds.

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace brivane::test {

class MariaDbServer {
 public:
  MariaDbServer();
  ~MariaDbServer();
  MariaDbServer(const MariaDbServer&) = delete;
  MariaDbServer& operator=(const MariaDbServer&) = delete;

  // Creates the data directory and starts the server; waits (30 s at most)
  // until it answers a query. False with the reason in *error.
  bool Start(std::string* error);
  // Starts the server again on the same data directory, port and socket
  // (after Kill or Stop).
  bool Restart(std::string* error);
  // Ends the server at once with SIGKILL, as a crash would.
  void Kill();
  // Ends the server with SIGTERM (a clean shutdown) and waits for it.
  void Stop();
  // Sends a signal to the server (SIGSTOP: it stops answering, connections
  // stay open; SIGCONT: it goes on).
  void Signal(int sig);
  bool Running();

  int Port() const { return port_; }
  // The server process's pid, -1 when it is not running.
  pid_t Pid() const { return server_ ? server_->Pid() : -1; }
  const std::string& SocketPath() const { return socket_; }
  const std::string& DataDir() const { return dataDir_; }
  // The server's own log, for failure messages.
  std::string ErrorLog() const;

  // Runs SQL statements as root through the mariadb client (batch mode,
  // no column names). False with the client's output in *output on error.
  bool Execute(const std::string& sql, std::string* output = nullptr,
               const std::string& database = "");
  // Creates a utf8mb4 database (dropping an earlier one of that name) and
  // loads a schema file into it, by default schema/mysql.sql.
  bool CreateDatabase(const std::string& name, std::string* error,
                      const std::string& schemaFile = "");

  // A DSN-less ODBC connection string for a database, without Uid and Pwd:
  // "Driver=<libmaodbc>;Server=127.0.0.1;Port=<port>;Database=<name>;".
  std::string OdbcDataSource(const std::string& database) const;
  // The same with "Uid=<user>;Pwd=<password>;" (root by default).
  std::string OdbcConnectionString(const std::string& database, const std::string& user = "root",
                                   const std::string& password = "") const;

 private:
  bool Launch(std::string* error);
  bool WaitReady(std::string* error);

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<ChildProcess> server_;
  std::string dataDir_;
  std::string tmpDir_;
  std::string socket_;
  int port_ = 0;
};

}  // namespace brivane::test
