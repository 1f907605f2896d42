#include "transport/object_table.h"

#include <algorithm>

#include "dispatch/calc_commands.h"
#include "protocol/wire_names.h"

namespace kv::transport {

ObjectTable::~ObjectTable() = default;

std::string ObjectTable::Add(const com::ComPtr<com::IUnknown>& obj, Apartment* apartment) {
  auto found = byObject_.find(obj.Get());
  if (found != byObject_.end()) return found->second;
  if (byPath_.size() >= limit_) return std::string();
  HeldObject held;
  held.path = kObjectPathPrefix + std::to_string(next_->fetch_add(1) + 1);
  held.object = obj;
  held.dispatch = com::QueryInterface<com::IDispatch>(obj);
  if (auto cmd = com::QueryInterface<ICommandObject>(obj)) held.typed = &TypedInterface::For(cmd->Table());
  held.apartment = apartment;
  std::string path = held.path;
  byObject_.emplace(obj.Get(), path);
  byPath_.emplace(path, std::move(held));
  live_->fetch_add(1);
  return path;
}

const HeldObject* ObjectTable::Find(const std::string& path) const {
  auto it = byPath_.find(path);
  return it == byPath_.end() ? nullptr : &it->second;
}

bool ObjectTable::Remove(const std::string& path, HeldObject* out) {
  auto it = byPath_.find(path);
  if (it == byPath_.end()) return false;
  byObject_.erase(it->second.object.Get());
  *out = std::move(it->second);
  byPath_.erase(it);
  live_->fetch_sub(1);
  return true;
}

std::vector<HeldObject> ObjectTable::TakeAll() {
  std::vector<HeldObject> out;
  out.reserve(byPath_.size());
  for (auto& [path, held] : byPath_) out.push_back(std::move(held));
  live_->fetch_sub(static_cast<long>(byPath_.size()));
  byPath_.clear();
  byObject_.clear();
  return out;
}

std::vector<std::string> ObjectTable::ChildNames(size_t max) const {
  std::vector<uint64_t> numbers;
  numbers.reserve(byPath_.size());
  const size_t prefix = sizeof(kObjectPathPrefix) - 1;
  for (const auto& [path, held] : byPath_) numbers.push_back(std::stoull(path.substr(prefix)));
  if (numbers.size() > max) {
    std::nth_element(numbers.begin(), numbers.begin() + static_cast<std::ptrdiff_t>(max), numbers.end());
    numbers.resize(max);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> out;
  out.reserve(numbers.size());
  for (uint64_t n : numbers) out.push_back(std::to_string(n));
  return out;
}

std::string TablePaths::PathOf(const com::ComPtr<com::IUnknown>& obj) {
  const size_t before = table_->Size();
  std::string path = table_->Add(obj, apartment_);
  if (path.empty()) refused_ = true;
  else if (table_->Size() > before) added_.push_back(path);
  return path;
}

bool TablePaths::ObjectAt(const std::string& path, com::ComPtr<com::IUnknown>* obj) {
  const HeldObject* held = table_->Find(path);
  if (!held) return false;
  *obj = held->object;
  return true;
}

}  // namespace kv::transport
