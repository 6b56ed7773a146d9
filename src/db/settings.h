#pragma once
// The database settings the gateway is built from, and the pure functions
// over them: the connection string, the settings line of a failed start-up
// open (with the password masked), the procedure call syntax of a DBType.
// Texts here are UTF-8, as the configuration file holds them.

#include <chrono>
#include <string>
#include <string_view>

#include "db/group_commit.h"
#include "db/odbc.h"

namespace brivane::db {

struct DbSettings {
  // An ODBC DSN name, or, when it contains '=', a complete DSN-less
  // connection string to which Uid and Pwd are added.
  std::string dataSource;
  std::string dbUser = "user_cmpp";
  std::string dbPassword;
  // "mssql", "mysql", "oracle", "postgresql" or "sqlite" (case-sensitive).
  std::string dbType = "mssql";
  std::string spUpdateSubmit = "uspUpdateSubmitState";
  std::string spDelSubmit = "uspMoveSubmitToLog";
  std::string spAddDeliver = "uspAddDeliver";
  std::string spAddStatusReport = "uspAddStatusReport";
  // Start-up open attempts and the pause after each failed one.
  int openAttempts = 3;
  std::chrono::milliseconds retryPause{1000};
  // How the calls of DelSubmit, AddDeliver and AddStatusReport are grouped
  // into transactions (maxCalls 1: each call commits alone).
  BatchBounds commitBatch;
};

// Quotes one attribute value of a connection string the ODBC way: a value
// holding ';', '{' or '}' is enclosed in braces, with each '}' doubled, so
// it can neither end early nor add attributes. Other values stay as given.
std::string QuoteOdbcValue(std::string_view value);

// "DSN=<DataSource>;Uid=<DBUser>;Pwd=<DBPassword>;" with quoted values; a
// DataSource containing '=' is used as the leading part itself (a ';' is
// added when it does not end in one) and only Uid and Pwd are appended.
std::string BuildConnectionString(const DbSettings& settings);

// Seconds a MySQL/MariaDB connection waits for the server to connect, or to
// answer or take one network read or write, before the call fails. A server
// that stops answering (hung, or its host gone without a reset) would
// otherwise hold a call, and with it the stop of the service, for ever.
inline constexpr int kMysqlNetworkTimeoutSeconds = 5;

// The connection string with the network timeouts added for DBType "mysql"
// (the driver's CONN_TIMEOUT, READ_TIMEOUT and WRITE_TIMEOUT), unless it
// already names them; other types are returned as they are.
std::string WithNetworkTimeouts(const std::string& connectionString, std::string_view dbType);

// The connection string with the value of every PWD or Password attribute
// replaced by "******" (keys compared without regard to case, braces
// honoured). Used wherever a connection string reaches the log.
std::string MaskPasswords(std::string_view connectionString);

// The level-1 line written when DBConnection cannot be opened at start-up:
// "数据库异常：数据库连接失败，连接=<connection string>;数据源=<DataSource>;
// 用户名=<DBUser>;密码=******", passwords masked in both strings.
std::string SettingsFailureLine(const DbSettings& settings);

// kInsertIntoView for "sqlite", kOdbcCall for every other DBType.
ProcedureSyntax SyntaxForDbType(std::string_view dbType);

}  // namespace brivane::db
