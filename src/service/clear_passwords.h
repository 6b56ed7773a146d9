#pragma once
// Password keys typed into the store in clear text: at start they are
// enciphered in place, so that a clear password does not stay on disk
// until someone happens to save the form with a new one. Called by the
// start sequence on its own ConfigSection; no logging here.

#include <string>
#include <vector>

#include "base/config_store.h"

namespace brivane::service {

// Enciphers every password key of the form whose stored value is clear
// text (not empty, not in the enciphered form) and saves the section, which
// replaces the file atomically and keeps every other line. Returns the keys
// it enciphered; false with *error when the file could not be written, in
// which case it is left as it was.
bool EncipherClearPasswords(base::ConfigSection& section, std::vector<std::string>* keys,
                            std::string* error);

}  // namespace brivane::service
