#include "db/procedures.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

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
      gateway.CountError();
      LogProviderErrors(connection);
      LogComError(e.Error());
      base::LogF(2, "{}, Reconnect...", call.name);
      gateway.OpenConnection(call.link);
    } catch (const std::exception&) {
      gateway.CountError();
      base::LogF(2, "EXCEPTION|{}|ERR={}", call.name, static_cast<unsigned>(errno));
    }
  }
  return result;
}

// SQLite's calls are inserts into views, and its driver compiles the
// statement (the view's trigger with it) at every execution, which costs
// more than running it. A batch there goes as multi-row inserts of up to
// this many calls: one compile for them all, the trigger still firing once
// per row, in order, inside the batch's transaction.
constexpr std::size_t kRowsPerInsert = 32;

void ExecuteBatchCalls(Connection& connection, const CallInfo& call,
                       const std::vector<BatchCall*>& batch) {
  const bool multiRow = connection.Syntax() == ProcedureSyntax::kInsertIntoView;
  const std::size_t step = multiRow ? kRowsPerInsert : 1;
  for (std::size_t from = 0; from < batch.size(); from += step) {
    Command command(connection, call.procedure);
    const std::size_t to = std::min(batch.size(), from + step);
    for (std::size_t i = from; i < to; ++i) {
      batch[i]->fill(command);
      if (multiRow) command.EndRow();
    }
    command.Execute();
  }
}

// Runs a batch of calls of one procedure on one connection; the caller
// holds the connection's lock throughout. A batch of one is an ordinary call. A larger
// one runs in one transaction, committed once; when any call of it fails
// the transaction is rolled back and the calls run again one by one, each
// committing alone, so that one call the database refuses costs only its
// own outcome and the reconnect of an ordinary failed call still happens.
void RunBatchLocked(DbGateway& gateway, const CallInfo& call,
                    const std::vector<BatchCall*>& batch) {
  auto oneByOne = [&] {
    for (BatchCall* c : batch) c->ok = CallProcedure(gateway, call, c->fill);
  };
  if (batch.size() == 1) return oneByOne();
  if (!gateway.OpenFlag(call.link)) gateway.OpenConnection(call.link);
  if (!gateway.OpenFlag(call.link)) return oneByOne();
  Connection& connection = gateway.Get(call.link);
  bool committed = false;
  try {
    connection.SetAutoCommit(false);
    ExecuteBatchCalls(connection, call, batch);
    connection.EndTransaction(true);
    committed = true;
  } catch (const std::exception&) {
    base::LogF(2, "{}|a transaction of {} calls failed, running them one by one;", call.name,
               batch.size());
    try {
      connection.EndTransaction(false);
    } catch (const std::exception&) {
      // The link is gone: the first call below reopens it.
    }
  }
  try {
    connection.SetAutoCommit(true);
  } catch (const DbException& e) {
    LogProviderErrors(connection);
    LogComError(e.Error());
    base::LogF(2, "{}, Reconnect...", call.name);
    gateway.OpenConnection(call.link);
  }
  if (!committed) return oneByOne();
  for (BatchCall* c : batch) {
    c->ok = true;
    base::StatusBlock().Add(call.counter);
  }
}

// RunBatchLocked under the connection's lock. At level 4 it logs what the
// batches look like under load: their size, how long the oldest call
// waited before its batch held the connection, and how long the batch held
// it.
void RunBatch(DbGateway& gateway, const CallInfo& call, const std::vector<BatchCall*>& batch) {
  std::lock_guard lock(gateway.Lock(call.link));
  const auto lockedAt = std::chrono::steady_clock::now();
  RunBatchLocked(gateway, call, batch);
  if (!base::LogEnabled(4) || batch.empty()) return;
  using Ms = std::chrono::duration<double, std::milli>;
  const auto queuedAt = batch.front()->queuedAt;
  const double waitedMs =
      queuedAt.time_since_epoch().count() == 0 ? 0.0 : Ms(lockedAt - queuedAt).count();
  base::LogF(4, "{}|batch of {} calls, held the connection {:.2f} ms, oldest waited {:.2f} ms;",
             call.name, batch.size(), Ms(std::chrono::steady_clock::now() - lockedAt).count(),
             waitedMs);
}

