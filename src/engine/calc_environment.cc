#include "engine/calc_environment.h"

#include "engine/lua_runtime.h"
#include "engine/server_context.h"
#include "platform/env.h"
#include "platform/path.h"
#include "tags/sqlite_tag_store.h"

namespace kv::engine {
namespace {

// A directory without trailing separators, so "C:\base\" and "C:\base" share their objects.
std::string TrimDir(std::string dir) {
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

std::string ObjectPath(const std::string& base, const char* folder, const std::string& name) {
  return platform::JoinPath(platform::JoinPath(base, folder), name + ".zrc");
}

template <class T>
HRESULT LoadNew(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* out) {
  if (!out) return com::E_POINTER;
  *out = nullptr;
  auto obj = com::MakeCom<T>();
  HRESULT hr = obj->LoadFromFile(path);
  if (FAILED(hr)) return hr;
  if (obj->Name().empty()) obj->SetName(name);
  *out = obj;
  return com::S_OK;
}

}  // namespace

template <class T, class Key>
HRESULT ZrCalcEnvironment::GetHeld(std::map<Key, ComPtr<T>>& held, const Key& key, const std::string& path,
                                   ComPtr<IDispatch>* out, components::SharedObject guard) {
  // A load that keeps racing with drops is handed out without being held.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    uint64_t drops;
    {
      std::lock_guard lock(mu_);
      if (auto it = held.find(key); it != held.end()) {
        *out = it->second;
        return com::S_OK;
      }
      drops = drops_;
    }
    auto obj = com::MakeCom<T>();
    if (FAILED(obj->LoadFile(path))) {
      *out = nullptr;
      return com::S_FALSE;
    }
    obj->GuardChanges(guard);
    std::lock_guard lock(mu_);
    auto it = held.find(key);
    if (it == held.end() && drops == drops_) it = held.emplace(key, obj).first;
    if (it != held.end() || attempt == kAttempts) {
      *out = it != held.end() ? it->second : obj;
      return com::S_OK;
    }
  }
}

HRESULT ZrCalcEnvironment::GetCalculation(const Bstr& name, const Bstr& dir, ComPtr<IDispatch>* calc) {
  if (!calc) return com::E_POINTER;
  *calc = nullptr;
  std::string base = dir.ToUtf8(), root;
  {
    std::lock_guard lock(mu_);
    root = root_;
  }
  if (base.empty()) base = root;
  base = TrimDir(std::move(base));
  const std::string n = name.ToUtf8();
  if (base.empty() || n.empty()) return com::S_FALSE;
  // The main store's objects are handed to every client; an application's are its own.
  const bool mainStore = base == TrimDir(root);
  return GetHeld(calcs_, std::make_pair(base, n), ObjectPath(base, "Calc", n), calc,
                 mainStore ? components::SharedObject::Calculation : components::SharedObject::None);
}

HRESULT ZrCalcEnvironment::GetLibrary(const Bstr& name, ComPtr<IDispatch>* lib) {
  if (!lib) return com::E_POINTER;
  *lib = nullptr;
  std::string root;
  {
    std::lock_guard lock(mu_);
    root = root_;
  }
  const std::string n = name.ToUtf8();
  if (root.empty() || n.empty()) return com::S_FALSE;
  return GetHeld(libs_, n, ObjectPath(root, "Lib", n), lib, components::SharedObject::Library);
}

HRESULT ZrCalcEnvironment::AttachThread() {
  AttachThreadRuntime();
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::DetachThread() {
  DetachThreadRuntime();
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::RemoveLibrary(const Bstr& name) {
  std::lock_guard lock(mu_);
  libs_.erase(name.ToUtf8());
  ++drops_;
  ++libraryGeneration_;
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::RemoveCalculation(const Bstr& name) {
  const std::string n = name.ToUtf8();
  std::lock_guard lock(mu_);
  std::erase_if(calcs_, [&](const auto& entry) { return entry.first.second == n; });
  ++drops_;
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::LoadCalculationFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* calc) {
  return LoadNew<ZrCalculation>(path, name, calc);
}

HRESULT ZrCalcEnvironment::LoadLibraryFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* lib) {
  return LoadNew<ZrLibrary>(path, name, lib);
}

HRESULT ZrCalcEnvironment::EnvAdoConnect(const Bstr& connect, const Bstr&, const Bstr&, long options,
                                         Variant* result) {
  if (!result) return com::E_POINTER;
  std::string error;
  *result = ado_.Connect(connect.ToUtf8(), (options & 1) != 0, &error) ? Variant::Bool(true) : Variant::Str(error);
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::EnvAdoClose(const Bstr& connection, Variant* result) {
  if (!result) return com::E_POINTER;
  std::string error;
  *result = ado_.Close(connection.ToUtf8(), &error) ? Variant::Bool(true) : Variant::Str(error);
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::EnvAdoQueryInfo(const Bstr& connection, const Bstr& query, Variant* fieldNames,
                                           Variant* fieldTypes, Variant* result) {
  if (!result) return com::E_POINTER;
  std::string error;
  std::vector<std::string> names, types;
  if (!ado_.QueryInfo(connection.ToUtf8(), query.ToUtf8(), &names, &types, &error)) {
    *result = Variant::Str(error);
    return com::S_OK;
  }
  if (fieldNames) *fieldNames = com::StringListVariant(names);
  if (fieldTypes) *fieldTypes = com::StringListVariant(types);
  *result = Variant::Bool(true);
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::LibraryFormulaSaved(const Bstr& library, const Bstr& formula) {
  return RemoveLibrary(library);
}

HRESULT ZrCalcEnvironment::SetUnitConversionObject(IDispatch* units) {
  std::lock_guard lock(mu_);
  units_ = units;
  return com::S_OK;
}

HRESULT ZrCalcEnvironment::SetBasePath(const Bstr& root) {
  std::string r = TrimDir(root.ToUtf8());
  std::lock_guard lock(mu_);
  if (r != root_) {
    libs_.clear();
    ++drops_;
    ++libraryGeneration_;
    if (!tagsInjected_) tags_.reset();
    tagError_.clear();
  }
  root_ = std::move(r);
  return com::S_OK;
}

std::shared_ptr<tags::TagSource> ZrCalcEnvironment::Tags() {
  std::lock_guard lock(mu_);
  if (tags_ || tagsInjected_) return tags_;
  if (root_.empty()) {
    tagError_ = "no base directory is set";
    return nullptr;
  }
  const std::string dir = platform::JoinPath(root_, "bin");
  platform::CreateDirectories(*platform_.fs, dir);
  std::string error;
  auto store = tags::SqliteTagStore::Open(platform::ToFsPath(platform::JoinPath(dir, kTagDatabaseName)), &error);
  if (!store) {
    tagError_ = "tag store " + platform::JoinPath(dir, kTagDatabaseName) + ": " + error;
    return nullptr;
  }
  tags_ = std::move(store);
  return tags_;
}

std::string ZrCalcEnvironment::TagStoreError() const {
  std::lock_guard lock(mu_);
  return tagError_;
}

void ZrCalcEnvironment::SetTagSource(std::shared_ptr<tags::TagSource> source) {
  std::lock_guard lock(mu_);
  tagsInjected_ = source != nullptr;
  tags_ = std::move(source);
}

ComPtr<IDispatch> ZrCalcEnvironment::UnitConversionObject() const {
  std::lock_guard lock(mu_);
  return units_;
}

}  // namespace kv::engine
