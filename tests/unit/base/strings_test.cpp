#include "base/strings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

#include "base/files.h"

namespace brivane::base {
namespace {

TEST(Strings, CaseFoldingTouchesAsciiLettersOnly) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"LinkID", "linkid", true},
      {"SMG", "smg", true},
      {"", "", true},
      {"abc", "abcd", false},
      {"a[", "A{", false},              // '[' and '{' are 0x20 apart, but not letters
      {"@", "`", false},                // neither are these, just before A and after Z
      {"\xC4\xE3", "\xE4\xE3", false},  // GBK bytes are never folded
      {"\xC4\xE3x", "\xC4\xE3X", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(AsciiLowered(c.a) == AsciiLowered(c.b), c.equal) << c.a << " vs " << c.b;
  }
}

TEST(Strings, FindAndPrefixIgnoreCase) {
  struct Case {
    std::string_view hay, needle;
    std::size_t at;
  };
  const Case cases[] = {
      {"text/plain; Charset=GBK", "charset=", 12},
      {"CHARSET=", "charset=", 0},
      {"charset", "charset=", std::string_view::npos},  // needle longer than what is left
      {"", "", 0},
      {"abc", "", 0},
      {"xxAbAB", "ab", 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindNoCase(c.hay, c.needle), c.at) << c.hay << " / " << c.needle;
    EXPECT_EQ(StartsWithNoCase(c.hay, c.needle), c.at == 0) << c.hay << " / " << c.needle;
  }
}

TEST(Strings, Utf8CheckRejectsEveryIllFormedSequence) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"ascii", "hello", true},
      {"empty", "", true},
      {"two bytes", "\xC3\xA9", true},
      {"three bytes", "\xE4\xBD\xA0", true},
      {"four bytes, U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"last before surrogates", "\xED\x9F\xBF", true},
      {"overlong two bytes", "\xC0\xAF", false},
      {"overlong three bytes", "\xE0\x80\xAF", false},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", false},
      {"encoded surrogate", "\xED\xA0\x80", false},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false},
      {"F5 lead byte", "\xF5\x80\x80\x80", false},
      {"lone continuation", "\x80", false},
      {"cut short at the end", "a\xE4\xBD", false},
      {"ascii where a continuation belongs", "\xE4\x41\xA0", false},
      {"GBK text", "\xC4\xE3\xBA\xC3", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.text), c.valid) << c.name;
}

std::string Line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = PrintfLine(format, args);
  va_end(args);
  return line;
}

TEST(Strings, TrimBlanksTakesSpacesAndTabsOnly) {
  struct Case {
    std::string_view in, out;
  } cases[] = {
      {"", ""},
      {" \t ", ""},
      {"  a b\t", "a b"},
      {"\r\nx\n", "\r\nx\n"},
      {"\xE4\xB8\xAD ", "\xE4\xB8\xAD"},
  };
  for (const auto& c : cases) EXPECT_EQ(base::TrimBlanks(c.in), c.out) << c.in;
}

TEST(Strings, PrintfLineIsCutAtItsBound) {
  EXPECT_EQ(Line("%s=%d", "n", 42), "n=42");
  EXPECT_EQ(Line("%s", ""), "");
  const std::string longText(2000, 'x');
  const std::string cut = Line("<%s>", longText.c_str());
  EXPECT_EQ(cut.size(), kPrintfLineMax);
  EXPECT_EQ(cut.front(), '<');
  EXPECT_EQ(cut.back(), 'x');
  EXPECT_EQ(Line("%s", std::string(kPrintfLineMax, 'y').c_str()).size(), kPrintfLineMax);
}

TEST(Files, WriteAllAndSyncWritesEveryByteOrSaysItFailed) {
  char path[] = "/tmp/brivane-files-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string data(300000, '\0');  // larger than one pipe or page write
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_TRUE(WriteAllAndSync(fd, data.data(), data.size()));
  EXPECT_TRUE(WriteAllAndSync(fd, data.data(), 0));
  ::close(fd);

  std::string back(data.size() + 1, '\0');
  const int in = ::open(path, O_RDONLY);
  ASSERT_GE(in, 0);
  std::size_t got = 0;
  for (ssize_t n; (n = ::read(in, back.data() + got, back.size() - got)) > 0;)
    got += static_cast<std::size_t>(n);
  ::close(in);
  ::unlink(path);
  back.resize(got);
  EXPECT_EQ(back, data);

  const int readOnly = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(readOnly, 0);
  EXPECT_FALSE(WriteAllAndSync(readOnly, "x", 1)) << "a descriptor that cannot be written";
  ::close(readOnly);
}

}  // namespace
}  // namespace brivane::base
