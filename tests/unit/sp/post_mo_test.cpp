#include "sp/post_mo.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace brivane::sp {
namespace {

// Splits a form body the way a receiving application does: on "&", then on
// the first "=", then %XX and "+" decoded.
std::map<std::string, std::string> ParseForm(const std::string& body) {
  auto decode = [](const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '+') {
        out += ' ';
      } else if (s[i] == '%' && i + 2 < s.size()) {
        out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += s[i];
      }
    }
    return out;
  };
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(start, end - start);
    std::size_t eq = pair.find('=');
    fields[decode(pair.substr(0, eq))] = eq == std::string::npos ? "" : decode(pair.substr(eq + 1));
    start = end + 1;
  }
  return fields;
}

TEST(FormEscape, KeepsOnlyUnreservedBytes) {
  EXPECT_EQ(FormEscape("AZaz09-_.~"), "AZaz09-_.~");
  EXPECT_EQ(FormEscape("A&B"), "A%26B");
  EXPECT_EQ(FormEscape("1+1=2"), "1%2B1%3D2");
  EXPECT_EQ(FormEscape("a b"), "a%20b");
  EXPECT_EQ(FormEscape("!*'():@$,|%/?#"), "%21%2A%27%28%29%3A%40%24%2C%7C%25%2F%3F%23");
  EXPECT_EQ(FormEscape(std::string("\0\x7F\xFF", 3)), "%00%7F%FF");
  EXPECT_EQ(FormEscape(""), "");
}

TEST(MessageToUtf8, ConvertsByCoding) {
  // U+4E2D U+6587 as little-endian UTF-16 code units.
  EXPECT_EQ(MessageToUtf8(kCodingUtf16Le, std::string("\x2D\x4E\x87\x65", 4)), "中文");
  EXPECT_EQ(FormEscape(MessageToUtf8(kCodingUtf16Le, std::string("\x2D\x4E\x87\x65", 4))),
            "%E4%B8%AD%E6%96%87");
  // An odd trailing byte is not half a character.
  EXPECT_EQ(MessageToUtf8(kCodingUtf16Le, std::string("\x41\x00\x42", 3)), "A");
  // A character outside the BMP as a surrogate pair.
  EXPECT_EQ(MessageToUtf8(kCodingUtf16Le, std::string("\x3D\xD8\x00\xDE", 4)), "\xF0\x9F\x98\x80");
  EXPECT_EQ(MessageToUtf8(kCodingUtf8, "中文 ok"), "中文 ok");
  for (int coding : {0, 4, 15})
    EXPECT_EQ(MessageToUtf8(coding, "\xD6\xD0\xCE\xC4 ok"), "中文 ok") << coding;
  // Undecodable GBK becomes a replacement character, not a lost message.
  EXPECT_EQ(MessageToUtf8(15, "a\xFF"), "a\xEF\xBF\xBD");
}

ForwardSettings Settings(std::string id, std::string name) {
  ForwardSettings s;
  s.DialogCarrierID = std::move(id);
  s.DialogCarrierNAME = std::move(name);
  return s;
}

TEST(BuildMoBody, FieldsInOrderWithEachValueEscaped) {
  RouteInfo route = MakeRouteInfo(17, "HELP", "", "", "1066", "http://x/");
  std::string body =
      BuildMoBody(Settings("46000", "CMCC"), "hello", "13800138000", "LNK1", "4294967298", route);
  EXPECT_EQ(body,
            "DIALOG.CARRIER_ID=46000&DIALOG.CARRIER_NAME=CMCC&DIALOG.MESSAGE=hello"
            "&DIALOG.UMDA=13800138000&DIALOG.SERVICE_CODE=HELP&DIALOG.TBL_SERVICEID=17"
            "&DIALOG.LINKID=LNK1&DIALOG.MSGID=4294967298");
}

