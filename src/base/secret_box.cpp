#include "base/secret_box.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/files.h"

namespace brivane::base {
namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool ReadKey(const std::string& path, unsigned char* key, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, Errno("cannot open key file", path));
    return false;
  }
  std::size_t got = 0;
  while (got < kKeySize) {
    ssize_t n = ::read(fd, key + got, kKeySize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  unsigned char extra;
  bool longer = got == kKeySize && ::read(fd, &extra, 1) > 0;
  ::close(fd);
  if (got != kKeySize || longer) {
    SetError(error, "key file " + path + " does not hold exactly 32 bytes");
    return false;
  }
  return true;
}

// Creates the key file with O_EXCL so that two processes racing to create it
// end up with the same key: the loser reads the winner's file.
bool ReadOrCreateKey(const std::string& path, unsigned char* key, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return ReadKey(path, key, error);
    SetError(error, Errno("cannot create key file", path));
    return false;
  }
  const bool ok = RAND_bytes(key, kKeySize) == 1 && WriteAllAndSync(fd, key, kKeySize);
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    SetError(error, "cannot write key file " + path);
  }
  return ok;
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

bool SecretBox::Encrypt(std::string_view clear, std::string* stored, std::string* error) const {
  unsigned char key[kKeySize];
  if (!ReadOrCreateKey(keyPath_, key, error)) return false;
  std::string blob(kNonceSize + clear.size() + kTagSize, '\0');
  auto* out = reinterpret_cast<unsigned char*>(blob.data());
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int len = 0;
  bool ok = ctx && RAND_bytes(out, kNonceSize) == 1 &&
            EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, out) == 1 &&
            EVP_EncryptUpdate(ctx.get(), out + kNonceSize, &len,
                              reinterpret_cast<const unsigned char*>(clear.data()),
                              static_cast<int>(clear.size())) == 1 &&
            EVP_EncryptFinal_ex(ctx.get(), out + kNonceSize + len, &len) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                                out + kNonceSize + clear.size()) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    SetError(error, "encryption failed");
    return false;
  }
  *stored = std::string(kEncipheredPrefix) + Base64Encode(blob);
  return true;
}

bool SecretBox::Decrypt(std::string_view stored, std::string* clear, std::string* error) const {
  clear->clear();
  if (!IsEnciphered(stored)) {
    *clear = std::string(stored);
    return true;
  }
  std::string blob;
  if (!Base64Decode(stored.substr(kEncipheredPrefix.size()), &blob) ||
      blob.size() < kNonceSize + kTagSize) {
    SetError(error, "enciphered value is malformed");
    return false;
  }
  unsigned char key[kKeySize];
  if (!ReadKey(keyPath_, key, error)) return false;
  const auto* in = reinterpret_cast<const unsigned char*>(blob.data());
  const std::size_t textSize = blob.size() - kNonceSize - kTagSize;
  std::string text(textSize, '\0');
  auto* out = reinterpret_cast<unsigned char*>(text.data());
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int len = 0;
  // The tag is checked by the final call: a wrong key or a changed byte
  // fails there rather than yielding garbage.
  bool ok =
      ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, in) == 1 &&
      EVP_DecryptUpdate(ctx.get(), out, &len, in + kNonceSize, static_cast<int>(textSize)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize,
                          const_cast<unsigned char*>(in + kNonceSize + textSize)) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), out + len, &len) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    OPENSSL_cleanse(text.data(), text.size());
    SetError(error, "enciphered value does not match the key in " + keyPath_);
    return false;
  }
  *clear = std::move(text);
  return true;
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (std::size_t rest = bytes.size() - i) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    unsigned v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int d = k >= 4 - static_cast<std::size_t>(pad) ? 0 : value(text[i + k]);
      if (d < 0) return false;
      v = (v << 6) | static_cast<unsigned>(d);
    }
    bytes->push_back(static_cast<char>((v >> 16) & 0xFF));
    if (pad < 2) bytes->push_back(static_cast<char>((v >> 8) & 0xFF));
    if (pad < 1) bytes->push_back(static_cast<char>(v & 0xFF));
  }
  return true;
}

}  // namespace brivane::base
