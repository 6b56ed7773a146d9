#pragma once
// Small text helpers every layer needs: ASCII case folding (names of
// sections, columns, links and headers compare without regard to case;
// bytes above 0x7F are left alone, so GBK and UTF-8 text stays as it is), a
// UTF-8 check, and printf into a bounded line. Pure; safe from any thread.

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace brivane::base {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with A-Z folded to a-z.
std::string AsciiLowered(std::string_view text);
// constexpr, so that tables of names can be searched at compile time.
constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// The first position of `needle` in `hay` regardless of case, or npos.
std::size_t FindNoCase(std::string_view hay, std::string_view needle);

// The text without the spaces and tabs around it.
std::string_view TrimBlanks(std::string_view text);

// True when the bytes are well-formed UTF-8: no overlong form, no encoded
// surrogate, nothing past U+10FFFF, no sequence cut short.
bool IsValidUtf8(std::string_view text);

// What printf would print, cut to kPrintfLineMax bytes (log lines).
inline constexpr std::size_t kPrintfLineMax = 1023;
std::string PrintfLine(const char* format, std::va_list args);

}  // namespace brivane::base
