#pragma once
// MO routing: the routes loaded from the database table `Service` and the
// lookup that picks the route for an MO's destination number (longest
// SP-number prefix first). Route texts are GBK, as the database gateway
// hands them over.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace brivane::sp {

// One route, a plain record copied by value. Every text is zero-terminated;
// the loader keeps at most kRouteTextMax bytes (kPostInterfaceMax for the URL).
// A default-constructed route is all zero.
struct RouteInfo {
  char ServiceCode[260] = {};
  char FeeType[260] = {};        // loaded and logged only
  char FeeCode[260] = {};        // loaded and logged only
  char SPNumber[260] = {};       // the prefix matched against the MO's destination number
  char PostInterface[260] = {};  // the URL the MO is posted to
  std::int32_t ServiceID = 0;
};

inline constexpr std::size_t kRouteTextMax = 50;
inline constexpr std::size_t kPostInterfaceMax = 259;

// A route from one `Service` row's values (GBK texts). Texts are cut to
// their limits at a character boundary, so a cut never leaves half a GBK
// character behind.
RouteInfo MakeRouteInfo(std::int32_t serviceId, std::string_view serviceCode,
                        std::string_view feeType, std::string_view feeCode,
                        std::string_view spNumber, std::string_view postInterface);

// The level-2 line the loader writes for each route it read (UTF-8):
// "RouteInfo: ServiceID = 7, ServiceCode = ..., FeeType = ..., ...".
std::string RouteInfoLogLine(const RouteInfo& route);

// The query that reads the routes, longest SP number first. `len` exists
// only in SQL Server, so every other DBType gets LENGTH.
std::string RoutingQuery(std::string_view dbType);

// The route table. The loader builds a complete list and swaps it in with
// Replace; worker threads look routes up at the same time. A lookup works on
// the snapshot it took, so a swap never changes a list while it is walked.
// mutex_ guards only the pointer; no lookup holds it while walking.
class RouteTable {
 public:
  RouteTable();

  // Replaces the whole table (a reload drops routes that are gone). The
  // routes are ordered by SP-number length, longest first, keeping the
  // given order among equal lengths, so the first match is the longest
  // prefix even when the rows did not arrive sorted.
  void Replace(std::vector<RouteInfo> routes);

  // Fills `route` with the first route whose non-empty SPNumber is a prefix
  // of destId (byte comparison) and answers true; false when none matches.
  bool FindRouteInfo(std::string_view destId, RouteInfo& route) const;

  std::size_t Size() const;
  std::shared_ptr<const std::vector<RouteInfo>> Snapshot() const;

  // GetAllRouteInfo (route_loader.h) fills the table from `Service`.

 private:
  mutable base::Mutex mutex_;
  std::shared_ptr<const std::vector<RouteInfo>> routes_ GUARDED_BY(mutex_);
};

}  // namespace brivane::sp
