#include "cmpp/auth.h"

#include <gtest/gtest.h>

#include "wire.h"

namespace brivane::cmpp {
namespace {

Bytes Digest(std::string_view name, std::string_view secret, std::uint32_t timestamp) {
  const Md5Digest d = LoginAuthenticator(name, secret, timestamp);
  return Bytes(d.begin(), d.end());
}

TEST(Authenticator, PublishedVector) {
  EXPECT_EQ(Hex(Digest("900001", "888888", 1021080510)),
            Hex(FromHex("90d00c1d517abd0b4f65f6bcf8535d16")));
}

TEST(Authenticator, Md5MatchesRfc1321Vectors) {
  auto md5 = [](std::string_view s) {
    const Md5Digest d = Md5({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
    return Hex(d.data(), d.size());
  };
  EXPECT_EQ(md5(""), Hex(FromHex("d41d8cd98f00b204e9800998ecf8427e")));
  EXPECT_EQ(md5("abc"), Hex(FromHex("900150983cd24fb0d6963f7d28e17f72")));
}

TEST(AuthenticatorInput, SixCharacterNameThenNineZerosSecretAndTimestamp) {
  const Bytes input = AuthenticatorInput("spuser", "abc", 1207023117);
  const Bytes expected =
      Wire().Text("spuser", 6).Fill(0, 9).Text("abc", 3).Text("1207023117", 10).bytes();
  ASSERT_EQ(input.size(), 28u);
  EXPECT_EQ(Hex(input), Hex(expected));
  EXPECT_EQ(Hex(Digest("spuser", "abc", 1207023117)),
            Hex(FromHex("dbec6f1bb0dc9d0056c945c066fa0c67")));
}

TEST(AuthenticatorInput, ShortNamePutsSecretAtNamePlusNine) {
  const Bytes input = AuthenticatorInput("abcd", "secret", 101000000);
  ASSERT_EQ(input.size(), 4u + 9 + 6 + 10);
  EXPECT_EQ(input[13], 's');
  EXPECT_EQ(Hex(input),
            Hex(Wire().Text("abcd", 13).Text("secret", 6).Text("0101000000", 10).bytes()));
  EXPECT_EQ(Hex(Digest("abcd", "secret", 101000000)),
            Hex(FromHex("c167e7d7c669ffb8ce26ae35c4b90fb0")));
}

TEST(AuthenticatorInput, LongNameCopiesSixCharactersButOffsetsByFullLength) {
  // 7 characters: 6 copied, the secret at 7 + 9 = 16, so 10 zero bytes between.
  const Bytes input = AuthenticatorInput("abcdefg", "secret", 101000000);
  EXPECT_EQ(
      Hex(input),
      Hex(Wire().Text("abcdef", 6).Fill(0, 10).Text("secret", 6).Text("0101000000", 10).bytes()));
  EXPECT_EQ(Hex(Digest("abcdefg", "secret", 101000000)),
            Hex(FromHex("9c7411ece1971c79b5dec4ee8d850c10")));
}

TEST(AuthenticatorInput, SecretIsCutAtFifteenCharacters) {
  EXPECT_EQ(Digest("900001", "0123456789ABCDEFGHIJ", 1207023117),
            Digest("900001", "0123456789ABCDE", 1207023117));
  EXPECT_NE(Digest("900001", "0123456789ABCD", 1207023117),
            Digest("900001", "0123456789ABCDE", 1207023117));
  EXPECT_EQ(Hex(Digest("900001", "0123456789ABCDEFGHIJ", 1207023117)),
            Hex(FromHex("aaee612a18c63c0c8ba4c8005edcc53a")));
}

TEST(AuthenticatorInput, NameLongerThanAnyFixedBufferIsSizedFromItsLength) {
  // A fixed 260-byte input would overflow here; the input grows instead.
  const std::string name(1000, 'n');
  const Bytes input = AuthenticatorInput(name, "0123456789ABCDEFGHIJ", 1231235959);
  ASSERT_EQ(input.size(), 1000u + 9 + 15 + 10);
  EXPECT_EQ(
      Hex(input),
      Hex(Wire().Text("nnnnnn", 1009).Text("0123456789ABCDE", 15).Text("1231235959", 10).bytes()));
}

TEST(AuthenticatorInput, EmptyNameAndSecret) {
  EXPECT_EQ(Hex(AuthenticatorInput("", "", 1207023117)),
            Hex(Wire().Fill(0, 9).Text("1207023117", 10).bytes()));
}

TEST(TimestampText, AlwaysTenDigits) {
  EXPECT_EQ(TimestampText(101000000), "0101000000");
  EXPECT_EQ(TimestampText(1231235959), "1231235959");
  EXPECT_EQ(TimestampText(0), "0000000000");
}

}  // namespace
}  // namespace brivane::cmpp
