#include "db/procedures.h"

#include <cerrno>
#include <mutex>

#include "base/log.h"
#include "base/status_block.h"
#include "base/text.h"

namespace brivane::db {
namespace {

// GBK text as the UTF-8 the log holds; ASCII (numbers, ids) passes as is.
std::string ForLog(std::string_view gbk) {
  for (char c : gbk) {
    if (static_cast<unsigned char>(c) >= 0x80) return base::GbkToUtf8(gbk);
  }
  return std::string(gbk);
}

struct CallInfo {
  const char* name;  // the call's name in its reconnect and exception lines
  DbLink link;
  const std::string& procedure;
  std::size_t counter;
};

// The pattern every call follows; `fill` appends the parameters.
template <typename Fill>
bool CallProcedure(DbGateway& gateway, const CallInfo& call, Fill&& fill) {
  bool result = false;
  if (!gateway.OpenFlag(call.link)) gateway.OpenConnection(call.link);
  if (gateway.OpenFlag(call.link)) {
    Connection& connection = gateway.Get(call.link);
    try {
      Command command(connection, call.procedure);
      fill(command);
      command.Execute();
      base::StatusBlock().Add(call.counter);
      result = true;
    } catch (const DbException& e) {
      LogProviderErrors(connection);
      LogComError(e.Error());
      base::LogF(2, "{}, Reconnect...", call.name);
      gateway.OpenConnection(call.link);
    } catch (const std::exception&) {
      base::LogF(2, "EXCEPTION|{}|ERR={}", call.name, static_cast<unsigned>(errno));
    }
  }
  return result;
}

}  // namespace

bool UpdateSubmit(DbGateway& gateway, std::uint64_t id, std::uint32_t msgFmt,
                  std::uint32_t smsCount) {
  const CallInfo call{"UpdateSubmit", DbLink::kMain, gateway.Settings().spUpdateSubmit,
                      base::kSubmitHandedOver};
  std::lock_guard lock(gateway.Lock(call.link));
  bool result = CallProcedure(gateway, call, [&](Command& c) {
    c.AppendInt64(static_cast<std::int64_t>(id));
    c.AppendInt(static_cast<std::int32_t>(msgFmt));
    c.AppendInt(static_cast<std::int32_t>(smsCount));
  });
  gateway.PublishOpenFlag(call.link);
  return result;
}

bool DelSubmit(DbGateway& gateway, std::uint64_t submitId, std::string_view msgId,
               std::uint32_t submitResult) {
  const CallInfo call{"DelSubmit", DbLink::kMT, gateway.Settings().spDelSubmit,
                      base::kSubmitResultStored};
  std::lock_guard lock(gateway.Lock(call.link));
  if (base::LogEnabled(3)) {
    base::LogF(3, "MT应答|{}|{}|{}", submitId, ForLog(msgId), submitResult);
  }
  bool result = CallProcedure(gateway, call, [&](Command& c) {
    c.AppendInt64(static_cast<std::int64_t>(submitId));
    c.AppendTextGbk(msgId);
    c.AppendInt(static_cast<std::int32_t>(submitResult));
  });
  gateway.PublishOpenFlag(call.link);
  return result;
}

bool AddDeliver(DbGateway& gateway, const DeliverRecord& r) {
  const CallInfo call{"AddDeliver", DbLink::kMO, gateway.Settings().spAddDeliver, base::kMoStored};
  std::lock_guard lock(gateway.Lock(call.link));
  bool result = CallProcedure(gateway, call, [&](Command& c) {
    c.AppendTextGbk(r.mobile);
    c.AppendText(r.msg);
    c.AppendTextGbk(r.spNumber);
    c.AppendTextGbk(r.linkId);
    c.AppendTextGbk(r.msgId);
    c.AppendInt(r.responseCode);
    c.AppendTextGbk(r.responseInfo);
    c.AppendTextGbk(r.replyBody);
    c.AppendInt(r.serviceId);
    c.AppendInt(r.pkTotal);
    c.AppendTextGbk(r.serviceCode);
  });
  if (base::LogEnabled(3)) base::LogF(3, "上行消息|{}|{}", ForLog(r.mobile), ForLog(r.msgId));
  gateway.PublishOpenFlag(call.link);
  return result;
}

bool AddStatusReport(DbGateway& gateway, std::string_view msgId, std::string_view stat,
                     std::string_view mobile, std::string_view submitTime,
                     std::string_view doneTime) {
  const CallInfo call{"AddStatusReport", DbLink::kSR, gateway.Settings().spAddStatusReport,
                      base::kReportStored};
  std::lock_guard lock(gateway.Lock(call.link));
  if (base::LogEnabled(3)) {
    base::LogF(3, "状态报告|{}|{}|{}", ForLog(mobile), ForLog(msgId), ForLog(stat));
  }
  bool result = CallProcedure(gateway, call, [&](Command& c) {
    c.AppendTextGbk(msgId);
    c.AppendTextGbk(stat);
    c.AppendTextGbk(mobile);
    c.AppendTextGbk(submitTime);
    c.AppendTextGbk(doneTime);
  });
  gateway.PublishOpenFlag(call.link);
  return result;
}

}  // namespace brivane::db
