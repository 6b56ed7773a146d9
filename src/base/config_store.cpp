#include "base/config_store.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace brivane::base {
namespace {

// inih's line buffer is 200 bytes including the line end and terminator.
constexpr std::size_t kMaxLine = 190;

// Serialises read-modify-write of store files within the process.
std::mutex gSaveMutex;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

bool SameFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return ReadResult::kMissing;
    SetError(error, "cannot read " + path + ": " + std::strerror(errno));
    return ReadResult::kFailed;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return ReadResult::kOk;
}

struct ParseTarget {
  std::string section;
  std::map<std::string, std::pair<std::string, std::string>>* values;  // folded -> key, value
  std::string (*fold)(std::string_view);
};

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
  auto* target = static_cast<ParseTarget*>(user);
  if (!SameFolded(section, target->section)) return 1;
  // A key seen before (even one with an empty name) is a repeated key or a
  // continuation line: joined as INIReader joins them.
  auto [slot, added] = target->values->try_emplace(target->fold(name), name, value);
  if (!added) {
    slot->second.second += '\n';
    slot->second.second += value;
  }
  return 1;
}

// The reader's line buffer: it takes at most 199 bytes (line end included)
// at a time, so a longer line is read as several lines.
constexpr std::size_t kReaderChunk = 199;
// The reader keeps at most 49 bytes of a section's name, and of the last
// key's name for its continuation lines.
constexpr std::size_t kMaxSectionName = 49;
constexpr std::size_t kMaxKeyName = 49;

// The file cut into the lines the reader sees: at each line end and after
// every kReaderChunk bytes of a longer line.
std::vector<std::string> ReaderLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string_view line(text.data() + pos, nl - pos);
    // A chunk holds kReaderChunk bytes without the line end, or the rest of
    // the line with it.
    while (line.size() >= kReaderChunk) {
      lines.emplace_back(line.substr(0, kReaderChunk));
      line.remove_prefix(kReaderChunk);
    }
    if (nl < text.size() || !line.empty()) lines.emplace_back(line);
    pos = nl + 1;
  }
  return lines;
}

// Blank as the reader's isspace() has it.
bool IsSpace(char c) { return c == ' ' || c == '\n' || IsBlank(c); }

// Where the reader stops looking for one of chars: at one of them, at an
// inline comment (';' after a blank) or at the end.
std::size_t FindCharsOrComment(std::string_view s, std::string_view chars) {
  bool wasSpace = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (chars.find(s[i]) != std::string_view::npos) return i;
    if (wasSpace && s[i] == ';') return i;
    wasSpace = IsSpace(s[i]);
  }
  return s.size();
}

// The parts of one line of the file as inih sees them.
struct LineKind {
  bool section = false;
  std::string sectionName;
  bool key = false;
  std::string keyName;
  bool continuation = false;  // indented, non-empty, not a comment
};

// havePrevName: the reader holds a (non-empty) key name from an earlier
// line of the current section; it then reads any indented line that is not
// a comment as a continuation of that key, a '[' line included.
LineKind Classify(std::string_view line, bool firstLine, bool havePrevName) {
  LineKind kind;
  bool indented = false;
  if (firstLine && line.substr(0, 3) == "\xEF\xBB\xBF") {
    line.remove_prefix(3);
    indented = true;  // the reader counts the mark as a leading blank
  }
  while (!line.empty() && IsSpace(line.back())) line.remove_suffix(1);
  while (!line.empty() && IsSpace(line.front())) {
    line.remove_prefix(1);
    indented = true;
  }
  if (line.empty() || line.front() == ';' || line.front() == '#') return kind;
  if (indented && havePrevName) {
    kind.continuation = true;
    return kind;
  }
  if (line.front() == '[') {
    auto end = FindCharsOrComment(line.substr(1), "]");
    if (end < line.size() - 1 && line[1 + end] == ']') {
      kind.section = true;
      kind.sectionName = std::string(line.substr(1, std::min(end, kMaxSectionName)));
    }
    return kind;
  }
  auto sep = FindCharsOrComment(line, "=:");
  if (sep < line.size() && (line[sep] == '=' || line[sep] == ':')) {
    std::string_view name = line.substr(0, sep);
    while (!name.empty() && IsSpace(name.back())) name.remove_suffix(1);
    kind.key = true;
    kind.keyName = std::string(name);
  }
  return kind;
}

bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
  mode_t mode = 0600;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string tmpl = path + ".tmp.XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    SetError(error, "cannot create a temporary file beside " + path + ": " + std::strerror(errno));
    return false;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  std::size_t put = 0;
  while (ok && put < text.size()) {
    ssize_t n = ::write(fd, text.data() + put, text.size() - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      put += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  int err = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(name.data(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(name.data());
    SetError(error, "cannot write " + path + ": " + std::strerror(err));
    return false;
  }
  // The rename itself is durable only once the directory is synced.
  std::string dir = ".";
  if (auto slash = path.rfind('/'); slash != std::string::npos)
    dir = slash ? path.substr(0, slash) : "/";
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace

ConfigSection::ConfigSection(std::string path, std::string section, std::string keyPath)
    : path_(std::move(path)), section_(std::move(section)), box_(std::move(keyPath)) {}

std::string ConfigSection::Fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool ConfigSection::Load(std::string* error) {
  values_.clear();
  pending_.clear();
  std::string text;
  switch (ReadWholeFile(path_, &text, error)) {
    case ReadResult::kMissing:
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kOk:
      break;
  }
  std::map<std::string, std::pair<std::string, std::string>> parsed;
  ParseTarget target{section_, &parsed, &ConfigSection::Fold};
  int line = ini_parse_string(text.c_str(), OnIniValue, &target);
  for (auto& [folded, kv] : parsed) values_[folded] = Entry{kv.first, kv.second};
  if (line != 0) {
    SetError(error, path_ + ": malformed line " + std::to_string(line));
    return false;
  }
  return true;
}

bool ConfigSection::Has(std::string_view key) const { return values_.count(Fold(key)) != 0; }

std::optional<std::string> ConfigSection::GetRaw(std::string_view key) const {
  auto it = values_.find(Fold(key));
  if (it == values_.end()) return std::nullopt;
  return it->second.value;
}

std::int64_t ConfigSection::GetInteger(std::string_view key, std::int64_t defaultValue) const {
  auto raw = GetRaw(key);
  if (!raw) return defaultValue;
  std::string_view text = Trim(*raw);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return defaultValue;
  return value;
}

std::string ConfigSection::GetString(std::string_view key, const std::string& defaultValue) const {
  auto raw = GetRaw(key);
  return raw ? *raw : defaultValue;
}

bool ConfigSection::GetBoolean(std::string_view key, bool defaultValue) const {
  auto raw = GetRaw(key);
  if (!raw) return defaultValue;
  std::string text = Fold(Trim(*raw));
  if (text == "true" || text == "yes" || text == "on" || text == "t" || text == "y") return true;
  if (text == "false" || text == "no" || text == "off" || text == "f" || text == "n") return false;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (!text.empty() && ec == std::errc() && end == text.data() + text.size()) return value != 0;
  return defaultValue;
}

std::string ConfigSection::GetPassword(std::string_view key, const std::string& defaultValue,
                                       std::string* error) const {
  auto raw = GetRaw(key);
  if (!raw) return defaultValue;
  std::string clear;
  std::string why;
  if (!box_.Decrypt(*raw, &clear, &why)) {
    SetError(error, std::string(key) + ": " + why);
    return {};
  }
  return clear;
}

bool ConfigSection::CanStore(std::string_view key, std::string_view value, std::string* error) {
  // The reader strips every blank (vertical tab and form feed included)
  // around a name, so a key holding one would not read back as written.
  bool badKey = key.empty() || key.size() > kMaxKeyName ||
                key.find_first_of("=:[];#") != std::string_view::npos;
  for (char c : key) {
    auto u = static_cast<unsigned char>(c);
    badKey = badKey || u <= 0x20 || u == 0x7F;
  }
  if (badKey) {
    SetError(error, "invalid key name");
    return false;
  }
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      SetError(error, "control characters are not allowed");
      return false;
    }
  }
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()))) {
    SetError(error, "leading or trailing blanks are not kept");
    return false;
  }
  for (std::size_t i = 1; i < value.size(); ++i) {
    if (value[i] == ';' && IsBlank(value[i - 1])) {
      SetError(error, "a blank followed by ';' starts a comment");
      return false;
    }
  }
  if (key.size() + 1 + value.size() > kMaxLine) {
    SetError(error,
             "value too long (at most " + std::to_string(kMaxLine - key.size() - 1) + " bytes)");
    return false;
  }
  return true;
}

