#include "sp/routing.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/text.h"

namespace brivane::sp {
namespace {

// Copies at most `max` bytes of a GBK text into a zero-terminated field,
// never splitting a double-byte character.
template <std::size_t N>
void CopyGbk(char (&field)[N], std::string_view text, std::size_t max) {
  static_assert(N > 0);
  if (max > N - 1) max = N - 1;
  std::size_t n = 0;
  while (n < text.size()) {
    std::size_t step = base::IsGbkLeadByte(static_cast<unsigned char>(text[n])) ? 2 : 1;
    if (n + step > max || n + step > text.size()) break;
    n += step;
  }
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, N - n);
}

}  // namespace

RouteInfo MakeRouteInfo(std::int32_t serviceId, std::string_view serviceCode,
                        std::string_view feeType, std::string_view feeCode,
                        std::string_view spNumber, std::string_view postInterface) {
  RouteInfo r;
  CopyGbk(r.ServiceCode, serviceCode, kRouteTextMax);
  CopyGbk(r.FeeType, feeType, kRouteTextMax);
  CopyGbk(r.FeeCode, feeCode, kRouteTextMax);
  CopyGbk(r.SPNumber, spNumber, kRouteTextMax);
  CopyGbk(r.PostInterface, postInterface, kPostInterfaceMax);
  r.ServiceID = serviceId;
  return r;
}

std::string RouteInfoLogLine(const RouteInfo& r) {
  return fmt::format(
      "RouteInfo: ServiceID = {}, ServiceCode = {}, FeeType = {}, FeeCode = {}, SPNumber = {}, "
      "PostInterface = {}",
      r.ServiceID, base::GbkToUtf8(r.ServiceCode), base::GbkToUtf8(r.FeeType),
      base::GbkToUtf8(r.FeeCode), base::GbkToUtf8(r.SPNumber), base::GbkToUtf8(r.PostInterface));
}

std::string RoutingQuery(std::string_view dbType) {
  const char* lengthFunction = dbType == "mssql" ? "len" : "length";
  return fmt::format("SELECT * FROM Service WHERE EnableRoute > 0 ORDER BY {}(spnumber) DESC",
                     lengthFunction);
}

RouteTable::RouteTable() : routes_(std::make_shared<const std::vector<RouteInfo>>()) {}

void RouteTable::Replace(std::vector<RouteInfo> routes) {
  // Fields are always terminated within their arrays (MakeRouteInfo, or a
  // zeroed record), but a hand-built record might not be: terminate it here
  // so that a lookup never reads past a field.
  for (RouteInfo& r : routes) {
    r.ServiceCode[sizeof r.ServiceCode - 1] = '\0';
    r.FeeType[sizeof r.FeeType - 1] = '\0';
    r.FeeCode[sizeof r.FeeCode - 1] = '\0';
    r.SPNumber[sizeof r.SPNumber - 1] = '\0';
    r.PostInterface[sizeof r.PostInterface - 1] = '\0';
  }
  std::stable_sort(routes.begin(), routes.end(), [](const RouteInfo& a, const RouteInfo& b) {
    return std::strlen(a.SPNumber) > std::strlen(b.SPNumber);
  });
  auto fresh = std::make_shared<const std::vector<RouteInfo>>(std::move(routes));
  std::shared_ptr<const std::vector<RouteInfo>> old;
  {
    base::MutexLock lock(mutex_);
    old = std::exchange(routes_, std::move(fresh));
  }
  // The old list is freed here, outside the lock, unless a lookup still
  // holds it; then the last lookup frees it.
}

bool RouteTable::FindRouteInfo(std::string_view destId, RouteInfo& route) const {
  std::shared_ptr<const std::vector<RouteInfo>> routes = Snapshot();
  for (const RouteInfo& r : *routes) {
    std::string_view prefix(r.SPNumber);
    if (prefix.empty()) continue;  // the empty text is a prefix of every number
    if (destId.size() >= prefix.size() && destId.compare(0, prefix.size(), prefix) == 0) {
      route = r;
      return true;
    }
  }
  return false;
}

std::size_t RouteTable::Size() const { return Snapshot()->size(); }

std::shared_ptr<const std::vector<RouteInfo>> RouteTable::Snapshot() const {
  base::MutexLock lock(mutex_);
  return routes_;
}

}  // namespace brivane::sp
