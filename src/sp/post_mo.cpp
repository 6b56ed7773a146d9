#include "sp/post_mo.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "base/log.h"
#include "base/status_block.h"
#include "base/strings.h"
#include "base/text.h"

namespace brivane::sp {
namespace {

using base::FindNoCase;
using base::IsValidUtf8;
using base::StartsWithNoCase;

constexpr std::size_t kStatusTextKeep = 256;

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

std::string_view TrimLine(std::string_view s) {
  while (!s.empty() &&
         (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// libcurl's global set-up, once per process before the first handle.
bool CurlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// What one attempt collects while libcurl runs.
struct Exchange {
  std::string body;
  std::string reason;       // reason phrase of the last status line
  std::string contentType;  // of the last response
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  std::size_t n = size * count;
  if (ex->body.size() < kReplyBodyKeep)
    ex->body.append(data, std::min(n, kReplyBodyKeep - ex->body.size()));
  return n;  // the rest is read and dropped, so the reply still completes
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  std::size_t n = size * count;
  std::string_view line = TrimLine(std::string_view(data, n));
  if (line.substr(0, 5) == "HTTP/") {
    // A new status line (after an interim 1xx reply) starts a new response.
    ex->reason.clear();
    ex->contentType.clear();
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 != std::string_view::npos) ex->reason = line.substr(sp2 + 1, kStatusTextKeep);
  } else if (StartsWithNoCase(line, "content-type:")) {
    ex->contentType = TrimLine(line.substr(13));
  }
  return n;
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// One POST on a fresh handle. Answers whether a complete reply with a 2xx
// status arrived.
// libcurl calls this at least once a second while a transfer runs; a
// non-zero answer aborts it.
int OnProgress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

bool PostOnce(const std::string& url, const std::string& body, long timeoutMs, bool verify,
              const std::atomic<bool>* cancel, HttpReply& reply) {
  reply = HttpReply{};
  if (!CurlReady()) {
    reply.statusText = "HTTP client initialisation failed";
    return false;
  }
  std::unique_ptr<CURL, CurlDeleter> h(curl_easy_init());
  if (!h) {
    reply.statusText = "HTTP client initialisation failed";
    return false;
  }
  // No User-Agent (libcurl sends none unless asked); no "Expect: 100-continue",
  // which would cost a round trip on larger bodies.
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));
  if (headers) {
    curl_slist* more = curl_slist_append(headers.get(), "Expect:");
    if (!more) headers.reset();
  }
  if (!headers) {
    reply.statusText = "HTTP client initialisation failed";
    return false;
  }
  Exchange ex;
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* c = h.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_DEFAULT_PROTOCOL, "http");
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // worker threads: no SIGALRM for DNS timeouts
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &ex);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &ex);
  if (cancel) {
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  }

  CURLcode rc = curl_easy_perform(c);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  reply.statusCode = static_cast<int>(code);
  if (rc != CURLE_OK) {
    // No complete reply: the transport's reason stands in for the status
    // text, and a partial body is not given back.
    reply.statusText = errorText[0] ? errorText : curl_easy_strerror(rc);
    return false;
  }
  reply.statusText = ReplyTextToGbk(ex.reason, ex.contentType);
  reply.replyBody = ReplyTextToGbk(ex.body, ex.contentType);
  return code >= 200 && code < 300;
}

}  // namespace

std::string FormEscape(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string MessageToUtf8(int coding, std::string_view bytes) {
  if (coding == kCodingUtf8) return std::string(bytes);
  if (coding == kCodingUtf16Le) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return base::Utf16ToUtf8(units);
  }
  return base::GbkToUtf8(bytes);
}

