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

#include "base/files.h"
#include "base/strings.h"

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

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  // A directory opens as a stream that reads nothing: it would pass for an
  // empty store.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    SetError(error, "cannot read " + path + ": " + std::strerror(EISDIR));
    return ReadResult::kFailed;
  }
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

// The reader's calls for the section, in the order of the file: a key line
// and each of its continuation lines give one call each, under the key's name.
struct ParseTarget {
  std::string section;
  std::vector<std::pair<std::string, std::string>>* calls;  // name, value
};

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
  auto* target = static_cast<ParseTarget*>(user);
  if (EqualsNoCase(section, target->section)) target->calls->emplace_back(name, value);
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
// every kReaderChunk bytes of a longer line. fileLines, when given, receives
// for each of them the number (from 1) of the file's line it came from.
std::vector<std::string> ReaderLines(const std::string& text,
                                     std::vector<int>* fileLines = nullptr) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  int number = 0;
  while (pos < text.size()) {
    ++number;
    auto nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string_view line(text.data() + pos, nl - pos);
    // A chunk holds kReaderChunk bytes without the line end, or the rest of
    // the line with it.
    while (line.size() >= kReaderChunk) {
      lines.emplace_back(line.substr(0, kReaderChunk));
      if (fileLines) fileLines->push_back(number);
      line.remove_prefix(kReaderChunk);
    }
    if (nl < text.size() || !line.empty()) {
      lines.emplace_back(line);
      if (fileLines) fileLines->push_back(number);
    }
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
  bool ok = ::fchmod(fd, mode) == 0 && WriteAllAndSync(fd, text.data(), text.size());
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

std::string ConfigSection::Fold(std::string_view text) { return AsciiLowered(text); }

bool ConfigSection::Load(std::string* error) {
  values_.clear();
  pending_.clear();
  lines_.clear();
  findings_.clear();
  exists_ = false;
  std::string text;
  switch (ReadWholeFile(path_, &text, error)) {
    case ReadResult::kMissing:
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kOk:
      break;
  }
  exists_ = true;
  std::vector<std::pair<std::string, std::string>> calls;
  ParseTarget target{section_, &calls};
  int line = ini_parse_string(text.c_str(), OnIniValue, &target);
  std::vector<int> fileLines = Absorb(text, calls);
  if (line != 0) {
    // The reader counts the pieces of a cut line as lines; the operator
    // counts the file's.
    if (line > 0 && static_cast<std::size_t>(line) <= fileLines.size())
      line = fileLines[static_cast<std::size_t>(line) - 1];
    SetError(error, path_ + ": malformed line " + std::to_string(line));
    return false;
  }
  return true;
}

std::vector<int> ConfigSection::Absorb(
    const std::string& text, const std::vector<std::pair<std::string, std::string>>& calls) {
  // The reader gives a repeated key and a continuation line alike (a call
  // under the same name); the lines, seen as the reader sees them, tell
  // them apart: a repeated key replaces the earlier value (the last one
  // wins, and is reported), a continuation line is joined to its key.
  std::vector<int> fileLines;
  const std::vector<std::string> lines = ReaderLines(text, &fileLines);
  struct Event {
    bool continuation;
    int line;
    std::string folded;  // a key line's name
  };
  std::vector<Event> events;
  bool inSection = false;
  bool havePrevName = false;
  int lastLongLine = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    LineKind kind = Classify(lines[i], i == 0, havePrevName);
    if (kind.key)
      havePrevName = !kind.keyName.empty();
    else if (kind.section)
      havePrevName = false;
    if (kind.section) inSection = EqualsNoCase(kind.sectionName, section_);
    const int number = fileLines[i];
    // A line the reader cuts: reported once, at its first piece.
    const bool cut = lines[i].size() >= kReaderChunk && i + 1 < lines.size() &&
                     fileLines[i + 1] == number && !Trim(lines[i + 1]).empty();
    // The rest of a cut line is told by the finding of its first piece.
    const bool rest = i > 0 && fileLines[i - 1] == number;
    if (number != lastLongLine && cut) {
      lastLongLine = number;
      findings_.push_back(
          {number, kind.key ? kind.keyName : std::string(),
           "line longer than " + std::to_string(kReaderChunk) +
               " bytes: it is cut there and the rest is read as a line of its own"});
    }
    if (!inSection || kind.section) continue;
    if (kind.key || kind.continuation) {
      events.push_back({kind.continuation, number, Fold(kind.keyName)});
    } else {
      std::string_view trimmed = Trim(lines[i]);
      if (!rest && !trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#')
        findings_.push_back({number, "", "not a key=value line; ignored"});
    }
  }

  bool agree = events.size() == calls.size();
  for (std::size_t i = 0; agree && i < calls.size(); ++i)
    agree = events[i].continuation || events[i].folded == Fold(calls[i].first);
  if (!agree) {
    // Never expected; should the two ever disagree, join as the reader's
    // own C++ wrapper does rather than guess.
    for (auto& [name, value] : calls) {
      auto [slot, added] = values_.try_emplace(Fold(name), Entry{name, value});
      if (!added) slot->second.value += '\n' + value;
    }
    return fileLines;
  }
  std::map<std::string, std::vector<int>> seen;  // folded key -> its lines
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& [name, value] = calls[i];
    std::string folded = Fold(name);
    if (events[i].continuation && values_.count(folded)) {
      values_[folded].value += '\n' + value;
      continue;
    }
    values_[folded] = Entry{name, value};
    lines_[folded] = events[i].line;
    seen[folded].push_back(events[i].line);
  }
  for (const auto& [folded, at] : seen) {
    if (at.size() < 2) continue;
    std::string list;
    for (std::size_t k = 0; k < at.size(); ++k)
      list += (k == 0 ? "" : k + 1 == at.size() ? " and " : ", ") + std::to_string(at[k]);
    findings_.push_back(
        {at.back(), values_[folded].key, "repeated on lines " + list + "; the last one is used"});
  }
  std::sort(findings_.begin(), findings_.end(),
            [](const Finding& a, const Finding& b) { return a.line < b.line; });
  return fileLines;
}

int ConfigSection::LineOf(std::string_view key) const {
  auto it = lines_.find(Fold(key));
  return it == lines_.end() ? 0 : it->second;
}

std::vector<std::pair<std::string, int>> ConfigSection::KeyLines() const {
  std::vector<std::pair<std::string, int>> keys;
  for (const auto& [folded, line] : lines_) keys.emplace_back(values_.at(folded).key, line);
  std::sort(keys.begin(), keys.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  return keys;
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
      inSection = EqualsNoCase(kind.sectionName, section_);
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
