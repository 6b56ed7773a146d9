#pragma once
// The enciphered form of password values in the configuration store:
// "enc:" + base64(nonce || ciphertext || tag), AES-256-GCM under a random
// 32-byte key kept in its own file (mode 0600, created on the first
// encryption). A value without the prefix is clear text, so an operator may
// type a password straight into the file. Safe from any thread; each call
// reads the key file anew, so a key created by another process is seen.

#include <string>
#include <string_view>

namespace brivane::base {

inline constexpr std::string_view kEncipheredPrefix = "enc:";

class SecretBox {
 public:
  explicit SecretBox(std::string keyPath) : keyPath_(std::move(keyPath)) {}

  const std::string& KeyPath() const { return keyPath_; }

  // Enciphers clear text into the stored form, creating the key file when it
  // does not exist yet. False with a reason in *error on failure.
  bool Encrypt(std::string_view clear, std::string* stored, std::string* error = nullptr) const;

  // Turns a stored value into clear text: a value without the prefix is
  // returned as it is; an enciphered one needs the key file and an intact
  // value. False with a reason in *error otherwise (*clear is then empty).
  bool Decrypt(std::string_view stored, std::string* clear, std::string* error = nullptr) const;

  static bool IsEnciphered(std::string_view stored) {
    return stored.substr(0, kEncipheredPrefix.size()) == kEncipheredPrefix;
  }

 private:
  std::string keyPath_;
};

std::string Base64Encode(std::string_view bytes);
// False on characters outside the alphabet or a bad length.
bool Base64Decode(std::string_view text, std::string* bytes);

}  // namespace brivane::base
