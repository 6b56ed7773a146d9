#pragma once
// The four procedure calls through which the gateway records events:
// UpdateSubmit (a Submit row was handed to the SMG client, MT thread),
// DelSubmit (the SMG's outcome of a submit), AddDeliver (an MO message) and
// AddStatusReport (a status report), the last three on SP client workers.
//
// Each call holds its connection's lock for its whole run, reopens its
// connection first when the open flag is down, and after a database error
// writes the error lines and its reconnect line and reopens once: at most
// two opens per call, never a wait. Each counts in the status block when
// its procedure ran and copies its connection's open flag there at the end.
// Texts are GBK (converted to UTF-16 for binding) except the MO message,
// which is UTF-16 already. Unsigned values bind as the same 32 bits in a
// signed integer parameter, so an outcome of -1 arrives as -1. A row id
// binds as a 64-bit integer: SubmitID is the row's key whole.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/connections.h"

namespace brivane::db {

// SP_UpdateSubmit(Id, MsgFmt, SMSCount) on DBConnection.
bool UpdateSubmit(DbGateway& gateway, std::uint64_t id, std::uint32_t msgFmt,
                  std::uint32_t smsCount);

// One row's hand-over mark, as UpdateSubmit stores it.
struct SubmitMark {
  std::uint64_t id = 0;
  std::uint32_t msgFmt = 0;
  std::uint32_t smsCount = 0;
};

// UpdateSubmit for several rows (the MT thread's marks of a pass), committed
// together in transactions of at most the gateway's commitBatch.maxCalls
// calls; when a transaction fails, its calls are made one by one. Gives, in
// order, whether each mark was stored. Counts and logs per call.
std::vector<bool> UpdateSubmits(DbGateway& gateway, const std::vector<SubmitMark>& marks);

// SP_UpdateSubmit on DBConnectionMT, committed alone (between its batches
// of DelSubmit calls): the mark a worker stores right after writing a
// claimed row, on the connection the workers record outcomes on
// (DBConnection is held by the MT pass while it sends).
bool UpdateSubmitWritten(DbGateway& gateway, const SubmitMark& mark);

// SP_DelSubmit(SubmitID, MsgId, SubmitResult) on DBConnectionMT. msgId is
// the decimal Msg_Id text, empty when the submit could not be written.
bool DelSubmit(DbGateway& gateway, std::uint64_t submitId, std::string_view msgId,
               std::uint32_t submitResult);

// One MO message as AddDeliver stores it.
struct DeliverRecord {
  std::string mobile;  // the sender, Src_terminal_Id
  std::u16string msg;  // the whole (possibly merged) text
  std::string spNumber;
  std::string linkId;
  std::string msgId;  // decimal Msg_Id text
  std::int32_t responseCode = 0;
  std::string responseInfo;  // at most 500 characters
  std::string replyBody;     // at most 500 characters
  std::int32_t serviceId = -1;
  std::int32_t pkTotal = 1;
  std::string serviceCode;  // the deliver's Service_Id
};

// SP_AddDeliver(Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode,
// ResponseInfo, ReplyBody, ServiceId, PKTotal, ServiceCode) on
// DBConnectionMO. True when the procedure was executed.
bool AddDeliver(DbGateway& gateway, const DeliverRecord& record);

// SP_AddStatusReport(MsgId, SubmitState, Mobile, SubmitTime, DoneTime) on
// DBConnectionSR.
bool AddStatusReport(DbGateway& gateway, std::string_view msgId, std::string_view stat,
                     std::string_view mobile, std::string_view submitTime,
                     std::string_view doneTime);

}  // namespace brivane::db
