#include "store/store_objects.h"

#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "platform/env.h"
#include "store/store_names.h"

namespace kv::store {
namespace {

std::string Join(std::string_view dir, std::string_view sub, std::string_view name) {
  std::string path(dir);
  path += sub;
  path += name;
  path += ".zrc";
  return path;
}

bool IsStoreDirectoryName(std::string_view name) { return name == "Edit" || name == "Recycle"; }

}  // namespace

std::string StoredCalcPath(std::string_view base, std::string_view name) { return Join(base, "\\Calc\\", name); }
std::string EditCalcPath(std::string_view base, std::string_view name) { return Join(base, "\\Calc\\Edit\\", name); }
std::string StoredLibPath(std::string_view root, std::string_view name) { return Join(root, "\\Lib\\", name); }
std::string EditLibPath(std::string_view root, std::string_view name) { return Join(root, "\\Lib\\Edit\\", name); }
std::string CalcDir(std::string_view base) { return std::string(base) + "\\Calc"; }
std::string LibDir(std::string_view root) { return std::string(root) + "\\Lib"; }

std::string EditPathOf(std::string_view dir, std::string_view name, bool calculation) {
  if (calculation) return IsStoreCalculationName(name) ? EditCalcPath(dir, name) : std::string();
  return IsSafeLibraryName(name) ? EditLibPath(dir, name) : std::string();
}

bool IsStoreCalculationName(std::string_view name) {
  if (!IsSafeCalculationName(name)) return false;
  const size_t slash = name.find('\\');
  return slash == std::string_view::npos || !IsStoreDirectoryName(name.substr(0, slash));
}

bool IsStoreFolderName(std::string_view name) { return IsSafeFolderName(name) && !IsStoreDirectoryName(name); }

bool VRRootName(com::IUnknown* object, std::string* name) {
  auto root = com::QueryInterface<components::VRRoot>(object);
  com::Bstr text;
  if (!root || com::FAILED(root->GetName(&text))) return false;
  *name = text.ToUtf8();
  return true;
}

bool IsCalcScriptCalculation(components::IZrCalculation* calc) {
  long type = 0;
  return calc && com::SUCCEEDED(calc->GetCalcType(&type)) && type == components::kCalcTypeCalcScript;
}

bool IsCalcScriptLibrary(components::IZrLibrary* library) {
  com::ComPtr<components::IZrFormulas> formulas;
  long count = 0;
  if (!library || com::FAILED(library->GetFormulas(&formulas)) || !formulas || com::FAILED(formulas->Count(&count)))
    return false;
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<com::IDispatch> formula;
    if (com::FAILED(formulas->Item(i, &formula))) return false;
    if (!IsCalcScriptCalculation(com::QueryInterface<components::IZrCalculation>(formula).Get())) return false;
  }
  return true;
}

com::HRESULT SaveObjectTo(com::IUnknown* object, const std::string& path) {
  auto file = com::QueryInterface<components::IZrPersistFile>(object);
  if (!file) return com::E_NOINTERFACE;
  return file->SaveToFile(com::Bstr::FromUtf8(path));
}

double NowOleDate() { return platform::Env::Current().Time().LocalNow(); }

}  // namespace kv::store

namespace kv {

bool CCalcCmdBase::StoreNameOf(IDispatch* object, bool calculation, std::string* name) {
  if (!store::VRRootName(object, name)) return Failed(CMDERR_VRROOT_INTERFACE);
  if (calculation ? store::IsStoreCalculationName(*name) : store::IsSafeLibraryName(*name)) return true;
  return Failed(calculation ? CMDERR_INVALID_CALCULATION_NAME : CMDERR_INVALID_LIBRARY_NAME);
}

bool CCalcCmdBase::RefusedAsNonScript(bool scriptOnly, IDispatch* object, bool calculation) {
  if (!scriptOnly) return false;
  if (calculation ? store::IsCalcScriptCalculation(com::QueryInterface<components::IZrCalculation>(object).Get())
                  : store::IsCalcScriptLibrary(com::QueryInterface<components::IZrLibrary>(object).Get()))
    return false;
  SetCommandError(calculation ? CMDERR_DENIED_NONSCRIPT_CALC : CMDERR_DENIED_NONSCRIPT_LIBRARY);
  return true;
}

}  // namespace kv
