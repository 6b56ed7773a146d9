#include "sp/mt_content.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"

namespace brivane::sp {
namespace {

bool HasLeadByte(std::string_view gbk) {
  return std::any_of(gbk.begin(), gbk.end(),
                     [](char c) { return base::IsGbkLeadByte(static_cast<unsigned char>(c)); });
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

constexpr std::size_t kMaxPushBytes = 1024;

}  // namespace

MtContent EncodeMtText(std::u16string_view text, std::size_t maxBytes) {
  MtContent out;
  bool lossless = true;
  std::string gbk = base::Utf16ToGbk(text, &lossless);
  if (lossless && !HasLeadByte(gbk)) {
    out.Msg_Fmt = 0;
    if (gbk.size() > maxBytes) {
      gbk.resize(maxBytes);  // ASCII only: every byte is a character
      out.cut = true;
    }
    out.bytes.assign(gbk.begin(), gbk.end());
    return out;
  }
  // UCS-2: every UTF-16 unit big-endian. A character GBK lacks (an emoji)
  // keeps its UTF-16 form instead of turning into '?'.
  std::size_t units = text.size();
  std::size_t maxUnits = maxBytes / 2;
  if (units > maxUnits) {
    units = maxUnits;
    // Never leave half of a surrogate pair at the end.
    if (units > 0 && IsHighSurrogate(text[units - 1])) --units;
    out.cut = true;
  }
  out.Msg_Fmt = 8;
  out.bytes.reserve(units * 2);
  for (std::size_t i = 0; i < units; ++i) {
    out.bytes.push_back(static_cast<std::uint8_t>(text[i] >> 8));
    out.bytes.push_back(static_cast<std::uint8_t>(text[i] & 0xFF));
  }
  return out;
}

void FillContent(cmpp::CmppSubmit& record, const MtContent& content) {
  std::size_t n = std::min(content.bytes.size(), kMaxMtContentBytes);
  std::memset(record.Msg_Content, 0, sizeof record.Msg_Content);
  if (n > 0) std::memcpy(record.Msg_Content, content.bytes.data(), n);
  record.Msg_Length = static_cast<std::uint32_t>(n);
  record.Msg_Fmt = content.Msg_Fmt;
}

void AppendPushText(std::vector<std::uint8_t>& buffer, std::string_view gbk) {
  if (!HasLeadByte(gbk)) {
    buffer.insert(buffer.end(), gbk.begin(), gbk.end());
    return;
  }
  std::string utf8 = base::GbkToUtf8(gbk);
  buffer.insert(buffer.end(), utf8.begin(), utf8.end());
}

// Push body, byte for byte:
//   06                 user data header length
//   05 04 0B 84 23 F0  16-bit port addressing: destination 2948, source 9200
//   25 06 08           WSP transaction id, PDU type Push, headers length 8
//   03 AE 81 EA        content type application/vnd.wap.sic, charset UTF-8
//   AF 82  B4 84       X-Wap-Application-Id 2, Push-Flag 4
//   02 05 6A 00        WBXML 1.2, SI 1.0, UTF-8, no string table
//   45 C6 08 0C        si, indication, action=signal-high, href="http://"
//   03 address 00 01   inline address, end of attributes
//   03 text 00 01 01   inline text, end of indication, end of si
std::vector<std::uint8_t> BuildWapPush(std::string_view address, std::string_view text, bool* cut) {
  static constexpr std::uint8_t kHead[] = {0x06, 0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0, 0x25, 0x06,
                                           0x08, 0x03, 0xAE, 0x81, 0xEA, 0xAF, 0x82, 0xB4, 0x84,
                                           0x02, 0x05, 0x6A, 0x00, 0x45, 0xC6, 0x08, 0x0C, 0x03};
  std::vector<std::uint8_t> body(std::begin(kHead), std::end(kHead));
  AppendPushText(body, address);
  body.insert(body.end(), {0x00, 0x01, 0x03});
  AppendPushText(body, text);
  body.insert(body.end(), {0x00, 0x01, 0x01});
  if (cut) *cut = false;
  if (body.size() > kMaxPushBytes) {
    // Only reachable with inputs beyond the 259-byte column limits; keep the
    // buffer bound rather than write past it.
    body.resize(kMaxPushBytes);
    if (cut) *cut = true;
  }
  return body;
}

}  // namespace brivane::sp
