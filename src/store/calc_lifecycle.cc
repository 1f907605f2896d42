// Creating, saving, copying and deleting calculations.
#include "com/class_registry.h"
#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "commands/shared_objects.h"
#include "base/rights.h"
#include "store/edit_owner.h"
#include "store/store_objects.h"

namespace kv {
namespace {

using components::IZrCalculation;

void DropCalculation(const std::string& name) {
  if (g_pEnvironment) g_pEnvironment->RemoveCalculation(Bstr::FromUtf8(name));
}

}  // namespace

ComPtr<IDispatch> CCalcCmdBase::CreateCalculationObject(const Bstr& name, const Bstr& userId, const Bstr& password) {
  ResetLastError();
  if (CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc) == Grant::Refused)
    return nullptr;
  std::string base;
  if (!RequireBaseDirectory(&base)) return nullptr;
  const std::string n = name.ToUtf8();
  if (!NameHasNoWhiteSpace(n) || !store::IsStoreCalculationName(n)) return NoObject(CMDERR_NAME_HAS_SPACES);
  if (!FileIsMissing(store::StoredCalcPath(base, n))) return NoObject(CMDERR_NAME_EXISTS);
  const std::string edit = store::EditCalcPath(base, n);
  if (!FileIsMissing(edit)) return NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IDispatch> object;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrCalculation, &object)) || !object) return nullptr;
  auto calc = com::QueryInterface<IZrCalculation>(object);
  if (!calc) return NoObject(CMDERR_OBJECT_INIT);
  // The client's user id and password name the node and editor of the new edit copy.
  calc->SetOwnerString(Bstr::FromUtf8(store::MakeOwnerString(userId.ToUtf8(), password.ToUtf8(), store::NowOleDate(Env()))));
  calc->SetNewState(1);
  calc->SetCreationTime(store::NowOleDate(Env()));
  calc->SetName(name);
  if (com::FAILED(store::SaveObjectTo(object.Get(), edit))) return NoObject(CMDERR_SAVE_OBJECT);
  return object;
}

bool CCalcCmdBase::SaveCalculationObject(IDispatch* object) {
  ResetLastError();
  const Grant grant = CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == Grant::Refused) return false;
  std::string base, n;
  if (!RequireBaseDirectory(&base) || !StoreNameOf(object, true, &n)) return false;
  auto calc = com::QueryInterface<IZrCalculation>(object);
  if (!calc) return Failed(CMDERR_VRROOT_INTERFACE);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, object, true)) return false;
  const std::string edit = store::EditCalcPath(base, n);
  if (!store::WriteClearedEditCopy(calc.Get(), edit, store::NowOleDate(Env()))) return Failed(CMDERR_SAVE_EDIT_OBJECT);
  // The stored file stays in place until the edit copy replaces it in one step, so a crash
  // leaves the old or the new version, never none.
  RecycleFile(store::CalcDir(base), n, /*keepStored=*/true);
  if (!MoveOverFile(edit, store::StoredCalcPath(base, n))) return Failed(CMDERR_SAVE_OBJECT);
  DropCalculation(n);
  return true;
}

bool CCalcCmdBase::SaveCalculationObjectAs(IDispatch* object, const Bstr& newName, bool overWrite) {
  ResetLastError();
  const Grant grant = CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == Grant::Refused) return false;
  std::string base, n;
  if (!RequireBaseDirectory(&base)) return false;
  const std::string target = newName.ToUtf8();
  if (!store::IsStoreCalculationName(target)) return Failed(CMDERR_INVALID_CALCULATION_NAME);
  const std::string stored = store::StoredCalcPath(base, target);
  if (!overWrite && !FileIsMissing(stored)) return Failed(CMDERR_NAME_EXISTS);
  if (!StoreNameOf(object, true, &n)) return false;
  auto calc = com::QueryInterface<IZrCalculation>(object);
  if (!calc) return Failed(CMDERR_VRROOT_INTERFACE);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, object, true)) return false;
  const std::string edit = store::EditCalcPath(base, n);
  if (!store::WriteClearedEditCopy(calc.Get(), edit, store::NowOleDate(Env()))) return Failed(CMDERR_SAVE_EDIT_OBJECT);
  // Whatever stored file is replaced keeps its content in Recycle; the current name's file is
  // recycled only once the new one is in place.
  RecycleFile(store::CalcDir(base), target, /*keepStored=*/true);
  if (!MoveOverFile(edit, stored)) return Failed(CMDERR_SAVE_OBJECT);
  if (target != n) {
    RecycleFile(store::CalcDir(base), n);
    DropCalculation(target);
  }
  DropCalculation(n);
  return true;
}

bool CCalcCmdBase::DeleteCalculationObject(const Bstr& name, const Bstr& userId, const Bstr& password) {
  ResetLastError();
  const Grant grant = CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == Grant::Refused) return false;
  std::string base;
  if (!RequireBaseDirectory(&base)) return false;
  const std::string n = name.ToUtf8();
  if (!store::IsStoreCalculationName(n) || FileIsMissing(store::StoredCalcPath(base, n)))
    return Failed(CMDERR_INVALID_CALCULATION_NAME);
  ComPtr<IDispatch> object;
  if (g_pEnvironment) g_pEnvironment->GetCalculation(name, CalculationDirectoryArgument(), &object);
  if (!object) return Failed(CMDERR_GET_CALCULATION_OBJECT);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, object.Get(), true)) return false;
  // Being edited wins over a wrong password.
  if (!FileIsMissing(store::EditCalcPath(base, n))) return Failed(CMDERR_CURRENTLY_EDITED);
  if (!PasswordMatches(object.Get(), password)) return Failed(CMDERR_INVALID_PASSWORD);
  if (!RecycleFile(store::CalcDir(base), n)) return Failed(CMDERR_DELETE_EDIT_FILE);
  DropCalculation(n);
  return true;
}

}  // namespace kv
