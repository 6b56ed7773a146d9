#include <gtest/gtest.h>

#include "base/text.h"

namespace brivane::base {
namespace {

bool HasLoneSurrogate(std::u16string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
      if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) return true;
  }
  return false;
}

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string expected;
};

TEST(TextValidity, MalformedUtf8BecomesReplacementPerBrokenSequence) {
  const Utf8Case cases[] = {
      {"encoded high surrogate", "a\xED\xA0\x80z", u"a\uFFFD\uFFFD\uFFFDz"},
      {"encoded low surrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded pair (CESU)", "\xED\xA0\xBD\xED\xB8\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"cut short at the end", "ab\xE4\xB8", u"ab\uFFFD"},
      {"cut short before ASCII", "\xE4\xB8x", u"\uFFFDx"},
      {"lone continuation", "\x80x", u"\uFFFDx"},
      {"0xFF", "\xFF", u"\uFFFD"},
      {"valid four bytes", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"valid highest", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"valid just below surrogates", "\xED\x9F\xBF", u"\uD7FF"},
      {"NUL kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string got = Utf8ToUtf16(c.utf8);
    EXPECT_EQ(got, c.expected);
    EXPECT_FALSE(HasLoneSurrogate(got));
    // The same text through GBK never carries a surrogate either.
    EXPECT_FALSE(HasLoneSurrogate(GbkToUtf16(Utf8ToGbk(c.utf8))));
  }
}

struct Utf16Case {
  const char* name;
  std::u16string utf16;
  std::string utf8;
  std::string gbk;
};

TEST(TextValidity, UnpairedSurrogatesBecomeReplacementAndNeverSwallowTheNextCharacter) {
  const Utf16Case cases[] = {
      {"high then letter", std::u16string{0xD800, u'A'},
       "\xEF\xBF\xBD"
       "A",
       "?A"},
      {"low alone", std::u16string{u'x', 0xDC00, u'y'}, "x\xEF\xBF\xBDy", "x?y"},
      {"high at the end", std::u16string{u'x', 0xDBFF}, "x\xEF\xBF\xBD", "x?"},
      {"two highs", std::u16string{0xD800, 0xD800, 0xDC00}, "\xEF\xBF\xBD\xF0\x90\x80\x80", "??"},
      {"reversed pair", std::u16string{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD", "??"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);
    bool lossless = true;
    EXPECT_EQ(Utf16ToGbk(c.utf16, &lossless), c.gbk);
    EXPECT_FALSE(lossless);
    EXPECT_FALSE(HasLoneSurrogate(ValidUtf16(c.utf16)));
    EXPECT_EQ(ValidUtf16(c.utf16).size(), c.utf16.size());
  }
  const std::u16string pair{0xD83D, 0xDE00};
  EXPECT_EQ(ValidUtf16(pair), pair);
}

}  // namespace
}  // namespace brivane::base
