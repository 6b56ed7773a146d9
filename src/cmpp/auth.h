#pragma once
// The CMPP login authenticator (AuthenticatorSource of CMPP_CONNECT) and the
// MD5 digest under it, through OpenSSL's EVP interface. Pure functions; safe
// from any thread.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brivane::cmpp {

using Md5Digest = std::array<std::uint8_t, 16>;

// MD5 (RFC 1321) of `data`. All zeros only if OpenSSL refuses the digest,
// which the login then reports as a refused authenticator.
Md5Digest Md5(std::span<const std::uint8_t> data);

// At most this many characters of the shared secret enter the digest.
inline constexpr std::size_t kMaxSecretUsed = 15;
// At most this many characters of the login name are copied (Source_Addr).
inline constexpr std::size_t kSourceAddrLength = 6;

// The 10-character timestamp text of a MMDDhhmmss number ("0101000000" for
// 101000000), as it enters the authenticator.
std::string TimestampText(std::uint32_t timestamp);

// The digest input, sized from the actual lengths (no fixed buffer):
//   offset 0          the login name, at most its first 6 characters
//   offset Ln + 9     the secret, at most its first 15 characters
//                     (Ln is the full length of the name; the bytes between
//                     the copied name and the secret are zero, so a 6-character
//                     name is followed by exactly 9 zero bytes)
//   after the secret  the 10 characters of the timestamp text
// Length Ln + 9 + min(secret, 15) + 10; no terminating zero.
std::vector<std::uint8_t> AuthenticatorInput(std::string_view loginName, std::string_view secret,
                                             std::uint32_t timestamp);

// AuthenticatorSource: MD5 of AuthenticatorInput.
Md5Digest LoginAuthenticator(std::string_view loginName, std::string_view secret,
                             std::uint32_t timestamp);

}  // namespace brivane::cmpp
