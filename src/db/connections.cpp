#include "db/connections.h"

#include <fmt/format.h>

#include <thread>

#include "base/log.h"
#include "base/status_block.h"

namespace brivane::db {
namespace {

std::size_t StatusField(DbLink link) {
  switch (link) {
    case DbLink::kMain:
      return base::kDbConnectionOpen;
    case DbLink::kMT:
      return base::kDbConnectionMtOpen;
    case DbLink::kMO:
      return base::kDbConnectionMoOpen;
    case DbLink::kSR:
      return base::kDbConnectionSrOpen;
  }
  return base::kDbConnectionOpen;
}

struct SqlStateText {
  const char* state;
  const char* text;
};

// The standard texts of the SQLSTATEs drivers commonly report.
constexpr SqlStateText kSqlStates[] = {
    {"01000", "General warning"},
    {"01004", "String data, right truncated"},
    {"07002", "COUNT field incorrect"},
    {"07006", "Restricted data type attribute violation"},
    {"07009", "Invalid descriptor index"},
    {"08001", "Client unable to establish connection"},
    {"08002", "Connection name in use"},
    {"08003", "Connection not open"},
    {"08004", "Server rejected the connection"},
    {"08007", "Connection failure during transaction"},
    {"08S01", "Communication link failure"},
    {"21S01", "Insert value list does not match column list"},
    {"22001", "String data, right truncated"},
    {"22003", "Numeric value out of range"},
    {"22007", "Invalid datetime format"},
    {"22012", "Division by zero"},
    {"22018", "Invalid character value for cast specification"},
    {"23000", "Integrity constraint violation"},
    {"24000", "Invalid cursor state"},
    {"25000", "Invalid transaction state"},
    {"28000", "Invalid authorization specification"},
    {"3D000", "Invalid catalog name"},
    {"40001", "Serialization failure"},
    {"40003", "Statement completion unknown"},
    {"42000", "Syntax error or access violation"},
    {"42S01", "Base table or view already exists"},
    {"42S02", "Base table or view not found"},
    {"42S22", "Column not found"},
    {"HY000", "General error"},
    {"HY001", "Memory allocation error"},
    {"HY008", "Operation canceled"},
    {"HY010", "Function sequence error"},
    {"HYC00", "Optional feature not implemented"},
    {"HYT00", "Timeout expired"},
    {"HYT01", "Connection timeout expired"},
    {"IM001", "Driver does not support this function"},
    {"IM002", "Data source name not found and no default driver specified"},
    {"IM003", "Specified driver could not be loaded"},
    {"IM004", "Driver's SQLAllocHandle on SQL_HANDLE_ENV failed"},
    {"IM005", "Driver's SQLAllocHandle on SQL_HANDLE_DBC failed"},
    {"IM010", "Data source name too long"},
    {"IM012", "DRIVER keyword syntax error"},
};

// Class texts for SQLSTATEs missing above.
constexpr SqlStateText kSqlStateClasses[] = {
    {"01", "Warning"},
    {"07", "Dynamic SQL error"},
    {"08", "Connection exception"},
    {"21", "Cardinality violation"},
    {"22", "Data exception"},
    {"23", "Integrity constraint violation"},
    {"24", "Invalid cursor state"},
    {"25", "Invalid transaction state"},
    {"28", "Invalid authorization specification"},
    {"3D", "Invalid catalog name"},
    {"3F", "Invalid schema name"},
    {"40", "Transaction rollback"},
    {"42", "Syntax error or access violation"},
    {"HY", "General error"},
    {"IM", "Driver manager error"},
};

// Driver texts may span lines (psqlODBC appends a second one); a log line
// must stay one line, so line breaks become spaces.
std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

const char* LinkName(DbLink link) {
  switch (link) {
    case DbLink::kMain:
      return "DBConnection";
    case DbLink::kMT:
      return "DBConnectionMT";
    case DbLink::kMO:
      return "DBConnectionMO";
    case DbLink::kSR:
      return "DBConnectionSR";
  }
  return "DBConnection";
}

DbGateway::DbGateway(DbSettings settings) { SetSettings(std::move(settings)); }

void DbGateway::SetSettings(DbSettings settings) {
  std::array<std::unique_lock<std::recursive_mutex>, 4> locks;
  for (DbLink link : kAllLinks) {
    locks[static_cast<std::size_t>(link)] = std::unique_lock(Lock(link));
  }
  settings_ = std::move(settings);
  connectionString_ = WithNetworkTimeouts(BuildConnectionString(settings_), settings_.dbType);
  for (DbLink link : kAllLinks) {
    Get(link).SetProcedureSyntax(SyntaxForDbType(settings_.dbType));
    Batches(link).SetBounds(settings_.commitBatch);
  }
}

DbGateway::~DbGateway() { CloseAllConnections(); }

void DbGateway::OpenAllConnections() {
  std::array<std::unique_lock<std::recursive_mutex>, 4> locks;
  for (DbLink link : kAllLinks) {
    locks[static_cast<std::size_t>(link)] = std::unique_lock(Lock(link));
  }
  connected_ = false;
  for (int attempt = 0; !connected_ && attempt < settings_.openAttempts; ++attempt) {
    DbLink current = DbLink::kMain;
    bool failed = false;
    try {
      for (DbLink link : kAllLinks) {
        current = link;
        Get(link).Open(connectionString_);
        SetOpen(link, true);
      }
      connected_ = true;
    } catch (const DbException& e) {
      failed = true;
      // Close what this attempt opened before writing the lines, so the
      // next attempt starts from four closed connections.
      for (DbLink link : kAllLinks) {
        if (link == current) break;
        Get(link).Close();
        SetOpen(link, false);
      }
      SetOpen(current, false);
      if (current == DbLink::kMain) {
        base::LogWrite(1, SettingsFailureLine(settings_));
      } else {
        base::LogF(1, "数据库异常：{} Failed", LinkName(current));
      }
      LogProviderErrors(Get(current));
      LogComError(e.Error());
    } catch (const std::exception&) {
      failed = true;
      for (DbLink link : kAllLinks) {
        Get(link).Close();
        SetOpen(link, false);
      }
      base::LogF(1, "数据库异常：{} Failed", LinkName(current));
    }
    if (failed) {
      connected_ = false;
      base::LogWrite(1, "严重：连接数据库失败，重试中......");
      std::this_thread::sleep_for(settings_.retryPause);
    }
  }
}

bool DbGateway::OpenConnection(DbLink link) {
  std::lock_guard lock(Lock(link));
  Connection& connection = Get(link);
  bool opened = false;
  if (reconnectsRefused_.load()) {
    // A connection failed while the service stops: the server is most
    // likely gone, so every other connection counts as failed too and the
    // calls still to come fail at once instead of each waiting out the
    // driver's network timeout.
    connection.Close();
    for (DbLink any : kAllLinks) SetOpen(any, false);
    return false;
  }
  try {
    connection.Close();
    connection.Open(connectionString_);
    opened = true;
  } catch (const DbException& e) {
    LogProviderErrors(connection);
    LogComError(e.Error());
  } catch (const std::exception&) {
  }
  if (!opened) CountError();
  SetOpen(link, opened);
  return opened;
}

void DbGateway::CloseAllConnections() {
  for (DbLink link : kAllLinks) {
    std::lock_guard lock(Lock(link));
    if (Get(link).IsOpen()) Get(link).Close();
    SetOpen(link, false);
  }
  connected_ = false;
}

void DbGateway::SetOpen(DbLink link, bool open) {
  slot(link).open = open;
  PublishOpenFlag(link);
}

void DbGateway::PublishOpenFlag(DbLink link) const {
  base::StatusBlock().Set(StatusField(link), OpenFlag(link) ? 1 : 0);
}

std::string ComErrorMeaning(std::int32_t code, std::string_view sqlState,
                            std::string_view driverMessage) {
  if (!sqlState.empty()) {
    for (const auto& entry : kSqlStates) {
      if (sqlState == entry.state) return fmt::format("{}: {}", sqlState, entry.text);
    }
    for (const auto& entry : kSqlStateClasses) {
      if (sqlState.substr(0, 2) == entry.state) return fmt::format("{}: {}", sqlState, entry.text);
    }
  }
  if (!driverMessage.empty()) {
    std::string_view firstLine = driverMessage.substr(0, driverMessage.find_first_of("\r\n"));
    return sqlState.empty() ? std::string(firstLine) : fmt::format("{}: {}", sqlState, firstLine);
  }
  const auto bits = static_cast<std::uint32_t>(code);
  if (bits >= 0x80040201u && bits <= 0x8004FFFFu) {
    return fmt::format("IDispatch error #{}", bits - 0x80040200u);
  }
  return fmt::format("Unknown error 0x{:X}", bits);
}

std::string ComErrorLine(const DbError& error) {
  return fmt::format("数据库异常：CODE={}|MEANING={}|SOURCE={}|Description={}", error.code,
                     ComErrorMeaning(error.code, error.sqlState, error.description),
                     OneLine(error.source), OneLine(error.description));
}

void LogProviderErrors(const Connection& connection) {
  if (!base::LogEnabled(1)) return;
  for (const ProviderError& record : connection.Errors()) {
    base::LogF(1, "数据库异常：ErrorNumber:{};ErrorDescripe:{}", record.number,
               OneLine(record.description));
  }
}

void LogComError(const DbError& error) {
  if (!base::LogEnabled(1)) return;
  base::LogWrite(1, ComErrorLine(error));
}

}  // namespace brivane::db
