#pragma once
// An ordered collection of engine objects with unique names (a library's formulas, a
// calculation's parameters), answering IZrFormulas and, by name, "Count" and "Item" (1-based;
// Item is the default member). T is a ref-counted IDispatch object with `std::string Name() const`.
// Thread-safe; the items are held, not copied, so Item hands out the live objects.
#include <pugixml.hpp>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "components/calc_components.h"
#include "engine/object_file.h"
#include "engine/property_table.h"

namespace kv::engine {

template <class T>
class NamedCollection : public com::ComObject<components::IZrFormulas, PropertyObject> {
 public:
  NamedCollection() {
    props_.Computed("Count", [this](std::vector<Variant>&, Variant* result) {
      long n;
      Count(&n);
      *result = Variant::I4(n);
      return com::S_OK;
    });
    props_.Computed(
        "Item",
        [this](std::vector<Variant>& args, Variant* result) {
          long index;
          HRESULT hr = ItemIndex(args, &index);
          com::ComPtr<com::IDispatch> item;
          if (SUCCEEDED(hr)) hr = Item(index, &item);
          if (SUCCEEDED(hr)) *result = Variant::Dispatch(item);
          return hr;
        },
        com::DISPID_VALUE);
  }

  HRESULT Count(long* count) override {
    if (!count) return com::E_POINTER;
    std::lock_guard lock(mu_);
    *count = static_cast<long>(items_.size());
    return com::S_OK;
  }

  // DISP_E_BADINDEX outside 1..Count.
  HRESULT Item(long index, com::ComPtr<com::IDispatch>* item) override {
    if (!item) return com::E_POINTER;
    std::lock_guard lock(mu_);
    if (index < 1 || static_cast<size_t>(index) > items_.size()) return com::DISP_E_BADINDEX;
    *item = items_[index - 1];
    return com::S_OK;
  }

  std::vector<com::ComPtr<T>> Items() const {
    std::lock_guard lock(mu_);
    return items_;
  }

  // The items into *out (its storage reused); the count of Edits they were read at.
  uint32_t CopyItems(std::vector<com::ComPtr<T>>* out) const {
    std::lock_guard lock(mu_);
    out->assign(items_.begin(), items_.end());
    return Edits();
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& item : Items()) names.push_back(item->Name());
    return names;
  }

  // The item whose name equals `name` exactly, or null.
  com::ComPtr<T> Find(std::string_view name) const {
    std::lock_guard lock(mu_);
    auto it = FindLocked(name);
    return it == items_.end() ? nullptr : *it;
  }

  // The items are as shared as their collection, those added later too.
  void GuardChanges(components::SharedObject kind) override {
    PropertyObject::GuardChanges(kind);
    for (const auto& item : Items()) item->GuardChanges(kind);
  }

  // Appends `item`; false (and nothing added) when an item of that name is held.
  bool Add(com::ComPtr<T> item) {
    const std::string name = item->Name();
    if (const components::SharedObject kind = Guard(); kind != components::SharedObject::None)
      item->GuardChanges(kind);
    std::lock_guard lock(mu_);
    if (FindLocked(name) != items_.end()) return false;
    edits_.fetch_add(1, std::memory_order_relaxed);
    items_.push_back(std::move(item));
    return true;
  }

  bool Remove(std::string_view name) {
    std::lock_guard lock(mu_);
    auto it = FindLocked(name);
    if (it == items_.end()) return false;
    edits_.fetch_add(1, std::memory_order_relaxed);
    items_.erase(it);
    return true;
  }

  void Replace(std::vector<com::ComPtr<T>> items) {
    if (const components::SharedObject kind = Guard(); kind != components::SharedObject::None)
      for (const auto& item : items) item->GuardChanges(kind);
    std::lock_guard lock(mu_);
    edits_.fetch_add(1, std::memory_order_relaxed);
    items_ = std::move(items);
  }

 private:
  typename std::vector<com::ComPtr<T>>::const_iterator FindLocked(std::string_view name) const {
    return std::find_if(items_.begin(), items_.end(), [&](const com::ComPtr<T>& i) { return i->Name() == name; });
  }

  std::vector<com::ComPtr<T>> items_;  // guarded by mu_
};

// Reads every `itemName` child of `list` with `read` (a new item, or null with the reason in
// `err`) into `out`; false at the first failure or at a name that appears twice.
template <class T, class Read>
bool ReadNamedItems(pugi::xml_node list, const char* itemName, Read read, XmlError* err,
                    std::vector<com::ComPtr<T>>* out) {
  std::set<std::string> names;
  for (pugi::xml_node node : list.children(itemName)) {
    com::ComPtr<T> item = read(node, err);
    if (!item) return false;
    if (!names.insert(item->Name()).second)
      return FailAt(node, "the name \"" + item->Name() + "\" appears twice", err);
    out->push_back(std::move(item));
  }
  return true;
}

}  // namespace kv::engine
