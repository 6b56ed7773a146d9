#pragma once
// The calls through which several instances share one Submit table: claim
// rows for an instance, give back a claimed row that was not handed over,
// and take over rows that were handed over and never answered. They call
// the procedures of the schema's claim files (mysql, postgresql, mssql);
// SQLite has none.
//
// All three run on DBConnection, the MT poller's connection, from the MT
// thread (ReleaseSubmitRow also on another connection, from a worker). ClaimSubmitRows expects the
// caller to hold DBConnection's lock and throws DbException like Connection::Execute; the other two
// take the lock themselves, catch their errors, log them and answer with a boolean. The instance id
// is UTF-8 text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/connections.h"
#include "db/odbc.h"

namespace brivane::db {

inline constexpr const char* kClaimSubmitRows = "uspClaimSubmitRows";
inline constexpr const char* kReleaseSubmitRow = "uspReleaseSubmitRow";
inline constexpr const char* kTakeAbandonedSubmits = "uspTakeAbandonedSubmits";

// The longest instance id the claim columns hold.
inline constexpr std::size_t kInstanceIdMax = 255;

// Claims up to `count` rows (waiting ones, this instance's own unsent
// claims, claims older than the lease) and returns them as whole Submit
// rows.
Recordset ClaimSubmitRows(Connection& connection, std::string_view instance, std::int32_t count,
                          std::int32_t leaseSeconds);

// Gives back one row this instance claimed and did not hand over. True
// when the call ran (also when the row was no longer claimed by us). A
// worker thread gives back on DBConnectionMT (DBConnection is the pass's).
bool ReleaseSubmitRow(DbGateway& gateway, std::string_view instance, std::int64_t submitId,
                      DbLink link = DbLink::kMain);

// Takes over up to `count` rows handed over more than `afterSeconds` ago
// and still in the table, and stores their ids in *ids. False when the
// call failed (nothing taken).
bool TakeAbandonedSubmits(DbGateway& gateway, std::string_view instance, std::int32_t count,
                          std::int32_t afterSeconds, std::vector<std::int64_t>* ids);

}  // namespace brivane::db
