#pragma once
// One registry hive in memory and its text form (the registry-file format described in
// registry_store.h). RegistryStore reads and writes files with these; nothing here touches the
// file system. Not thread-safe by itself.
//
// Text form details:
// - Strings and names are UTF-8; "\\", "\"", "\n", "\r", "\t", "\0" are escaped, other control
//   characters become "\xHHHH" (a UTF-16 unit; a surrogate pair is read back as one character).
// - Keys are written sorted level by level without regard to case, so files diff well. A key is
//   written as a section when it has values or has no subkeys; keys that only lead to other
//   keys are implied by them and come back on reading.
// - Reading is lenient with what is harmless: CRLF, trailing blanks, "#" and ";" lines, a
//   missing stamp, "hex(N):" data (hex(1)/hex(2) as UTF-16LE text, hex(4) as a DWORD) and hex
//   lines continued with a final "\".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry_store.h"

namespace kv::platform {

// ASCII-only case folding; the bytes of multi-byte UTF-8 sequences pass unchanged.
std::string FoldRegName(std::string_view s);

// Drops empty levels: "\A\\B\" -> "A\B". "" is the hive root.
std::string NormalizeKeyPath(std::string_view key);

struct RegKeyData {
  std::string path;    // levels joined by "\", spelling as first written; "" is the root
  std::string folded;  // FoldRegName(path)
  std::optional<int64_t> stamp;  // seconds since 1970 of the last change, when known
  std::vector<std::pair<std::string, RegValue>> values;  // file order

  RegValue* FindValue(std::string_view name);
  const RegValue* FindValue(std::string_view name) const;
  // False when the value is missing.
  bool EraseValue(std::string_view name);
};

class RegHiveData {
 public:
  RegHiveData();  // only the root

  // `path` must be normalized. nullptr when missing.
  RegKeyData* Find(std::string_view path);
  const RegKeyData* Find(std::string_view path) const;
  // Finds or creates the key and its missing parents; new keys get `stamp`. `*created` (may be
  // null) tells whether anything was added.
  RegKeyData* Create(std::string_view path, std::optional<int64_t> stamp, bool* created);
  // Removes the key and all its subkeys. False when missing; the root is never removed.
  bool Erase(std::string_view path);
  // Last levels of the direct subkeys, in key order.
  std::vector<std::string> SubKeyNames(std::string_view path) const;

  const std::vector<RegKeyData>& keys() const { return keys_; }

 private:
  void Reindex();

  std::vector<RegKeyData> keys_;                    // keys_[0] is the root
  std::unordered_map<std::string, size_t> index_;  // folded path -> position in keys_
};

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
