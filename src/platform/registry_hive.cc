#include "platform/registry_hive.h"

#include <algorithm>

namespace kv::platform {
namespace {

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameRegName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

}  // namespace

bool IsBelowKey(std::string_view folded, std::string_view parentFolded) {
  if (parentFolded.empty()) return !folded.empty();
  return folded.size() > parentFolded.size() && folded.starts_with(parentFolded) &&
         folded[parentFolded.size()] == '\\';
}

std::string FoldRegName(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = FoldChar(c);
  return r;
}

std::string NormalizeKeyPath(std::string_view key) {
  std::string r;
  size_t i = 0;
  while (i < key.size()) {
    size_t sep = key.find('\\', i);
    if (sep == std::string_view::npos) sep = key.size();
    if (sep > i) {
      if (!r.empty()) r.push_back('\\');
      r.append(key.substr(i, sep - i));
    }
    i = sep + 1;
  }
  return r;
}

RegValue* RegKeyData::FindValue(std::string_view name) {
  for (auto& [n, v] : values) {
    if (SameRegName(n, name)) return &v;
  }
  return nullptr;
}

const RegValue* RegKeyData::FindValue(std::string_view name) const {
  return const_cast<RegKeyData*>(this)->FindValue(name);
}

bool RegKeyData::EraseValue(std::string_view name) {
  auto it = std::find_if(values.begin(), values.end(), [&](const auto& p) { return SameRegName(p.first, name); });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

RegHiveData::RegHiveData() {
  keys_.emplace_back();
  index_.emplace("", 0);
}

RegKeyData* RegHiveData::Find(std::string_view path) {
  auto it = index_.find(FoldRegName(path));
  return it == index_.end() ? nullptr : &keys_[it->second];
}

const RegKeyData* RegHiveData::Find(std::string_view path) const {
  return const_cast<RegHiveData*>(this)->Find(path);
}

RegKeyData* RegHiveData::Create(std::string_view path, std::optional<int64_t> stamp, bool* created) {
  if (created) *created = false;
  std::string folded = FoldRegName(path);
  auto it = index_.find(folded);
  if (it != index_.end()) return &keys_[it->second];
  // Walk down from the top so that parents come before their subkeys.
  size_t pos = 0;
  while (true) {
    size_t sep = folded.find('\\', pos);
    size_t len = sep == std::string::npos ? folded.size() : sep;
    std::string prefix = folded.substr(0, len);
    if (!index_.count(prefix)) {
      RegKeyData k;
      const RegKeyData* parent = nullptr;
      if (size_t cut = prefix.rfind('\\'); cut != std::string::npos) {
        parent = &keys_[index_.at(prefix.substr(0, cut))];
      }
      // Keep the existing spelling of the parent levels, this call's spelling of the new one.
      k.path = parent ? parent->path + "\\" + std::string(path.substr(parent->path.size() + 1, len - parent->path.size() - 1))
                      : std::string(path.substr(0, len));
      k.folded = prefix;
      k.stamp = stamp;
      index_.emplace(prefix, keys_.size());
      keys_.push_back(std::move(k));
      if (created) *created = true;
    }
    if (sep == std::string::npos) break;
    pos = sep + 1;
  }
  return &keys_[index_.at(folded)];
}

bool RegHiveData::Erase(std::string_view path) {
  std::string folded = FoldRegName(path);
  if (folded.empty() || !index_.count(folded)) return false;
  std::erase_if(keys_, [&](const RegKeyData& k) { return k.folded == folded || IsBelowKey(k.folded, folded); });
  Reindex();
  return true;
}

std::vector<std::string> RegHiveData::SubKeyNames(std::string_view path) const {
  std::vector<std::string> names;
  std::string folded = FoldRegName(path);
  for (const RegKeyData& k : keys_) {
    if (!IsBelowKey(k.folded, folded)) continue;
    size_t skip = folded.empty() ? 0 : folded.size() + 1;
    if (k.folded.find('\\', skip) != std::string::npos) continue;
    names.push_back(k.path.substr(skip));
  }
  return names;
}

void RegHiveData::Reindex() {
  index_.clear();
  for (size_t i = 0; i < keys_.size(); ++i) index_.emplace(keys_[i].folded, i);
}

}  // namespace kv::platform
