#include "engine/collection.h"

#include <algorithm>
#include <set>

#include "engine/persistent_kinds.h"

namespace kv::engine {
namespace {

// Collections nest (a group's items, a type's units); a file nesting them deeper than this is
// damaged, and reading it must not exhaust the stack.
constexpr int kMaxNesting = 32;
thread_local int t_nesting = 0;

struct NestingGuard {
  NestingGuard() { ++t_nesting; }
  ~NestingGuard() { --t_nesting; }
};

// The one element inside <Item>, or a null node when there is none or more than one.
pugi::xml_node OnlyElement(pugi::xml_node parent) {
  pugi::xml_node found;
  for (pugi::xml_node child : parent.children()) {
    if (child.type() != pugi::node_element) continue;
    if (found) return {};
    found = child;
  }
  return found;
}

}  // namespace

ZrCollection::ZrCollection() {
  props_.Computed("Count", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::I4(static_cast<int32_t>(Size()));
    return com::S_OK;
  });
  props_.Computed(
      "Item",
      [this](std::vector<Variant>& args, Variant* result) {
        com::ComPtr<com::IDispatch> item;
        HRESULT hr;
        if (!args.empty() && args.front().Deref().vt() == com::VT_BSTR) {
          hr = Item(args.front().Deref().bstr(), &item);
          if (hr == com::S_FALSE) hr = com::DISP_E_BADINDEX;
        } else {
          long position;
          hr = ItemIndex(args, &position);
          if (SUCCEEDED(hr)) hr = ItemAt(position, &item);
        }
        if (SUCCEEDED(hr)) *result = Variant::Dispatch(item);
        return hr;
      },
      com::DISPID_VALUE);
  props_.Computed("NameList", [this](std::vector<Variant>&, Variant* result) { return NameList(result); });
  props_.Method("Add", [this](std::vector<Variant>& args, Variant*) {
    Bstr name;
    HRESULT hr = StringArg(args, 0, &name);
    if (FAILED(hr)) return hr;
    if (args.size() < 2) return com::DISP_E_PARAMNOTOPTIONAL;
    const Variant& obj = args[1].Deref();
    if (obj.vt() != com::VT_DISPATCH && obj.vt() != com::VT_UNKNOWN) return com::DISP_E_TYPEMISMATCH;
    return Add(name, obj.dispatch().Get());
  }, PropertyTable::kChanges);
  props_.Method("Remove", [this](std::vector<Variant>& args, Variant*) {
    Bstr name;
    HRESULT hr = StringArg(args, 0, &name);
    return FAILED(hr) ? hr : Remove(name);
  }, PropertyTable::kChanges);
}

void ZrCollection::GuardChanges(components::SharedObject kind) {
  PropertyObject::GuardChanges(kind);
  for (const Entry& e : Entries()) GuardShared(e.item.Get(), kind);
}

HRESULT ZrCollection::Add(const Bstr& name, com::IDispatch* item) {
  if (!item) return com::E_POINTER;
  return AddNamed(name.ToUtf8(), com::ComPtr<com::IDispatch>(item));
}

HRESULT ZrCollection::AddNamed(std::string name, com::ComPtr<com::IDispatch> item) {
  if (!item) return com::E_POINTER;
  if (!PersistentFormOf(item.Get())) return com::DISP_E_TYPEMISMATCH;
  if (HoldsCollection(item.Get(), this)) return com::E_INVALIDARG;
  // What a shared collection takes in is shared too; marked before anyone can reach it here.
  if (const components::SharedObject kind = Guard(); kind != components::SharedObject::None)
    GuardShared(item.Get(), kind);
  std::lock_guard lock(mu_);
  if (FindLocked(name) != entries_.end()) return kNameTaken;
  entries_.push_back({std::move(name), std::move(item)});
  return com::S_OK;
}

HRESULT ZrCollection::Count(long* count) { return SetOut(count, static_cast<long>(Size())); }

HRESULT ZrCollection::Remove(const Bstr& name) { return Erase(name.ToUtf8()) ? com::S_OK : kNameNotFound; }

