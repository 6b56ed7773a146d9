#pragma once
// HTTP forwarding of MO messages: the form body, the POST with one retry
// (`PostMORequest`) and the forwarding step of the MO handler (`ForwardMo`:
// route lookup, POST, log lines and status-block counters). Called on the
// SP client's worker threads, many at once; nothing here keeps state between
// calls, and no connection stays open between MO messages.
//
// Texts handed in (numbers, LinkID, MsgId, carrier settings, route texts)
// are GBK; the message's own coding says what its bytes are. The body goes
// out as UTF-8, each value form-escaped. Status text and reply body come back
// in GBK, ready for AddDeliver.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sp/routing.h"

namespace brivane::sp {

// The codings of the bytes PostMORequest takes; any other value means GBK
// text. The MO handler hands over the merged text in host order, so 8 here
// is little-endian UTF-16, unlike Msg_Fmt 8 on the wire (big-endian).
inline constexpr int kCodingUtf16Le = 8;
inline constexpr int kCodingUtf8 = 16;  // UTF-8 bytes already

// The configuration the forward needs, copied from the process settings.
struct ForwardSettings {
  bool EnableHTTPClient = false;
  std::string DialogCarrierID;    // GBK
  std::string DialogCarrierNAME;  // GBK
  // Limit of one attempt, connect to last reply byte. A value of zero or
  // less falls back to the default, so a forward can never wait forever.
  std::chrono::milliseconds MOHTTPQuestTimeout{10000};
  // Set by the owner to abort every transfer in progress (within about a
  // second) and skip the retry: a stop must not wait for an application
  // that never answers. Shared, so a late reader never sees it dangle.
  std::shared_ptr<const std::atomic<bool>> cancel;
  // HTTPS: the application's certificate and host name are checked against
  // the system's CAs unless this is off (a self-signed application).
  bool MOHTTPVerifyCertificate = true;
};

// What one POST gave back. statusCode is 0 when no reply arrived; then
// statusText holds the transport's error text. Both texts are GBK.
struct HttpReply {
  int statusCode = 0;
  std::string statusText;
  std::string replyBody;
};

// Reply bodies are kept up to this many bytes; the rest is read and dropped
// (AddDeliver keeps 500 characters anyway).
inline constexpr std::size_t kReplyBodyKeep = 64 * 1024;

// application/x-www-form-urlencoded escaping of one value: ASCII letters,
// digits and - _ . ~ stay; every other byte becomes %XX (upper case).
std::string FormEscape(std::string_view bytes);

// The message as UTF-8: coding 16 unchanged, coding 8 from little-endian
// UTF-16 (an odd last byte is dropped), any other from GBK. Undecodable input
// becomes U+FFFD rather than being dropped.
std::string MessageToUtf8(int coding, std::string_view bytes);

// The form body: DIALOG.CARRIER_ID, DIALOG.CARRIER_NAME, DIALOG.MESSAGE,
// DIALOG.UMDA, DIALOG.SERVICE_CODE, DIALOG.TBL_SERVICEID, DIALOG.LINKID,
// DIALOG.MSGID in this order, joined by "&", each value converted to UTF-8
// (the message is UTF-8 already) and escaped on its own.
std::string BuildMoBody(const ForwardSettings& settings, std::string_view utf8Message,
                        std::string_view mobile, std::string_view linkId, std::string_view msgId,
                        const RouteInfo& route);

// A reply text as GBK: kept as it is when the Content-Type names a GB
// charset or the bytes are not valid UTF-8, converted from UTF-8 otherwise.
std::string ReplyTextToGbk(std::string_view text, std::string_view contentType);

// Posts one MO message to route.PostInterface (http or https; "http" when
// the URL has no scheme). At most two attempts, each writing
// "MORequest|Postdata <body>"; a failed attempt writes "MORequest|Fail "
// and the failure texts of this call so far. An attempt succeeds when a
// complete reply with a 2xx status arrived. `reply` holds the last attempt's
// outcome. Answers whether the last attempt succeeded. An https URL's
// certificate and host name are verified against the system's CAs unless
// settings.MOHTTPVerifyCertificate is off.
bool PostMORequest(const ForwardSettings& settings, int coding, std::string_view message,
                   std::string_view mobile, std::string_view linkId, std::string_view msgId,
                   RouteInfo route, HttpReply& reply);

// One complete MO message as the MO handler holds it (texts GBK).
struct MoForward {
  std::string_view destId;  // Dest_Id, matched against the routes
  std::string_view mobile;  // Src_terminal_Id
  std::string_view linkId;  // empty under CMPP 2.0
  std::string_view msgId;   // Msg_Id as decimal text
  int coding = 0;           // kCodingUtf16Le, kCodingUtf8, else GBK
  std::string_view content;
};

// What AddDeliver needs from the forwarding step. Without a route (or with
// EnableHTTPClient off) serviceId is -1, the status code 0 and the texts
// empty.
struct ForwardOutcome {
  bool routed = false;     // a route matched and a POST was made
  bool forwarded = false;  // PostMORequest succeeded
  std::int32_t serviceId = -1;
  HttpReply reply;
};

// The forwarding step: nothing at all when EnableHTTPClient is off;
// otherwise the route lookup ("WARNING|Route info not found." at level 4
// when none), the route line at level 3, PostMORequest, and one count in the
// status block (forward ok or forward failed).
ForwardOutcome ForwardMo(const RouteTable& routes, const ForwardSettings& settings,
                         const MoForward& mo);

}  // namespace brivane::sp
