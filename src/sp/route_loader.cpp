#include "sp/route_loader.h"

#include <cerrno>
#include <mutex>
#include <vector>

#include "base/log.h"

namespace brivane::sp {
namespace {

std::string TextOrEmpty(const db::Recordset& rs, std::string_view column) {
  return rs.IsNull(column) ? std::string() : rs.GetText(column);
}

}  // namespace

bool GetAllRouteInfo(db::DbGateway& gateway, RouteTable& table) {
  if (!gateway.OpenFlag(db::DbLink::kMain)) return false;
  std::lock_guard lock(gateway.Lock(db::DbLink::kMain));
  db::Connection& connection = gateway.DBConnection();
  try {
    db::Recordset rs = connection.Execute(RoutingQuery(gateway.Settings().dbType));
    std::vector<RouteInfo> routes;
    if (rs.RecordCount() > 0) rs.MoveFirst();
    while (!rs.Eof()) {
      RouteInfo route = MakeRouteInfo(rs.IsNull("ServiceID") ? 0 : rs.GetInt("ServiceID"),
                                      TextOrEmpty(rs, "ServiceCode"), TextOrEmpty(rs, "FeeType"),
                                      TextOrEmpty(rs, "FeeCode"), TextOrEmpty(rs, "SPNumber"),
                                      TextOrEmpty(rs, "PostInterface"));
      base::LogWrite(2, RouteInfoLogLine(route));
      routes.push_back(route);
      rs.MoveNext();
    }
    rs.Close();
    table.Replace(std::move(routes));
    return true;
  } catch (const db::DbException& e) {
    db::LogProviderErrors(connection);
    db::LogComError(e.Error());
    return false;
  } catch (const std::exception&) {
    base::LogF(2, "EXCEPTION|GetAllRouteInfo|ERR={}", errno);
    return false;
  }
}

}  // namespace brivane::sp
