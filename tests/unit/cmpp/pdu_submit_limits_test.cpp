// The SMG side's SUBMIT decoder at the edges of its destination area and with
// counts that disagree with the bytes that came.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cmpp/pdu.h"
#include "cmpp/result_codes.h"

namespace brivane::cmpp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes EncodeWith(std::uint8_t version, std::size_t destinations, std::uint32_t contentLength) {
  static CmppSubmit s;
  s = {};
  const std::size_t width = LayoutFor(version).terminalWidth;
  s.DestUsr_tl = static_cast<std::uint8_t>(destinations);
  for (std::size_t i = 0; i < destinations; ++i)
    std::memcpy(s.Dest_terminal_Id + i * width, "13800138000", 11);
  s.Msg_Length = contentLength;
  std::memset(s.Msg_Content, 'c', contentLength);
  Bytes pdu(kMaxPduLength);
  std::size_t n = 0;
  EXPECT_EQ(EncodeSubmit(pdu, s, version, 9, n), kOk);
  pdu.resize(n);
  return pdu;
}

int Decode(const Bytes& pdu, std::uint8_t version, CmppSubmit& out) {
  const CmppHeader h{static_cast<std::uint32_t>(pdu.size()), kCmppSubmit, 9};
  return DecodeSubmit(h, std::span(pdu).subspan(kHeaderLength), version, out);
}

TEST(SubmitLimits, DestinationCountAndContentLengthMustMatchTheBytes) {
  for (std::uint8_t version : {kCmppVersion20, kCmppVersion30}) {
    const CmppLayout layout = LayoutFor(version);
    const std::size_t countAt = kHeaderLength + layout.submitDestCountAt;
    const std::size_t lengthAt = countAt + 1 + layout.terminalWidth + (layout.v3 ? 1 : 0);
    struct Case {
      const char* name;
      Bytes pdu;
      int result;
    };
    Bytes fullArea = EncodeWith(version, layout.maxDestinations, 0);
    Bytes overArea = fullArea;
    overArea[countAt] = static_cast<std::uint8_t>(layout.maxDestinations + 1);
    Bytes countTooHigh = EncodeWith(version, 1, 20);
    countTooHigh[countAt] = 2;  // claims a number the frame does not hold
    Bytes countTooLow = EncodeWith(version, 2, 20);
    countTooLow[countAt] = 1;  // leaves bytes over at the end
    Bytes contentTooLong = EncodeWith(version, 1, 20);
    contentTooLong[lengthAt] = 21;
    Bytes contentTooShort = EncodeWith(version, 1, 20);
    contentTooShort[lengthAt] = 19;
    const Case cases[] = {
        {"every destination the area holds", fullArea, kOk},
        {"one destination beyond the area", overArea, kErrTooManyDestinations},
        {"count above the numbers sent", countTooHigh, kResultBadLength},
        {"count below the numbers sent", countTooLow, kResultBadLength},
        {"Msg_Length beyond the frame", contentTooLong, kResultBadLength},
        {"Msg_Length short of the frame", contentTooShort, kResultBadLength},
        {"body cut before DestUsr_tl", Bytes(fullArea.begin(), fullArea.begin() + countAt),
         kResultBadLength},
    };
    for (const Case& c : cases) {
      static CmppSubmit back;
      EXPECT_EQ(Decode(c.pdu, version, back), c.result) << c.name << ", version " << int(version);
    }
    static CmppSubmit back;
    ASSERT_EQ(Decode(fullArea, version, back), kOk);
    EXPECT_EQ(back.DestUsr_tl, layout.maxDestinations);
    EXPECT_STREQ(back.Dest_terminal_Id + (layout.maxDestinations - 1) * layout.terminalWidth,
                 "13800138000");
  }
}

}  // namespace
}  // namespace brivane::cmpp