TEST(BuildMoBody, ValuesWithSeparatorsArriveWhole) {
  RouteInfo route = MakeRouteInfo(-3, "S&C=1", "", "", "1066", "http://x/");
  std::string body =
      BuildMoBody(Settings("a=b", "A&B"), "Tom&Jerry 1+1=2", "+86 138", "", "9", route);
  auto f = ParseForm(body);
  EXPECT_EQ(f.size(), 8u);
  EXPECT_EQ(f["DIALOG.CARRIER_ID"], "a=b");
  EXPECT_EQ(f["DIALOG.CARRIER_NAME"], "A&B");
  EXPECT_EQ(f["DIALOG.MESSAGE"], "Tom&Jerry 1+1=2");
  EXPECT_EQ(f["DIALOG.UMDA"], "+86 138");
  EXPECT_EQ(f["DIALOG.SERVICE_CODE"], "S&C=1");
  EXPECT_EQ(f["DIALOG.TBL_SERVICEID"], "-3");
  EXPECT_EQ(f["DIALOG.LINKID"], "");
  EXPECT_EQ(f["DIALOG.MSGID"], "9");
}

TEST(BuildMoBody, GbkSettingsAndRouteTextsGoOutAsUtf8) {
  RouteInfo route = MakeRouteInfo(1, "\xD6\xD0", "", "", "1066", "http://x/");
  std::string body =
      BuildMoBody(Settings("", "\xD6\xD0\xCE\xC4"), "\xE4\xB8\xAD", "", "", "", route);
  EXPECT_NE(body.find("DIALOG.CARRIER_NAME=%E4%B8%AD%E6%96%87&"), std::string::npos) << body;
  EXPECT_NE(body.find("DIALOG.MESSAGE=%E4%B8%AD&"), std::string::npos) << body;
  EXPECT_NE(body.find("DIALOG.SERVICE_CODE=%E4%B8%AD&"), std::string::npos) << body;
}

TEST(ReplyTextToGbk, ConvertsUtf8UnlessTheReplyIsGbAlready) {
  EXPECT_EQ(ReplyTextToGbk("中文 ok", "text/plain; charset=utf-8"), "\xD6\xD0\xCE\xC4 ok");
  EXPECT_EQ(ReplyTextToGbk("中文", ""), "\xD6\xD0\xCE\xC4");
  // GBK bytes that are not UTF-8 stay as they are, with or without charset.
  EXPECT_EQ(ReplyTextToGbk("\xD6\xD0\xCE\xC4", ""), "\xD6\xD0\xCE\xC4");
  // Declared GB charsets are never converted, even when the bytes would
  // also read as UTF-8.
  EXPECT_EQ(ReplyTextToGbk("\xC3\xA9", "text/plain; Charset=\"GB2312\""), "\xC3\xA9");
  EXPECT_EQ(ReplyTextToGbk("\xC3\xA9", "text/html;charset=gbk"), "\xC3\xA9");
  EXPECT_EQ(ReplyTextToGbk("OK", ""), "OK");
  // Overlong and surrogate encodings are not UTF-8.
  EXPECT_EQ(ReplyTextToGbk("\xE0\x80\xAF", ""), "\xE0\x80\xAF");
  EXPECT_EQ(ReplyTextToGbk("\xED\xA0\x80", ""), "\xED\xA0\x80");
}

TEST(ForwardMo, DoesNothingWhenHttpClientIsOff) {
  RouteTable table;
  table.Replace({MakeRouteInfo(5, "", "", "", "1066", "http://127.0.0.1:1/")});
  ForwardSettings s;  // EnableHTTPClient off
  MoForward mo;
  mo.destId = "10661";
  ForwardOutcome out = ForwardMo(table, s, mo);
  EXPECT_FALSE(out.routed);
  EXPECT_FALSE(out.forwarded);
  EXPECT_EQ(out.serviceId, -1);
  EXPECT_EQ(out.reply.statusCode, 0);
  EXPECT_TRUE(out.reply.statusText.empty());
}

TEST(ForwardMo, NoRouteGivesServiceIdMinusOne) {
  RouteTable table;
  table.Replace({MakeRouteInfo(5, "", "", "", "2000", "http://127.0.0.1:1/")});
  ForwardSettings s;
  s.EnableHTTPClient = true;
  MoForward mo;
  mo.destId = "10661";
  ForwardOutcome out = ForwardMo(table, s, mo);
  EXPECT_FALSE(out.routed);
  EXPECT_EQ(out.serviceId, -1);
  EXPECT_EQ(out.reply.statusCode, 0);
}

}  // namespace
}  // namespace brivane::sp
