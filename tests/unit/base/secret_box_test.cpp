#include "base/secret_box.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/process.h"

namespace brivane::base {
namespace {

TEST(SecretBox, RoundTripCreatesAPrivateKeyFileOnFirstUse) {
  test::TempDir dir;
  SecretBox box(dir.File("brivane.key"));
  std::string stored;
  ASSERT_TRUE(box.Encrypt("p@ss word;中文", &stored));
  EXPECT_TRUE(SecretBox::IsEnciphered(stored));
  EXPECT_EQ(stored.find("p@ss"), std::string::npos);

  struct stat st {};
  ASSERT_EQ(stat(box.KeyPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);

  std::string clear;
  ASSERT_TRUE(box.Decrypt(stored, &clear));
  EXPECT_EQ(clear, "p@ss word;中文");

  // A fresh nonce each time: the same text never gives the same stored form.
  std::string again;
  ASSERT_TRUE(box.Encrypt("p@ss word;中文", &again));
  EXPECT_NE(again, stored);
}

TEST(SecretBox, ValueWithoutPrefixIsClearText) {
  test::TempDir dir;
  SecretBox box(dir.File("brivane.key"));
  std::string clear;
  ASSERT_TRUE(box.Decrypt("typed-by-hand", &clear));
  EXPECT_EQ(clear, "typed-by-hand");
  ASSERT_TRUE(box.Decrypt("", &clear));
  EXPECT_EQ(clear, "");
}

TEST(SecretBox, TamperedValueWrongKeyOrMissingKeyFail) {
  test::TempDir dir;
  SecretBox box(dir.File("brivane.key"));
  std::string stored;
  ASSERT_TRUE(box.Encrypt("secret", &stored));

  std::string clear = "stale";
  std::string error;
  std::string tampered = stored;
  tampered[tampered.size() - 6] = tampered[tampered.size() - 6] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(box.Decrypt(tampered, &clear, &error));
  EXPECT_EQ(clear, "");
  EXPECT_FALSE(error.empty());

  EXPECT_FALSE(box.Decrypt("enc:not*base64", &clear, &error));
  EXPECT_FALSE(box.Decrypt("enc:QUJD", &clear, &error));  // too short for nonce and tag

  SecretBox other(dir.File("other.key"));
  EXPECT_FALSE(other.Decrypt(stored, &clear, &error));  // no key file: not created by reading
  struct stat st {};
  EXPECT_NE(stat(other.KeyPath().c_str(), &st), 0);
  std::string otherStored;
  ASSERT_TRUE(other.Encrypt("x", &otherStored));
  EXPECT_FALSE(other.Decrypt(stored, &clear, &error));  // a different key
}

TEST(Base64, KnownVectorsAndRejects) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  std::string out;
  ASSERT_TRUE(Base64Decode("Zm9vYg==", &out));
  EXPECT_EQ(out, "foob");
  ASSERT_TRUE(Base64Decode("Zm9vYmE=", &out));
  EXPECT_EQ(out, "fooba");
  EXPECT_FALSE(Base64Decode("Zm9", &out));
  EXPECT_FALSE(Base64Decode("Zm=v", &out));
  EXPECT_FALSE(Base64Decode("Z!9v", &out));
}

}  // namespace
}  // namespace brivane::base
