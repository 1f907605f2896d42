#pragma once
// One registry hive in memory: its keys with their values, found by path without regard to
// case. The registry store reads and writes it through the text form of registry_text.h.
// Not thread-safe by itself.
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

// True when the folded path `folded` lies below `parentFolded` (any depth).
bool IsBelowKey(std::string_view folded, std::string_view parentFolded);

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

}  // namespace kv::platform
