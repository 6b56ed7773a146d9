#include "base/text.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include <iconv.h>

namespace brivane::base {
namespace {

// One iconv descriptor per conversion and thread: descriptors carry shift
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

Converter& Get(const char* to, const char* from) {
  thread_local std::map<std::pair<std::string, std::string>, Converter> cache;
  auto key = std::make_pair(std::string(to), std::string(from));
  auto it = cache.find(key);
  if (it == cache.end()) {
    it = cache.emplace(std::piecewise_construct, std::forward_as_tuple(key),
                       std::forward_as_tuple(to, from))
             .first;
  }
  return it->second;
}

std::u16string ToU16(const std::string& bytes) {
  std::u16string s(bytes.size() / 2, u'\0');
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

constexpr char kUtf16Replacement[] = {'\xFD', '\xFF'};  // U+FFFD, little-endian
constexpr std::string_view kU16Repl(kUtf16Replacement, 2);

}  // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
  return ToU16(Get("UTF-16LE", "GB18030").Run(gbk.data(), gbk.size(), 1, kU16Repl, nullptr));
}

std::string Utf16ToGbk(std::u16string_view utf16, bool* lossless) {
  if (lossless) *lossless = true;
  return Get("GBK", "UTF-16LE")
      .Run(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2, 2, "?", lossless);
}

std::string GbkToUtf8(std::string_view gbk) {
  return Get("UTF-8", "GB18030").Run(gbk.data(), gbk.size(), 1, "\xEF\xBF\xBD", nullptr);
}

std::string Utf8ToGbk(std::string_view utf8, bool* lossless) {
  if (lossless) *lossless = true;
  // Go through UTF-16 so that a character GBK lacks costs one '?', however
  // many UTF-8 bytes it had.
  return Utf16ToGbk(Utf8ToUtf16(utf8), lossless);
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  return Get("UTF-8", "UTF-16LE")
      .Run(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2, 2, "\xEF\xBF\xBD",
           nullptr);
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  return ToU16(Get("UTF-16LE", "UTF-8").Run(utf8.data(), utf8.size(), 1, kU16Repl, nullptr));
}

}  // namespace brivane::base
