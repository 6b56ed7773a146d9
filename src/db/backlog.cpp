#include "db/backlog.h"

#include <algorithm>

#include "base/log.h"
#include "base/strings.h"

namespace brivane::db {

std::string SubmitBacklogQuery(std::string_view dbType) {
  const std::string type = base::AsciiLowered(dbType);
  // Each database fills CreateTime with its own local time, so the age is
  // taken against the same clock in the same query.
  if (type == "sqlite")
    return "SELECT COUNT(*) AS Waiting, COALESCE(CAST(strftime('%s', 'now', 'localtime') - "
           "strftime('%s', MIN(CreateTime)) AS INTEGER), 0) AS OldestSeconds "
           "FROM Submit WHERE SubmitState = 0";
  if (type == "mysql")
    return "SELECT COUNT(*) AS Waiting, COALESCE(TIMESTAMPDIFF(SECOND, MIN(CreateTime), NOW()), "
           "0) AS OldestSeconds FROM Submit WHERE SubmitState = 0";
  if (type == "postgresql")
    return "SELECT COUNT(*) AS Waiting, COALESCE(CAST(EXTRACT(EPOCH FROM (LOCALTIMESTAMP - "
           "MIN(CreateTime))) AS BIGINT), 0) AS OldestSeconds FROM Submit WHERE SubmitState = 0";
  if (type == "mssql")
    return "SELECT COUNT_BIG(*) AS Waiting, COALESCE(DATEDIFF(SECOND, MIN(CreateTime), "
           "GETDATE()), 0) AS OldestSeconds FROM Submit WHERE SubmitState = 0";
  if (type == "oracle")
    return "SELECT COUNT(*) AS \"Waiting\", COALESCE(ROUND((SYSDATE - MIN(\"CreateTime\")) * "
           "86400), 0) AS \"OldestSeconds\" FROM \"Submit\" WHERE \"SubmitState\" = 0";
  return "";
}

bool ReadSubmitBacklog(DbGateway& gateway, const std::string& query, SubmitBacklog* backlog) {
  if (query.empty()) return false;
  std::lock_guard lock(gateway.Lock(DbLink::kMain));
  if (!gateway.OpenFlag(DbLink::kMain)) return false;
  Connection& connection = gateway.Get(DbLink::kMain);
  try {
    Recordset rs = connection.Execute(query);
    if (rs.Eof()) return false;
    backlog->rows = rs.GetInt64("Waiting");
    // A clock set back, or rows stamped ahead of it, give no negative age.
    backlog->oldestSeconds = std::max<std::int64_t>(0, rs.GetInt64("OldestSeconds"));
    return true;
  } catch (const DbException& e) {
    gateway.CountError();
    LogProviderErrors(connection);
    LogComError(e.Error());
  } catch (const std::exception& e) {
    gateway.CountError();
    base::LogF(1, "EXCEPTION|SubmitBacklog|{}", e.what());
  }
  return false;
}

}  // namespace brivane::db