// A call through its connection's batches: it returns once its batch has
// run, with its own outcome.
bool BatchedCall(DbGateway& gateway, const CallInfo& call, std::function<void(Command&)> fill) {
  GroupCommit& batches = gateway.Batches(call.link);
  if (batches.Bounds().maxCalls == 1) {
    // Calls kept alone: the plain call under the connection's lock.
    std::lock_guard lock(gateway.Lock(call.link));
    return CallProcedure(gateway, call, fill);
  }
  BatchCall entry;
  entry.fill = std::move(fill);
  return batches.Run(entry, [&](const std::vector<BatchCall*>& batch) {
    try {
      RunBatch(gateway, call, batch);
    } catch (const std::exception& e) {
      base::LogF(1, "EXCEPTION|{}|{}", call.name, e.what());
    }
  });
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

std::vector<bool> UpdateSubmits(DbGateway& gateway, const std::vector<SubmitMark>& marks) {
  const CallInfo call{"UpdateSubmit", DbLink::kMain, gateway.Settings().spUpdateSubmit,
                      base::kSubmitHandedOver};
  std::vector<bool> stored(marks.size(), false);
  const std::size_t chunk = std::max<std::size_t>(1, gateway.Settings().commitBatch.maxCalls);
  std::vector<BatchCall> calls(marks.size());
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const SubmitMark& m = marks[i];
    calls[i].fill = [&m](Command& c) {
      c.AppendInt64(static_cast<std::int64_t>(m.id));
      c.AppendInt(static_cast<std::int32_t>(m.msgFmt));
      c.AppendInt(static_cast<std::int32_t>(m.smsCount));
    };
  }
  for (std::size_t from = 0; from < calls.size(); from += chunk) {
    std::vector<BatchCall*> batch;
    for (std::size_t i = from; i < std::min(calls.size(), from + chunk); ++i)
      batch.push_back(&calls[i]);
    try {
      RunBatch(gateway, call, batch);
    } catch (const std::exception& e) {
      base::LogF(1, "EXCEPTION|{}|{}", call.name, e.what());
    }
    for (std::size_t i = from; i < from + batch.size(); ++i) stored[i] = calls[i].ok;
  }
  gateway.PublishOpenFlag(call.link);
  return stored;
}

bool UpdateSubmitWritten(DbGateway& gateway, const SubmitMark& mark) {
  const CallInfo call{"UpdateSubmit", DbLink::kMT, gateway.Settings().spUpdateSubmit,
                      base::kSubmitHandedOver};
  // A call of its own under the connection's lock, never in its batches:
  // a batch runs every call it holds as one procedure (DelSubmit's).
  std::lock_guard lock(gateway.Lock(call.link));
  bool result = CallProcedure(gateway, call, [&](Command& c) {
    c.AppendInt64(static_cast<std::int64_t>(mark.id));
    c.AppendInt(static_cast<std::int32_t>(mark.msgFmt));
    c.AppendInt(static_cast<std::int32_t>(mark.smsCount));
  });
  gateway.PublishOpenFlag(call.link);
  return result;
}

bool DelSubmit(DbGateway& gateway, std::uint64_t submitId, std::string_view msgId,
               std::uint32_t submitResult) {
  const CallInfo call{"DelSubmit", DbLink::kMT, gateway.Settings().spDelSubmit,
                      base::kSubmitResultStored};
  if (base::LogEnabled(3)) {
    base::LogF(3, "MT应答|{}|{}|{}", submitId, ForLog(msgId), submitResult);
  }
  bool result = BatchedCall(gateway, call, [&](Command& c) {
    c.AppendInt64(static_cast<std::int64_t>(submitId));
    c.AppendTextGbk(msgId);
    c.AppendInt(static_cast<std::int32_t>(submitResult));
  });
  gateway.PublishOpenFlag(call.link);
  return result;
}

bool AddDeliver(DbGateway& gateway, const DeliverRecord& r) {
  const CallInfo call{"AddDeliver", DbLink::kMO, gateway.Settings().spAddDeliver, base::kMoStored};
  bool result = BatchedCall(gateway, call, [&](Command& c) {
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
  if (base::LogEnabled(3)) {
    base::LogF(3, "状态报告|{}|{}|{}", ForLog(mobile), ForLog(msgId), ForLog(stat));
  }
  bool result = BatchedCall(gateway, call, [&](Command& c) {
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
