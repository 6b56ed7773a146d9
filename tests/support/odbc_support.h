#pragma once
// Helpers for tests that reach databases through unixODBC: locating driver
// libraries (so a fresh machine works whether or not its packages
// registered the drivers in odbcinst.ini), running command-line tools to
// completion, and SQLite database files built from schema/sqlite.sql.

#include <chrono>
#include <string>
#include <vector>

namespace brivane::test {

// The absolute path of an executable found in PATH, /usr/sbin or /sbin;
// empty when missing.
std::string FindProgram(const std::string& name);

// The absolute path of an ODBC driver library ("libsqlite3odbc.so",
// "libmaodbc.so", "psqlodbcw.so") in the usual driver directories; empty
// when missing. A connection string may name it as Driver= directly.
std::string OdbcDriverLibrary(const std::string& fileName);

// Runs a program (argv[0] absolute) to completion within the timeout.
// Returns true when it exited with status 0; *output gets its stdout and
// stderr together.
bool RunProgram(const std::vector<std::string>& argv, std::string* output,
                std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A SQLite database file for the tests, reached through the SQLite3 ODBC
// driver with a busy timeout, so that several connections can write.
class SqliteDatabase {
 public:
  explicit SqliteDatabase(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // Runs the schema file into the database with the sqlite3 tool.
  bool Create(std::string* error, const std::string& schemaFile = "");
  // "Driver=<library>;Database=<path>;Timeout=10000;SyncPragma=NORMAL;"
  std::string OdbcDataSource() const;
  // Appends a DSN section for this file to an odbc.ini; point ODBCINI at
  // that file to use it.
  bool WriteDsn(const std::string& odbcIniPath, const std::string& dsnName) const;

 private:
  std::string path_;
};

}  // namespace brivane::test
