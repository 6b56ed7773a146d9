#pragma once
// How an MT row's text becomes the content of a CmppSubmit: plain ASCII goes
// out as it is (Msg_Fmt 0); a text with any double-byte GBK character, or with
// a character GBK cannot hold, goes out whole as big-endian UCS-2 (Msg_Fmt 8).
// Also the WAP Push service-indication body. Pure functions: no database, no
// sockets, no log.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "cmpp/pdu.h"

namespace brivane::sp {

// The largest content we put into a CmppSubmit: its Msg_Content area keeps a
// terminating zero (a zero unit for UCS-2) behind the text.
inline constexpr std::size_t kMaxMtContentBytes = cmpp::kContentAreaSize - 1;

struct MtContent {
  std::uint8_t Msg_Fmt = 0;
  std::vector<std::uint8_t> bytes;
  bool cut = false;  // the text did not fit and was cut at a character boundary
};

// Codes a row's Msg (as Unicode from the database) for the SMG.
MtContent EncodeMtText(std::u16string_view text, std::size_t maxBytes = kMaxMtContentBytes);

// Puts the content into the record: Msg_Content (zero-filled behind it),
// Msg_Length and Msg_Fmt.
void FillContent(cmpp::CmppSubmit& record, const MtContent& content);

// Appends a GBK string to a push body: unchanged when it holds no GBK lead
// byte, otherwise converted to UTF-8. No terminator.
void AppendPushText(std::vector<std::uint8_t>& buffer, std::string_view gbk);

// The WAP Push SI body for an address (without its scheme prefix) and a text,
// both GBK. At most 1024 bytes: a longer result is cut and `cut` is set.
std::vector<std::uint8_t> BuildWapPush(std::string_view address, std::string_view text,
                                       bool* cut = nullptr);

}  // namespace brivane::sp
