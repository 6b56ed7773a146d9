#pragma once
// Conversions between the three text forms the system handles: GBK (the
// code page of texts inside the engine, the SP client and the database
// gateway), UTF-16 (MO texts for the database, UCS-2 on the wire) and UTF-8
// (HTTP forwards, the log, the admin pages). Decoding GBK accepts all of
// GB18030. Undecodable input becomes U+FFFD: a byte sequence that is not
// well-formed UTF-8 (overlong forms, encoded surrogates, beyond U+10FFFF,
// cut short) and a UTF-16 surrogate without its partner; no conversion ever
// yields a lone surrogate. Characters GBK cannot hold become '?' and clear
// *lossless. Safe from any thread.

#include <string>
#include <string_view>

namespace brivane::base {

std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16, bool* lossless = nullptr);
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8, bool* lossless = nullptr);
std::string Utf16ToUtf8(std::u16string_view utf16);
std::u16string Utf8ToUtf16(std::string_view utf8);
// The text with every unpaired surrogate replaced by U+FFFD.
std::u16string ValidUtf16(std::u16string_view utf16);

// True for the first byte of a GBK double-byte character (0x81..0xFE).
constexpr bool IsGbkLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

}  // namespace brivane::base
