// Fuzz entry for the configuration store. Input: the INI text, then after the
// first NUL byte up to four "key NUL value NUL" pairs to set in [Parameters]
// (a key beginning with '*' is set as a password, without the '*').
//
// Beyond "no crash" it checks what an operator relies on when the form saves:
// a setter refuses exactly what CanStore refuses; after Save every key set
// reads back as set (passwords decipher to the clear text); every other key,
// in [Parameters] and in every other section, reads back unchanged; and a
// file that read without error still does. A broken property aborts.

#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/config_store.h"

namespace {

using brivane::base::ConfigSection;

#define CHECK(cond, what)                                                             \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "config store property broken: %s: %s (line %d)\n", #cond, \
                   std::string(what).c_str(), __LINE__);                              \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every section and key of a text as the INI reader sees it, joined the way
// the store joins repeated keys: folded "section\nkey" -> value.
using Everything = std::map<std::string, std::string>;

int Collect(void* user, const char* section, const char* name, const char* value) {
  auto& all = *static_cast<Everything*>(user);
  auto [it, added] = all.emplace(Fold(section) + "\n" + Fold(name), value);
  if (!added) it->second += std::string("\n") + value;
  return 1;
}

Everything ReadEverything(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Everything all;
  ini_parse_string(text.c_str(), Collect, &all);
  return all;
}

const std::string& Dir() {
  // Never freed, so that the exit handler removing it can still read it.
  static const std::string* dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    auto* d = new std::string(base + "/brivane-fuzz-ini-" + std::to_string(getpid()));
    mkdir(d->c_str(), 0700);
    std::atexit([] { std::filesystem::remove_all(Dir()); });
    return d;
  }();
  return *dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const std::string text = input.substr(0, nul);
  // Text with a NUL inside cannot be in a file the reader reads whole.
  std::vector<std::pair<std::string, std::string>> sets;
  if (nul != std::string::npos) {
    std::vector<std::string> fields;
    std::size_t at = nul + 1;
    while (at <= input.size() && fields.size() < 8) {
      auto end = input.find('\0', at);
      if (end == std::string::npos) end = input.size();
      fields.push_back(input.substr(at, end - at));
      at = end + 1;
    }
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2)
      sets.emplace_back(fields[i], fields[i + 1]);
  }

  const std::string path = Dir() + "/brivane.ini";
  const std::string keyPath = Dir() + "/brivane.key";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }

  ConfigSection before(path, "Parameters", keyPath);
  std::string error;
  const bool readClean = before.Load(&error);
  const Everything allBefore = ReadEverything(path);

  // Typed reads of every key of the section never fail hard.
  for (const auto& [name, value] : allBefore) {
    if (name.rfind("parameters\n", 0) != 0) continue;
    const std::string key = name.substr(11);
    CHECK(before.Has(key), key);
    // The reader joins a repeated key and a continuation line alike; the
    // store keeps the last repetition with its continuations: a tail of
    // the joined text.
    const auto raw = before.GetRaw(key);
    CHECK(raw && (*raw == value ||
                  (value.size() > raw->size() &&
                   value.compare(value.size() - raw->size(), raw->size(), *raw) == 0 &&
                   value[value.size() - raw->size() - 1] == '\n')),
          key);
    (void)before.GetInteger(key, 0);
    (void)before.GetBoolean(key, false);
  }

  ConfigSection section(path, "Parameters", keyPath);
  section.Load();
  std::map<std::string, std::pair<std::string, bool>> expected;  // folded key -> value, password
  for (const auto& [rawKey, value] : sets) {
    const bool password = !rawKey.empty() && rawKey[0] == '*';
    const std::string key = password ? rawKey.substr(1) : rawKey;
    bool ok = password ? section.SetPassword(key, value) : section.SetString(key, value);
    if (!password) CHECK(ok == ConfigSection::CanStore(key, value), key + "=" + value);
    if (ok) expected[Fold(key)] = {value, password};
  }
  CHECK(section.Save(&error), error);

  ConfigSection after(path, "Parameters", keyPath);
  const bool readCleanAfter = after.Load(&error);
  if (readClean) CHECK(readCleanAfter, "a clean file no longer reads: " + error);
  for (const auto& [folded, v] : expected) {
    if (v.second) {
      std::string why;
      CHECK(after.GetPassword(folded, "", &why) == v.first, folded + " " + why);
    } else {
      CHECK(after.GetRaw(folded) == v.first, folded + "=" + v.first);
    }
  }
  const Everything allAfter = ReadEverything(path);
  for (const auto& [name, value] : allBefore) {
    if (name.rfind("parameters\n", 0) == 0 && expected.count(name.substr(11))) continue;
    auto it = allAfter.find(name);
    CHECK(it != allAfter.end(), "lost " + name);
    CHECK(it->second == value, name + " changed");
  }
  for (const auto& [name, value] : allAfter) {
    if (name.rfind("parameters\n", 0) == 0 && expected.count(name.substr(11))) continue;
    CHECK(allBefore.count(name), "invented " + name);
  }
  return 0;
}
