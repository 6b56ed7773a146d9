#include "support/odbc_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/process.h"

namespace brivane::test {

std::string FindProgram(const std::string& name) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::stringstream ss(path);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  }
  for (const char* extra : {"/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
    dirs.push_back(extra);
  }
  for (const auto& dir : dirs) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string OdbcDriverLibrary(const std::string& fileName) {
  std::vector<std::string> dirs = {"/usr/lib/x86_64-linux-gnu/odbc",
                                   "/usr/lib/aarch64-linux-gnu/odbc",
                                   "/usr/lib/odbc",
                                   "/usr/lib64",
                                   "/usr/local/lib",
                                   "/usr/lib/x86_64-linux-gnu",
                                   "/usr/lib/aarch64-linux-gnu"};
  for (const auto& dir : dirs) {
    std::string candidate = dir + "/" + fileName;
    if (std::filesystem::exists(candidate)) return candidate;
  }
  return "";
}

bool RunProgram(const std::vector<std::string>& argv, std::string* output,
                std::chrono::milliseconds timeout) {
  TempDir dir("brivane-run");
  const std::string outFile = dir.File("output");
  ChildProcess child;
  if (!child.Start(argv, outFile)) {
    if (output) *output = "cannot start " + (argv.empty() ? std::string("?") : argv[0]);
    return false;
  }
  int status = child.Wait(timeout);
  if (status == -1) child.Kill();
  if (output) *output = ReadFile(outFile);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SqliteDatabase::Create(std::string* error, const std::string& schemaFile) {
  const std::string sqlite = FindProgram("sqlite3");
  if (sqlite.empty()) {
    if (error) *error = "the sqlite3 program is not installed (scripts/setup.sh installs it)";
    return false;
  }
  const std::string schema = schemaFile.empty() ? SourcePath("schema/sqlite.sql") : schemaFile;
  std::string output;
  if (!RunProgram({sqlite, "-bail", path_, ".read " + schema}, &output)) {
    if (error) *error = "sqlite3 could not load " + schema + ": " + output;
    return false;
  }
  return true;
}

std::string SqliteDatabase::OdbcDataSource() const {
  return "Driver=" + OdbcDriverLibrary("libsqlite3odbc.so") + ";Database=" + path_ +
         ";Timeout=10000;SyncPragma=NORMAL;";
}

bool SqliteDatabase::WriteDsn(const std::string& odbcIniPath, const std::string& dsnName) const {
  std::ofstream out(odbcIniPath, std::ios::app);
  out << "[" << dsnName << "]\n"
      << "Driver = " << OdbcDriverLibrary("libsqlite3odbc.so") << "\n"
      << "Database = " << path_ << "\n"
      << "Timeout = 10000\n"
      << "SyncPragma = NORMAL\n\n";
  return static_cast<bool>(out);
}

}  // namespace brivane::test