bool ConfigSection::SetString(std::string_view key, const std::string& value, std::string* error) {
  if (!CanStore(key, value, error)) return false;
  Entry entry{std::string(key), value};
  values_[Fold(key)] = entry;
  pending_[Fold(key)] = std::move(entry);
  return true;
}

bool ConfigSection::SetInteger(std::string_view key, std::int64_t value, std::string* error) {
  return SetString(key, std::to_string(value), error);
}

bool ConfigSection::SetBoolean(std::string_view key, bool value, std::string* error) {
  return SetString(key, value ? "true" : "false", error);
}

bool ConfigSection::SetPassword(std::string_view key, const std::string& clear,
                                std::string* error) {
  std::string stored;
  if (!box_.Encrypt(clear, &stored, error)) return false;
  return SetString(key, stored, error);
}

bool ConfigSection::Save(std::string* error) {
  if (pending_.empty()) return true;
  std::lock_guard lock(gSaveMutex);
  std::string text;
  if (ReadWholeFile(path_, &text, error) == ReadResult::kFailed) return false;

  // A line longer than the reader's buffer is written back as the lines the
  // reader makes of it: the same meaning, and from then on what is in the
  // file is what is read.
  std::vector<std::string> lines = ReaderLines(text);

  std::map<std::string, Entry> unwritten = pending_;
  std::vector<std::string> out;
  bool inSection = false;
  bool sectionSeen = false;
  bool dropContinuation = false;
  auto flushUnwritten = [&] {
    // New keys go after the section's last non-blank line.
    std::size_t at = out.size();
    while (at > 0 && Trim(out[at - 1]).empty()) --at;
    std::vector<std::string> added;
    for (auto& [folded, entry] : unwritten) added.push_back(entry.key + "=" + entry.value);
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    unwritten.clear();
    return !added.empty();
  };

  bool havePrevName = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    LineKind kind = Classify(lines[i], i == 0, havePrevName);
    if (kind.continuation && dropContinuation) continue;
    if (kind.section || kind.key) dropContinuation = false;
    if (kind.key)
      havePrevName = !kind.keyName.empty();
    else if (kind.section)
      havePrevName = false;
    if (kind.section) {
      const bool added = inSection && flushUnwritten();
      inSection = SameFolded(kind.sectionName, section_);
      sectionSeen = sectionSeen || inSection;
      if (added && IsBlank(lines[i].front())) {
        // An indented header reads as a section only while no key precedes
        // it in its section; after the keys just added it would read as
        // their continuation, so it loses its indentation (same meaning).
        std::string_view header = lines[i];
        while (!header.empty() && IsBlank(header.front())) header.remove_prefix(1);
        out.emplace_back(header);
        continue;
      }
    } else if (inSection && kind.key) {
      auto folded = Fold(kind.keyName);
      if (auto it = pending_.find(folded); it != pending_.end()) {
        dropContinuation = true;
        // The first occurrence takes the new value; later ones would be
        // joined to it on reading, so they go.
        if (unwritten.erase(folded)) out.push_back(it->second.key + "=" + it->second.value);
        continue;
      }
    }
    out.push_back(lines[i]);
  }
  if (inSection) flushUnwritten();
  if (!sectionSeen) {
    while (!out.empty() && Trim(out.back()).empty()) out.pop_back();
    if (!out.empty()) out.emplace_back();
    out.push_back("[" + section_ + "]");
    flushUnwritten();
  }

  std::string result;
  for (auto& line : out) {
    result += line;
    result += '\n';
  }
  if (!WriteAtomically(path_, result, error)) return false;
  pending_.clear();
  return true;
}

}  // namespace brivane::base
