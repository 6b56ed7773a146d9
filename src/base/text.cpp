#include "base/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace brivane::base {
namespace {

// One iconv descriptor of one conversion: descriptors carry shift
// state and must not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts in to out. On an input sequence that cannot be converted the
  // offending unit (inUnit bytes) is skipped and `replacement` emitted.
  std::string Run(const char* in, std::size_t inLen, std::size_t inUnit,
                  std::string_view replacement, bool* lossless) {
    std::string out;
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(inLen * 4 + 16);
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = inLen;
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    while (srcLeft > 0) {
      std::size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      if (r != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) {
        std::size_t used = out.size() - dstLeft;
        out.resize(out.size() * 2);
        dst = out.data() + used;
        dstLeft = out.size() - used;
        continue;
      }
      // EILSEQ or EINVAL (truncated sequence at the end): skip one unit.
      if (lossless) *lossless = false;
      std::size_t skip = srcLeft < inUnit ? srcLeft : inUnit;
      // A UTF-16 character outside the BMP is two units: skip both, so it
      // costs one replacement, not two.
      if (inUnit == 2 && srcLeft >= 4) {
        unsigned unit = static_cast<unsigned char>(src[0]) |
                        (static_cast<unsigned>(static_cast<unsigned char>(src[1])) << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF) skip = 4;
      }
      src += skip;
      srcLeft -= skip;
      if (dstLeft < replacement.size()) {
        std::size_t used = out.size() - dstLeft;
        out.resize(out.size() * 2 + replacement.size());
        dst = out.data() + used;
        dstLeft = out.size() - used;
      }
      std::memcpy(dst, replacement.data(), replacement.size());
      dst += replacement.size();
      dstLeft -= replacement.size();
    }
    out.resize(out.size() - dstLeft);
    return out;
  }

 private:
  iconv_t cd_;
};

// The converters of one direction. A descriptor carries shift state, so
// each is used by one thread at a time; they are lent out rather than kept
// one per thread, as each costs about 22 KB and the worker pool runs
// hundreds of threads (9 MiB of converters at 500 of them). The pool grows
// to the number of threads converting at the same moment, which is small.
// Threads: any; mutex_ guards idle_.
class ConverterPool {
 public:
  ConverterPool(const char* to, const char* from) : to_(to), from_(from) {}

  std::string Run(const char* in, std::size_t inLen, std::size_t inUnit,
                  std::string_view replacement, bool* lossless) {
    std::unique_ptr<Converter> converter;
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        converter = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    if (!converter) converter = std::make_unique<Converter>(to_, from_);
    std::string out = converter->Run(in, inLen, inUnit, replacement, lossless);
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(converter));
    return out;
  }

 private:
  const char* const to_;
  const char* const from_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Converter>> idle_;
};

// Never destroyed: a thread left running at exit may still convert.
ConverterPool& GbkToUtf16Pool() {
  static auto* pool = new ConverterPool("UTF-16LE", "GB18030");
  return *pool;
}
ConverterPool& Utf16ToGbkPool() {
  static auto* pool = new ConverterPool("GBK", "UTF-16LE");
  return *pool;
}
ConverterPool& GbkToUtf8Pool() {
  static auto* pool = new ConverterPool("UTF-8", "GB18030");
  return *pool;
}

std::u16string ToU16(const std::string& bytes) {
  std::u16string s(bytes.size() / 2, u'\0');
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

constexpr char kUtf16Replacement[] = {'\xFD', '\xFF'};  // U+FFFD, little-endian
constexpr std::string_view kU16Repl(kUtf16Replacement, 2);
constexpr char16_t kReplacement = 0xFFFD;

constexpr bool IsHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool IsLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// One character of UTF-8 from text[*pos], advancing *pos. A sequence that is
// not well-formed gives U+FFFD and advances past its longest valid prefix
// (at least one byte), so that the byte that broke it starts the next read.
char32_t DecodeUtf8(std::string_view text, std::size_t* pos) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(*pos);
  ++*pos;
  if (b0 < 0x80) return b0;
  int more;
  char32_t c;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    more = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    more = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    more = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return kReplacement;
  }
  for (int k = 0; k < more; ++k) {
    if (*pos >= text.size()) return kReplacement;
    const unsigned char b = byte(*pos);
    if (b < lo || b > hi) return kReplacement;
    lo = 0x80;
    hi = 0xBF;
    c = (c << 6) | (b & 0x3F);
    ++*pos;
  }
  return c;
}

}  // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
  return ToU16(GbkToUtf16Pool().Run(gbk.data(), gbk.size(), 1, kU16Repl, nullptr));
}

std::string Utf16ToGbk(std::u16string_view utf16, bool* lossless) {
  if (lossless) *lossless = true;
  // An unpaired surrogate would make the converter skip the unit after it
  // too; as U+FFFD it costs one '?'.
  const std::u16string valid = ValidUtf16(utf16);
  return Utf16ToGbkPool().Run(reinterpret_cast<const char*>(valid.data()), valid.size() * 2, 2, "?",
                              lossless);
}

std::string GbkToUtf8(std::string_view gbk) {
  return GbkToUtf8Pool().Run(gbk.data(), gbk.size(), 1, "\xEF\xBF\xBD", nullptr);
}

std::string Utf8ToGbk(std::string_view utf8, bool* lossless) {
  if (lossless) *lossless = true;
  // Go through UTF-16 so that a character GBK lacks costs one '?', however
  // many UTF-8 bytes it had.
  return Utf16ToGbk(Utf8ToUtf16(utf8), lossless);
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (IsHigh(c) && i + 1 < utf16.size() && IsLow(utf16[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t c = DecodeUtf8(utf8, &i);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u16string ValidUtf16(std::u16string_view utf16) {
  std::u16string out(utf16);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (IsHigh(out[i]) && i + 1 < out.size() && IsLow(out[i + 1]))
      ++i;
    else if (IsHigh(out[i]) || IsLow(out[i]))
      out[i] = kReplacement;
  }
  return out;
}

}  // namespace brivane::base
