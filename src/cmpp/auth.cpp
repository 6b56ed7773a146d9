#include "cmpp/auth.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>

namespace brivane::cmpp {

Md5Digest Md5(std::span<const std::uint8_t> data) {
  Md5Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
      length != digest.size()) {
    digest.fill(0);
  }
  return digest;
}

std::string TimestampText(std::uint32_t timestamp) {
  char text[16];
  std::snprintf(text, sizeof text, "%010u", static_cast<unsigned>(timestamp));
  return text;
}

std::vector<std::uint8_t> AuthenticatorInput(std::string_view loginName, std::string_view secret,
                                             std::uint32_t timestamp) {
  const std::size_t nameCopied = std::min(loginName.size(), kSourceAddrLength);
  const std::size_t secretCopied = std::min(secret.size(), kMaxSecretUsed);
  const std::size_t secretAt = loginName.size() + 9;
  const std::string stamp = TimestampText(timestamp);

  std::vector<std::uint8_t> input(secretAt + secretCopied + stamp.size(), 0);
  std::copy_n(loginName.begin(), nameCopied, input.begin());
  std::copy_n(secret.begin(), secretCopied, input.begin() + secretAt);
  std::copy(stamp.begin(), stamp.end(), input.begin() + secretAt + secretCopied);
  return input;
}

Md5Digest LoginAuthenticator(std::string_view loginName, std::string_view secret,
                             std::uint32_t timestamp) {
  return Md5(AuthenticatorInput(loginName, secret, timestamp));
}

}  // namespace brivane::cmpp
