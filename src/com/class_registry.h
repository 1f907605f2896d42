#pragma once
// Object creation by class identifier or ProgID, as CoCreateInstance does. Each component
// registers a factory for its CLSID (and optionally ProgIDs) once; removing a registration
// makes the class "not installed" (REGDB_E_CLASSNOTREG). Thread-safe.
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"

namespace kv::com {

class ClassRegistry {
 public:
  using Factory = std::function<ComPtr<IUnknown>()>;

  static ClassRegistry& Instance();

  // Replaces an earlier registration of the same CLSID.
  void Register(const CLSID& clsid, std::vector<std::string> progIds, Factory factory);
  void Unregister(const CLSID& clsid);
  bool IsRegistered(const CLSID& clsid) const;

  // REGDB_E_CLASSNOTREG for an unknown class; E_OUTOFMEMORY when the factory yields nothing.
  HRESULT Create(const CLSID& clsid, ComPtr<IUnknown>* out) const;
  // Records that objects whose dynamic type is `type` belong to `clsid` (RegisterClass does it),
  // so that ClassOf can answer as IPersist::GetClassID would.
  void RegisterType(std::type_index type, const CLSID& clsid);
  // The class `object` was registered under; false for a null object or an unregistered type.
  bool ClassOf(IUnknown* object, CLSID* out) const;

  // `name` is a CLSID ("{...}" or bare) or a ProgID (compared without regard to case);
  // CO_E_CLASSSTRING for a name that is neither.
  HRESULT CLSIDFromString(std::string_view name, CLSID* out) const;

 private:
  struct Entry {
    std::vector<std::string> progIds;
    Factory factory;
  };
  mutable std::mutex mu_;
  std::unordered_map<CLSID, Entry, GuidHash> classes_;
  std::unordered_map<std::type_index, CLSID> types_;
};

// Creates an object of `clsid` and asks it for interface I: E_NOINTERFACE when it does not
// answer it.
template <class I>
HRESULT CreateInstance(const CLSID& clsid, ComPtr<I>* out) {
  ComPtr<IUnknown> unk;
  HRESULT hr = ClassRegistry::Instance().Create(clsid, &unk);
  if (FAILED(hr)) return hr;
  *out = QueryInterface<I>(unk);
  return *out ? S_OK : E_NOINTERFACE;
}

// Registers class T (default-constructible, derived from ComObject) under `clsid`.
template <class T>
void RegisterClass(const CLSID& clsid, std::vector<std::string> progIds = {}) {
  ClassRegistry::Instance().Register(clsid, std::move(progIds), [] {
    ComPtr<T> obj = MakeCom<T>();
    return ComPtr<IUnknown>(static_cast<IUnknown*>(obj.Get()));
  });
  ClassRegistry::Instance().RegisterType(typeid(T), clsid);
}

}  // namespace kv::com
