#include "com/class_registry.h"

#include "com/dispatch.h"

namespace kv::com {

ClassRegistry& ClassRegistry::Instance() {
  static ClassRegistry registry;
  return registry;
}

void ClassRegistry::Register(const CLSID& clsid, std::vector<std::string> progIds, Factory factory) {
  std::lock_guard lock(mu_);
  classes_[clsid] = Entry{std::move(progIds), std::move(factory)};
}

void ClassRegistry::Unregister(const CLSID& clsid) {
  std::lock_guard lock(mu_);
  classes_.erase(clsid);
  std::erase_if(types_, [&](const auto& t) { return t.second == clsid; });
}

void ClassRegistry::RegisterType(std::type_index type, const CLSID& clsid) {
  std::lock_guard lock(mu_);
  types_.insert_or_assign(type, clsid);
}

bool ClassRegistry::ClassOf(IUnknown* object, CLSID* out) const {
  if (object == nullptr) return false;
  std::lock_guard lock(mu_);
  auto it = types_.find(std::type_index(typeid(*object)));
  if (it == types_.end()) return false;
  *out = it->second;
  return true;
}

bool ClassRegistry::IsRegistered(const CLSID& clsid) const {
  std::lock_guard lock(mu_);
  return classes_.count(clsid) != 0;
}

HRESULT ClassRegistry::Create(const CLSID& clsid, ComPtr<IUnknown>* out) const {
  Factory factory;
  {
    std::lock_guard lock(mu_);
    auto it = classes_.find(clsid);
    if (it == classes_.end()) return REGDB_E_CLASSNOTREG;
    factory = it->second.factory;
  }
  *out = factory();
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ClassRegistry::CLSIDFromString(std::string_view name, CLSID* out) const {
  if (GUID::Parse(name, out)) return S_OK;
  std::lock_guard lock(mu_);
  for (const auto& [clsid, entry] : classes_) {
    for (const auto& p : entry.progIds) {
      if (NamesEqual(p, name)) {
        *out = clsid;
        return S_OK;
      }
    }
  }
  return CO_E_CLASSSTRING;
}

}  // namespace kv::com
