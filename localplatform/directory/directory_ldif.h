// LDIF in and out: loading an LDIF file into a directory, and writing
// entries as LDIF that both the embedded directory and slapd (slapadd,
// ldapadd) accept.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "localplatform/directory/directory_backend.h"

namespace localplatform::directory {

// Parses LDIF text (content records, or change records of type add) into
// entries, in file order. Raises platform::Error kUnrecognizedData naming
// the record for text that is not LDIF or for other change types.
std::vector<Entry> ParseLdif(const std::string& text);

// Adds the entries to the directory inside one bulk transaction; progress
// (when set) is told the count after every 1,000 entries. Returns the count.
// On a failure nothing of the load stays in the embedded directory.
size_t LoadEntries(Backend& backend, const std::vector<Entry>& entries,
                   const std::function<void(size_t)>& progress = nullptr);

// One entry as an LDIF record (ending in a blank line); values that are not
// safe strings are written in base64.
std::string ToLdif(const Entry& entry);

}  // namespace localplatform::directory
