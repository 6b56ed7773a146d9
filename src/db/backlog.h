#pragma once
// The Submit backlog: how many rows wait to be sent (SubmitState 0) and how
// old the oldest of them is, read with one cheap aggregate query on the
// main connection. Called by the MT thread between passes, never per scrape.

#include <cstdint>
#include <string>
#include <string_view>

#include "db/connections.h"

namespace brivane::db {

struct SubmitBacklog {
  std::int64_t rows = 0;
  // Seconds since the oldest waiting row's CreateTime, by the database's
  // own clock (CreateTime is filled by the database); 0 with no rows.
  std::int64_t oldestSeconds = 0;
};

// The query for a DBType (any case), answering one row with the columns
// Waiting and OldestSeconds; empty for a DBType it does not know.
std::string SubmitBacklogQuery(std::string_view dbType);

// Runs the query on the main connection under its lock. False, with the
// error logged and counted on the gateway, when the connection is not open
// or the query fails; the connection is left for the calls to reopen.
bool ReadSubmitBacklog(DbGateway& gateway, const std::string& query, SubmitBacklog* backlog);

}  // namespace brivane::db