bool ZrCollection::Erase(std::string_view name) {
  com::ComPtr<com::IDispatch> removed;  // released after the lock
  std::lock_guard lock(mu_);
  auto it = FindLocked(name);
  if (it == entries_.end()) return false;
  removed = it->item;
  entries_.erase(it);
  return true;
}

HRESULT ZrCollection::ItemAt(long position, com::ComPtr<com::IDispatch>* item) {
  if (!item) return com::E_POINTER;
  std::lock_guard lock(mu_);
  if (position < 1 || static_cast<size_t>(position) > entries_.size()) {
    *item = nullptr;
    return com::DISP_E_BADINDEX;
  }
  *item = entries_[static_cast<size_t>(position) - 1].item;
  return com::S_OK;
}

HRESULT ZrCollection::Item(const Bstr& name, com::ComPtr<com::IDispatch>* item) {
  if (!item) return com::E_POINTER;
  *item = Find(name.ToUtf8());
  return *item ? com::S_OK : com::S_FALSE;
}

HRESULT ZrCollection::NameList(Variant* names) {
  std::vector<std::string> list;
  for (const auto& e : Entries()) list.push_back(e.name);
  return SetOut(names, com::StringListVariant(list));
}

com::ComPtr<com::IDispatch> ZrCollection::Find(std::string_view name) const {
  std::lock_guard lock(mu_);
  auto it = FindLocked(name);
  return it == entries_.end() ? nullptr : it->item;
}

std::vector<ZrCollection::Entry> ZrCollection::Entries() const {
  std::lock_guard lock(mu_);
  return entries_;
}

size_t ZrCollection::Size() const {
  std::lock_guard lock(mu_);
  return entries_.size();
}

void ZrCollection::TakeContent(ZrCollection& other) {
  if (&other == this) return;
  std::vector<Entry> taken;
  {
    std::lock_guard lock(other.mu_);
    taken.swap(other.entries_);
  }
  if (const components::SharedObject kind = Guard(); kind != components::SharedObject::None)
    for (const Entry& e : taken) GuardShared(e.item.Get(), kind);
  std::lock_guard lock(mu_);
  entries_.swap(taken);  // the old entries are released with `taken`, after the lock
}

std::vector<ZrCollection::Entry>::const_iterator ZrCollection::FindLocked(std::string_view name) const {
  return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; });
}

void ZrCollection::WriteXml(pugi::xml_node root) const {
  for (const auto& e : Entries()) {
    pugi::xml_node node = root.append_child("Item");
    node.append_attribute("name").set_value(e.name.c_str());
    PersistentFormOf(e.item.Get())->WriteElement(node);
  }
}

bool ZrCollection::ReadXml(pugi::xml_node root, XmlError* err) {
  NestingGuard nesting;
  if (t_nesting > kMaxNesting) return FailAt(root, "collections are nested too deeply", err);
  std::vector<Entry> entries;
  std::set<std::string> names;
  for (pugi::xml_node node : root.children("Item")) {
    pugi::xml_attribute name = node.attribute("name");
    if (!name) return FailAt(node, "<Item> has no name", err);
    if (!names.insert(name.value()).second)
      return FailAt(node, std::string("the name \"") + name.value() + "\" appears twice", err);
    pugi::xml_node element = OnlyElement(node);
    if (!element) return FailAt(node, "<Item> does not hold exactly one object", err);
    com::ComPtr<XmlPersistence> obj = NewPersistentObject(element.name());
    if (!obj) return FailAt(element, std::string("<") + element.name() + "> is no kind of object this build reads", err);
    if (!obj->ReadElement(element, err)) return false;
    entries.push_back({name.value(), com::QueryInterface<com::IDispatch>(obj)});
  }
  std::lock_guard lock(mu_);
  entries_.swap(entries);
  return true;
}

void WriteNested(pugi::xml_node root, const char* wrapper, const ZrCollection& items) {
  items.WriteElement(root.append_child(wrapper));
}

bool ReadNested(pugi::xml_node root, const char* wrapper, XmlError* err, com::ComPtr<ZrCollection>* out) {
  *out = com::MakeCom<ZrCollection>();
  pugi::xml_node list = root.child(wrapper).child("Collection");
  return !list || (*out)->ReadElement(list, err);
}

}  // namespace kv::engine
