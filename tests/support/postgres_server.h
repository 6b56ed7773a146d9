#pragma once
// A private PostgreSQL server for tests: initdb into a temporary directory,
// then postgres on a free 127.0.0.1 port with its socket in that directory,
// user postgres with trust authentication. PostgreSQL refuses to run as
// root, so under root both run as the user nobody. Stopped by its pid when
// the object dies.

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace brivane::test {

class PostgresServer {
 public:
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Creates the cluster and starts the server; waits (30 s at most) until
  // it answers. False with the reason in *error.
  bool Start(std::string* error);
  void Stop();
  // Ends the server the way a crash would (immediate shutdown: no
  // checkpoint, clients cut off, recovery at the next start); then Restart
  // starts it again on the same port and data.
  void Crash();
  bool Restart(std::string* error);
  bool Running();
  int Port() const { return port_; }
  std::string ServerLog() const;

  // Runs SQL through psql as postgres; false with psql's output on error.
  bool Execute(const std::string& sql, std::string* output = nullptr,
               const std::string& database = "postgres");
  // Creates a UTF8 database (dropping an earlier one of that name) and
  // loads a schema file into it, by default schema/postgresql.sql.
  bool CreateDatabase(const std::string& name, std::string* error,
                      const std::string& schemaFile = "");

  // A DSN-less connection string for psqlODBC (Unicode driver) without Uid
  // and Pwd, with BoolsAsChar=0 so booleans arrive as SQL_BIT.
  std::string OdbcDataSource(const std::string& database) const;

 private:
  // Starts postgres on port_ and waits (30 s at most) until it answers.
  bool Launch(std::string* error);
  // argv run as the server's user (nobody under root).
  std::vector<std::string> AsServerUser(std::vector<std::string> argv) const;

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<ChildProcess> server_;
  std::string binDir_;
  int port_ = 0;
};

}  // namespace brivane::test
