#pragma once
// The four long-lived database connections and their error lines.
//
// DbGateway owns DBConnection (MT polling and UpdateSubmit), DBConnectionMT
// (DelSubmit), DBConnectionMO (AddDeliver) and DBConnectionSR
// (AddStatusReport), one open flag each, the database-connected flag and one
// re-entrant lock per connection. A connection is used only under its lock:
// the three callback connections' locks are the procedure locks, held
// across a whole call including its reopen and log lines; DBConnection's
// lock is taken by the MT poller for a pass and by UpdateSubmit, and is
// uncontended in normal running. CloseAllConnections takes each lock, so a
// restart never frees a connection under a running call.
//
// Threads: OpenAllConnections and CloseAllConnections run on the service's
// initialising thread; the calls (procedures.h) run on the MT thread and the
// SP client's workers. Flags are atomic and may be read from any thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "db/group_commit.h"
#include "db/odbc.h"
#include "db/settings.h"

namespace brivane::db {

enum class DbLink { kMain, kMT, kMO, kSR };
// The four connections in the order they are opened.
inline constexpr std::array<DbLink, 4> kAllLinks = {DbLink::kMain, DbLink::kMT, DbLink::kMO,
                                                    DbLink::kSR};

// "DBConnection", "DBConnectionMT", "DBConnectionMO", "DBConnectionSR".
const char* LinkName(DbLink link);

class DbGateway {
 public:
  explicit DbGateway(DbSettings settings);
  ~DbGateway();
  DbGateway(const DbGateway&) = delete;
  DbGateway& operator=(const DbGateway&) = delete;

  const DbSettings& Settings() const { return settings_; }
  const std::string& ConnectionString() const { return connectionString_; }
  // Takes new settings for the next opens (a restart re-reads the
  // configuration). Call it while the connections are closed and no call
  // runs, between CloseAllConnections and OpenAllConnections.
  void SetSettings(DbSettings settings);

  // Opens the four connections in order, up to settings.openAttempts times,
  // with the start-up failure lines and a pause after each failed attempt.
  // Sets the database-connected flag when all four opened.
  void OpenAllConnections();
  // Closes and reopens one connection, storing and returning the outcome.
  // A failure writes the provider and error lines.
  bool OpenConnection(DbLink link);
  // While set, OpenConnection fails at once without trying and marks every
  // connection failed: the calls still to come fail without a wait.
  // Set by a stopping service, so that queued calls on a database that
  // stopped answering do not each wait out a connect timeout. Any thread.
  void SetReconnectsRefused(bool refused) { reconnectsRefused_.store(refused); }
  // Closes every open connection (each under its lock) and clears the
  // open flags and the database-connected flag.
  void CloseAllConnections();

  bool DatabaseConnected() const { return connected_.load(); }
  // Failed database operations since the gateway was made: a connection
  // that did not open, a procedure call or query the database refused.
  // Any thread counts and reads.
  void CountError() { errors_.fetch_add(1); }
  std::uint64_t Errors() const { return errors_.load(); }
  bool OpenFlag(DbLink link) const { return slot(link).open.load(); }
  // Copies a connection's open flag into its status-block field (done on
  // every change already; callers may repeat it after a start cleared the
  // block).
  void PublishOpenFlag(DbLink link) const;

  // The connection and its lock. Use the connection only while holding it.
  Connection& Get(DbLink link) { return slot(link).connection; }
  std::recursive_mutex& Lock(DbLink link) { return slot(link).lock; }
  // The batches of calls made on a connection (see procedures.h).
  GroupCommit& Batches(DbLink link) { return slot(link).batches; }
  Connection& DBConnection() { return Get(DbLink::kMain); }
  Connection& DBConnectionMO() { return Get(DbLink::kMO); }
  Connection& DBConnectionSR() { return Get(DbLink::kSR); }

 private:
  struct Slot {
    // Re-entrant: a procedure call or a batch holds it across its database
    // work and reopens a failed connection through OpenConnection, which
    // takes it again on the same thread.
    std::recursive_mutex lock;
    Connection connection;
    std::atomic<bool> open{false};
    GroupCommit batches;
  };
  Slot& slot(DbLink link) { return slots_[static_cast<std::size_t>(link)]; }
  // Every change of an open flag goes to the status block at once, so an
  // outside monitor never reads a flag the service no longer holds.
  void SetOpen(DbLink link, bool open);
  const Slot& slot(DbLink link) const { return slots_[static_cast<std::size_t>(link)]; }

  DbSettings settings_;
  std::string connectionString_;
  std::array<Slot, 4> slots_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> reconnectsRefused_{false};
  std::atomic<std::uint64_t> errors_{0};
};

// The MEANING text of an error: the standard text of its SQLSTATE, else the
// driver's message, else "IDispatch error #n" (n = code - 0x80040200) for
// codes 0x80040201..0x8004FFFF and "Unknown error 0x%X" for all others.
std::string ComErrorMeaning(std::int32_t code, std::string_view sqlState,
                            std::string_view driverMessage);

// "数据库异常：CODE=<code>|MEANING=<meaning>|SOURCE=<source>|Description=<text>".
std::string ComErrorLine(const DbError& error);

// Writes, at level 1, one "数据库异常：ErrorNumber:<n>;ErrorDescripe:<text>"
// line per diagnostic record the connection's last failure left.
void LogProviderErrors(const Connection& connection);
// Writes ComErrorLine at level 1.
void LogComError(const DbError& error);

}  // namespace brivane::db
