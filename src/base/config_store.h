#pragma once
// One section of the configuration store, an INI file (UTF-8) read with
// inih. Keys and section names compare without regard to case; a key that
// is absent yields the caller's default and nothing is written back.
// Setters change the in-memory value and mark the key; Save writes only the
// marked keys into the file as it is on disk at that moment, keeping every
// other key, section and comment, and replaces the file atomically (temp
// file, fsync, rename). Passwords are kept in the enciphered form of
// base/secret_box.h; a value without its prefix is clear text.
//
// Not thread-safe: each user (an Initialise, a form save) opens its own
// object. Saves of the whole process are serialised internally.
//
// inih reads lines of at most 199 bytes, strips surrounding blanks, treats
// " ;" as the start of a comment and an indented line as a continuation, so
// a value that would not read back unchanged is refused by the setters.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/secret_box.h"

namespace brivane::base {

class ConfigSection {
 public:
  // keyPath names the file of the password key (see SecretBox).
  ConfigSection(std::string path, std::string section, std::string keyPath);

  // Reads the file; a file that does not exist is an empty store. Returns
  // false with a reason when the file cannot be read or has malformed lines;
  // the lines that parsed are still available then.
  bool Load(std::string* error = nullptr);

  const std::string& Path() const { return path_; }
  const std::string& Section() const { return section_; }

  // Whether the last Load found the file (a missing file is an empty store).
  bool Exists() const { return exists_; }

  // What the last Load noticed in the file: keys
  // given more than once in the section (the last one is used), lines the
  // reader cuts, lines of the section that are not key=value. key is empty
  // where the line has none.
  struct Finding {
    int line = 0;  // from 1
    std::string key;
    std::string text;
  };
  const std::vector<Finding>& Findings() const { return findings_; }
  // The line (from 1) of the key's value in use; 0 when absent.
  int LineOf(std::string_view key) const;
  // Every key of the section as spelt in the file, with its line, in the
  // order of the file.
  std::vector<std::pair<std::string, int>> KeyLines() const;

  bool Has(std::string_view key) const;
  // The stored text as read: the last of repeated keys, with its
  // continuation lines joined by '\n'.
  std::optional<std::string> GetRaw(std::string_view key) const;

  // A decimal integer with optional sign; anything else yields the default.
  std::int64_t GetInteger(std::string_view key, std::int64_t defaultValue) const;
  std::string GetString(std::string_view key, const std::string& defaultValue) const;
  // true/yes/on/t/y or a non-zero integer is true; false/no/off/f/n or 0 is
  // false (any case); anything else yields the default.
  bool GetBoolean(std::string_view key, bool defaultValue) const;
  // The clear text of a password key. When an enciphered value cannot be
  // deciphered the result is empty and *error says why.
  std::string GetPassword(std::string_view key, const std::string& defaultValue,
                          std::string* error = nullptr) const;

  // Each setter returns false, with the reason in *error, when the value
  // could not be read back unchanged from the file; nothing changes then.
  bool SetString(std::string_view key, const std::string& value, std::string* error = nullptr);
  bool SetInteger(std::string_view key, std::int64_t value, std::string* error = nullptr);
  bool SetBoolean(std::string_view key, bool value, std::string* error = nullptr);
  // Enciphers the clear text (creating the key file when needed).
  bool SetPassword(std::string_view key, const std::string& clear, std::string* error = nullptr);

  // Writes the keys set since the last Load or Save. A store with nothing
  // to write leaves the file untouched.
  bool Save(std::string* error = nullptr);

  // Whether key=value survives a write and a read unchanged.
  static bool CanStore(std::string_view key, std::string_view value, std::string* error = nullptr);

 private:
  struct Entry {
    std::string key;  // spelling as last set or read
    std::string value;
  };
  static std::string Fold(std::string_view text);
  // Takes the reader's calls for the section into values_, with their
  // lines and findings; returns, for each line the reader saw, the file's
  // line it came from.
  std::vector<int> Absorb(const std::string& text,
                          const std::vector<std::pair<std::string, std::string>>& calls);

  std::string path_;
  std::string section_;
  SecretBox box_;
  std::map<std::string, Entry> values_;   // by folded key
  std::map<std::string, Entry> pending_;  // set since the last Load/Save, by folded key
  std::map<std::string, int> lines_;      // line of each value read, by folded key
  std::vector<Finding> findings_;
  bool exists_ = false;
};

}  // namespace brivane::base
