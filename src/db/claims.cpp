#include "db/claims.h"

#include <mutex>

#include "base/log.h"
#include "base/text.h"

namespace brivane::db {
namespace {

// Runs `body` on a connection under its lock, reopening a closed connection
// first; a database error writes the error lines and reopens once.
template <typename Body>
bool OnConnection(DbGateway& gateway, DbLink link, const char* name, Body&& body) {
  std::lock_guard lock(gateway.Lock(link));
  if (!gateway.OpenFlag(link) && !gateway.OpenConnection(link)) return false;
  Connection& connection = gateway.Get(link);
  try {
    body(connection);
    return true;
  } catch (const DbException& e) {
    LogProviderErrors(connection);
    LogComError(e.Error());
    base::LogF(2, "{}, Reconnect...", name);
    gateway.OpenConnection(link);
  } catch (const std::exception& e) {
    base::LogF(2, "EXCEPTION|{}|{}", name, e.what());
  }
  return false;
}

}  // namespace

Recordset ClaimSubmitRows(Connection& connection, std::string_view instance, std::int32_t count,
                          std::int32_t leaseSeconds) {
  Command command(connection, kClaimSubmitRows);
  command.AppendText(base::Utf8ToUtf16(instance));
  command.AppendInt(count);
  command.AppendInt(leaseSeconds);
  return command.Query();
}

bool ReleaseSubmitRow(DbGateway& gateway, std::string_view instance, std::int64_t submitId,
                      DbLink link) {
  return OnConnection(gateway, link, "ReleaseSubmitRow", [&](Connection& connection) {
    Command command(connection, kReleaseSubmitRow);
    command.AppendText(base::Utf8ToUtf16(instance));
    command.AppendInt64(submitId);
    command.Execute();
  });
}

bool TakeAbandonedSubmits(DbGateway& gateway, std::string_view instance, std::int32_t count,
                          std::int32_t afterSeconds, std::vector<std::int64_t>* ids) {
  ids->clear();
  std::vector<std::int64_t> taken;
  bool ok =
      OnConnection(gateway, DbLink::kMain, "TakeAbandonedSubmits", [&](Connection& connection) {
        Command command(connection, kTakeAbandonedSubmits);
        command.AppendText(base::Utf8ToUtf16(instance));
        command.AppendInt(count);
        command.AppendInt(afterSeconds);
        Recordset rs = command.Query();
        if (rs.RecordCount() > 0) rs.MoveFirst();
        for (; !rs.Eof(); rs.MoveNext()) taken.push_back(rs.GetInt64("AbandonedID"));
      });
  if (ok) *ids = std::move(taken);
  return ok;
}

}  // namespace brivane::db
