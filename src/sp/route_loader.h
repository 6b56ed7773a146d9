#pragma once
// Loads the MO route table from the `Service` table over DBConnection. Runs
// on the initialising thread at every start that opens the database, before
// the SP client starts; holds DBConnection's lock for the query.

#include "db/connections.h"
#include "sp/routing.h"

namespace brivane::sp {

// Runs RoutingQuery(DBType) and replaces the table with its rows, longest
// SP number first, logging each route at level 2. Returns false, keeping the
// previous table, when DBConnection is not open or the load fails part way
// (the error lines are written).
bool GetAllRouteInfo(db::DbGateway& gateway, RouteTable& table);

}  // namespace brivane::sp
