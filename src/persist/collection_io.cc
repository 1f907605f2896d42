#include "persist/collection_io.h"

#include "com/class_registry.h"
#include "config/config.h"
#include "platform/path.h"

namespace kv::persist {

using components::IZrPersistFile;

HRESULT NewCollection(ComPtr<IZrCollection>* out) {
  *out = nullptr;
  return com::CreateInstance(components::CLSID_ZrCollection, out);
}

HRESULT LoadCollection(std::string_view path, ComPtr<IZrCollection>* out) {
  ComPtr<IZrCollection> collection;
  HRESULT hr = NewCollection(&collection);
  if (SUCCEEDED(hr)) {
    auto file = com::QueryInterface<IZrPersistFile>(collection);
    hr = file ? file->LoadFromFile(Bstr::FromUtf8(path)) : com::E_NOINTERFACE;
  }
  *out = SUCCEEDED(hr) ? collection : nullptr;
  return hr;
}

HRESULT SaveCollection(std::string_view path, IZrCollection* collection) {
  auto file = com::QueryInterface<IZrPersistFile>(collection);
  if (!file) return com::E_NOINTERFACE;
  return file->SaveToFile(Bstr::FromUtf8(path));
}

void EnsureBinDirectory(platform::FileSystem& fs) {
  const std::string bin = platform::JoinPath(g_BasePath, "bin");
  if (!fs.Exists(bin)) fs.CreateDirectory(bin);
}

}  // namespace kv::persist
