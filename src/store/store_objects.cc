#include "store/store_objects.h"

#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "platform/env.h"
#include "base/store_layout.h"
#include "store/object_kind.h"
#include "store/store_names.h"
#include "base/rights.h"
#include "command_object/shared_objects.h"
#include "components/server_objects.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using layout::EditCalcPath;
using layout::EditLibPath;
using layout::StoredCalcPath;
using layout::StoredLibPath;

}  // namespace

std::string EditPathOf(std::string_view dir, std::string_view name, bool calculation) {
  if (calculation) return IsStoreCalculationName(name) ? EditCalcPath(dir, name) : std::string();
  return IsSafeLibraryName(name) ? EditLibPath(dir, name) : std::string();
}

bool IsStoreCalculationName(std::string_view name) { return IsValidName(name, NameKind::Calculation); }

bool IsStoreFolderName(std::string_view name) { return IsValidName(name, NameKind::Folder); }

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

double NowOleDate(const platform::Env& env) { return env.Time().LocalNow(); }

const ObjectKind kCalculationKind = {
    .calculation = true,
    .wideRight = security::kRightCalc,
    .scriptOnlyRight = security::kRightCalcScriptCalc,
    .refused = security::kRefusedCalc,
    .unknownName = CMDERR_INVALID_CALCULATION_NAME,
    .noEditCopy = CMDERR_NOT_BEING_EDITED,
    .notLoaded = CMDERR_GET_CALCULATION_OBJECT,
    .isName = IsStoreCalculationName,
    .storedPath = StoredCalcPath,
    .editPath = EditCalcPath,
};

const ObjectKind kLibraryKind = {
    .calculation = false,
    .wideRight = security::kRightLibrary,
    .scriptOnlyRight = security::kRightCalcScriptLibrary,
    .refused = security::kRefusedLibrary,
    .unknownName = CMDERR_INVALID_LIBRARY_NAME,
    .noEditCopy = CMDERR_INVALID_LIBRARY_NAME,
    .notLoaded = CMDERR_INVALID_LIBRARY_NAME,
    .isName = IsSafeLibraryName,
    .storedPath = StoredLibPath,
    .editPath = EditLibPath,
};

}  // namespace kv::store

namespace kv::store {

bool StoreDirectory(CCalcCmdBase& cmd, const store::ObjectKind& kind, std::string* dir) {
  if (kind.calculation) return cmd.RequireBaseDirectory(dir);
  return cmd.GetRootDirectory(dir);
}

ComPtr<IDispatch> StoredObject(CCalcCmdBase& cmd, const store::ObjectKind& kind, const Bstr& name) {
  ComPtr<IDispatch> object;
  if (!g_pEnvironment) return object;
  if (kind.calculation)
    g_pEnvironment->GetCalculation(name, cmd.CalculationDirectoryArgument(), &object);
  else
    g_pEnvironment->GetLibrary(name, &object);
  return object;
}

bool StoreNameOf(CCalcCmdBase& cmd, IDispatch* object, bool calculation, std::string* name) {
  if (!store::VRRootName(object, name)) return cmd.Failed(CMDERR_VRROOT_INTERFACE);
  if (calculation ? store::IsStoreCalculationName(*name) : store::IsSafeLibraryName(*name)) return true;
  return cmd.Failed(calculation ? CMDERR_INVALID_CALCULATION_NAME : CMDERR_INVALID_LIBRARY_NAME);
}

CCalcCmdBase::Grant CheckRightsFor(CCalcCmdBase& cmd, const store::ObjectKind& kind) {
  return cmd.CheckTwoRights(kind.wideRight, kind.scriptOnlyRight, kind.refused,
                        kind.calculation ? CCalcCmdBase::StoreScope::Own : CCalcCmdBase::StoreScope::Shared);
}

bool IsSharedObject(com::IUnknown* object) {
  auto shared = com::QueryInterface<components::ISharedObject>(object);
  return shared && shared->Guard() != components::SharedObject::None;
}

bool MayChangeInPlace(CCalcCmdBase& cmd, com::IUnknown* object) {
  auto shared = com::QueryInterface<components::ISharedObject>(object);
  const components::SharedObject kind = shared ? shared->Guard() : components::SharedObject::None;
  if (kind == components::SharedObject::None) return true;
  cmd.ResetLastError();
  constexpr auto kShared = CCalcCmdBase::StoreScope::Shared;
  switch (kind) {
    case components::SharedObject::Calculation:
    case components::SharedObject::Library: {
      const bool library = kind == components::SharedObject::Library;
      const CCalcCmdBase::Grant grant =
          library ? cmd.CheckTwoRights(security::kRightLibrary, security::kRightCalcScriptLibrary,
                                       security::kRefusedLibrary, kShared)
                  : cmd.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc,
                                       kShared);
      if (grant == CCalcCmdBase::Grant::Refused) return false;
      if (grant == CCalcCmdBase::Grant::Full) return true;
      // A library's formula is judged by itself, the library by every formula.
      auto calc = com::QueryInterface<components::IZrCalculation>(object);
      const bool script = calc ? store::IsCalcScriptCalculation(calc.Get())
                               : store::IsCalcScriptLibrary(com::QueryInterface<components::IZrLibrary>(object).Get());
      if (script) return true;
      cmd.SetCommandError(library ? CMDERR_DENIED_NONSCRIPT_LIBRARY : CMDERR_DENIED_NONSCRIPT_CALC);
      return false;
    }
    case components::SharedObject::Units:
      return cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, kShared);
    case components::SharedObject::Schedule:
      return cmd.CheckPermission(security::kRightSchedule, security::kRefusedSchedule, kShared);
    case components::SharedObject::None: break;
  }
  return true;
}

bool RefusedAsNonScript(CCalcCmdBase& cmd, bool scriptOnly, IDispatch* object, bool calculation) {
  if (!scriptOnly) return false;
  if (calculation ? store::IsCalcScriptCalculation(com::QueryInterface<components::IZrCalculation>(object).Get())
                  : store::IsCalcScriptLibrary(com::QueryInterface<components::IZrLibrary>(object).Get()))
    return false;
  cmd.SetCommandError(calculation ? CMDERR_DENIED_NONSCRIPT_CALC : CMDERR_DENIED_NONSCRIPT_LIBRARY);
  return true;
}

}  // namespace kv::store
