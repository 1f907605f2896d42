#pragma once
// The text form of a registry hive (the registry-file format described in registry_store.h):
// parsing a whole file into a RegHiveData and formatting one back. Nothing here touches the
// file system.
//
// Text form details:
// - Strings and names are UTF-8; "\\", "\"", "\n", "\r", "\t", "\0" are escaped, other control
//   characters become "\xHHHH" (a UTF-16 unit; a surrogate pair is read back as one character,
//   a lone surrogate as U+FFFD).
// - Keys are written sorted level by level without regard to case, so files diff well. A key is
//   written as a section when it has values or has no subkeys; keys that only lead to other
//   keys are implied by them and come back on reading.
// - Reading is lenient with what is harmless: CRLF, trailing blanks, "#" and ";" lines, a
//   missing stamp, "hex(N):" data (hex(1)/hex(2) as UTF-16LE text, hex(4) as a DWORD) and hex
//   lines continued with a final "\".
#include <string>
#include <string_view>

#include "platform/registry_hive.h"

namespace kv::platform {

struct RegParseError {
  int line = 0;  // 1-based
  std::string reason;
};

// Parses a whole file; an empty or blank text is an empty hive. False with `*err` filled when
// the text is malformed (`*out` then holds no keys).
bool ParseRegistryText(std::string_view text, RegHiveData* out, RegParseError* err);

// The file text: the header, ";; All keys relative to <relativeTo>", then the keys.
std::string FormatRegistryText(const RegHiveData& hive, std::string_view relativeTo);

}  // namespace kv::platform