std::string BuildMoBody(const ForwardSettings& settings, std::string_view utf8Message,
                        std::string_view mobile, std::string_view linkId, std::string_view msgId,
                        const RouteInfo& route) {
  auto gbk = [](std::string_view s) { return FormEscape(base::GbkToUtf8(s)); };
  std::string body;
  body.reserve(utf8Message.size() * 3 + 256);
  body += "DIALOG.CARRIER_ID=" + gbk(settings.DialogCarrierID);
  body += "&DIALOG.CARRIER_NAME=" + gbk(settings.DialogCarrierNAME);
  body += "&DIALOG.MESSAGE=" + FormEscape(utf8Message);
  body += "&DIALOG.UMDA=" + gbk(mobile);
  body += "&DIALOG.SERVICE_CODE=" + gbk(route.ServiceCode);
  body += "&DIALOG.TBL_SERVICEID=" + std::to_string(route.ServiceID);
  body += "&DIALOG.LINKID=" + gbk(linkId);
  body += "&DIALOG.MSGID=" + gbk(msgId);
  return body;
}

std::string ReplyTextToGbk(std::string_view text, std::string_view contentType) {
  std::size_t at = FindNoCase(contentType, "charset=");
  if (at != std::string_view::npos) {
    std::string_view charset = contentType.substr(at + 8);
    if (!charset.empty() && charset.front() == '"') charset.remove_prefix(1);
    if (StartsWithNoCase(charset, "gb")) return std::string(text);
  }
  if (!IsValidUtf8(text)) return std::string(text);
  return base::Utf8ToGbk(text);
}

bool PostMORequest(const ForwardSettings& settings, int coding, std::string_view message,
                   std::string_view mobile, std::string_view linkId, std::string_view msgId,
                   RouteInfo route, HttpReply& reply) {
  try {
    route.PostInterface[sizeof route.PostInterface - 1] = '\0';
    const std::string body =
        BuildMoBody(settings, MessageToUtf8(coding, message), mobile, linkId, msgId, route);
    const std::string url = base::GbkToUtf8(route.PostInterface);
    long timeoutMs = static_cast<long>(settings.MOHTTPQuestTimeout.count());
    if (timeoutMs <= 0) timeoutMs = ForwardSettings{}.MOHTTPQuestTimeout.count();

    // Not cleared between attempts: the second failure line repeats the
    // first attempt's text in front of its own.
    std::string failure;
    bool ok = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (attempt > 0 && settings.cancel && settings.cancel->load()) break;
      base::LogWrite(2, "MORequest|Postdata " + body);
      ok = PostOnce(url, body, timeoutMs, settings.MOHTTPVerifyCertificate, settings.cancel.get(),
                    reply);
      if (ok) break;
      failure += fmt::format("HTTP POST failed: {} {}", reply.statusCode,
                             base::GbkToUtf8(reply.statusText));
      base::LogWrite(2, "MORequest|Fail " + failure);
    }
    return ok;
  } catch (const std::exception& e) {
    base::LogF(2, "EXCEPTION|PostMORequest|ERR={} {}", errno, e.what());
    reply = HttpReply{};
    reply.statusText = "HTTP client exception";
    return false;
  }
}

ForwardOutcome ForwardMo(const RouteTable& routes, const ForwardSettings& settings,
                         const MoForward& mo) {
  ForwardOutcome out;
  if (!settings.EnableHTTPClient) return out;
  RouteInfo route;
  if (!routes.FindRouteInfo(mo.destId, route)) {
    base::LogWrite(4, "WARNING|Route info not found.");
    return out;
  }
  out.routed = true;
  out.serviceId = route.ServiceID;
  base::LogF(3, "信息：路由匹配，服务号码 = {}, PostInterface = {}",
             base::GbkToUtf8(route.SPNumber), base::GbkToUtf8(route.PostInterface));
  out.forwarded = PostMORequest(settings, mo.coding, mo.content, mo.mobile, mo.linkId, mo.msgId,
                                route, out.reply);
  base::StatusBlock().Add(out.forwarded ? base::kMoForwardOk : base::kMoForwardFail);
  return out;
}

}  // namespace brivane::sp
