// Creating, saving, copying and deleting calculations.
#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "base/rights.h"
#include "store/edit_owner.h"
#include "store/store_objects.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using components::IZrCalculation;

void DropCalculation(const std::string& name) {
  if (g_pEnvironment) g_pEnvironment->RemoveCalculation(Bstr::FromUtf8(name));
}

}  // namespace

ComPtr<IDispatch> CreateCalculationObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& userId, const Bstr& password) {
  cmd.ResetLastError();
  if (cmd.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc) == CCalcCmdBase::Grant::Refused)
    return nullptr;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return nullptr;
  const std::string n = name.ToUtf8();
  if (!layout::NameHasNoWhiteSpace(n) || !store::IsStoreCalculationName(n)) return cmd.NoObject(CMDERR_NAME_HAS_SPACES);
  if (!FileIsMissing(cmd, store::StoredCalcPath(base, n))) return cmd.NoObject(CMDERR_NAME_EXISTS);
  const std::string edit = store::EditCalcPath(base, n);
  if (!FileIsMissing(cmd, edit)) return cmd.NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IDispatch> object;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrCalculation, &object)) || !object) return nullptr;
  auto calc = com::QueryInterface<IZrCalculation>(object);
  if (!calc) return cmd.NoObject(CMDERR_OBJECT_INIT);
  // The client's user id and password name the node and editor of the new edit copy.
  calc->SetOwnerString(Bstr::FromUtf8(store::MakeOwnerString(userId.ToUtf8(), password.ToUtf8(), store::NowOleDate(cmd.Env()))));
  calc->SetNewState(1);
  calc->SetCreationTime(store::NowOleDate(cmd.Env()));
  calc->SetName(name);
  if (com::FAILED(store::SaveObjectTo(object.Get(), edit))) return cmd.NoObject(CMDERR_SAVE_OBJECT);
  return object;
}

bool SaveCalculationObject(CCalcCmdBase& cmd, IDispatch* object) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = cmd.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string base, n;
  if (!cmd.RequireBaseDirectory(&base) || !StoreNameOf(cmd, object, true, &n)) return false;
  auto calc = com::QueryInterface<IZrCalculation>(object);
  if (!calc) return cmd.Failed(CMDERR_VRROOT_INTERFACE);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, object, true)) return false;
  const std::string edit = store::EditCalcPath(base, n);
  if (!store::WriteClearedEditCopy(calc.Get(), edit, store::NowOleDate(cmd.Env()))) return cmd.Failed(CMDERR_SAVE_EDIT_OBJECT);
  // The stored file stays in place until the edit copy replaces it in one step, so a crash
  // leaves the old or the new version, never none.
  RecycleFile(cmd, store::CalcDir(base), n, /*keepStored=*/true);
  if (!MoveOverFile(cmd, edit, store::StoredCalcPath(base, n))) return cmd.Failed(CMDERR_SAVE_OBJECT);
  DropCalculation(n);
  return true;
}

bool SaveCalculationObjectAs(CCalcCmdBase& cmd, IDispatch* object, const Bstr& newName, bool overWrite) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = cmd.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string base, n;
  if (!cmd.RequireBaseDirectory(&base)) return false;
  const std::string target = newName.ToUtf8();
  if (!store::IsStoreCalculationName(target)) return cmd.Failed(CMDERR_INVALID_CALCULATION_NAME);
  const std::string stored = store::StoredCalcPath(base, target);
  if (!overWrite && !FileIsMissing(cmd, stored)) return cmd.Failed(CMDERR_NAME_EXISTS);
  if (!StoreNameOf(cmd, object, true, &n)) return false;
  auto calc = com::QueryInterface<IZrCalculation>(object);
  if (!calc) return cmd.Failed(CMDERR_VRROOT_INTERFACE);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, object, true)) return false;
  const std::string edit = store::EditCalcPath(base, n);
  if (!store::WriteClearedEditCopy(calc.Get(), edit, store::NowOleDate(cmd.Env()))) return cmd.Failed(CMDERR_SAVE_EDIT_OBJECT);
  // Whatever stored file is replaced keeps its content in Recycle; the current name's file is
  // recycled only once the new one is in place.
  RecycleFile(cmd, store::CalcDir(base), target, /*keepStored=*/true);
  if (!MoveOverFile(cmd, edit, stored)) return cmd.Failed(CMDERR_SAVE_OBJECT);
  if (target != n) {
    RecycleFile(cmd, store::CalcDir(base), n);
    DropCalculation(target);
  }
  DropCalculation(n);
  return true;
}

bool DeleteCalculationObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& userId, const Bstr& password) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = cmd.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return false;
  const std::string n = name.ToUtf8();
  if (!store::IsStoreCalculationName(n) || FileIsMissing(cmd, store::StoredCalcPath(base, n)))
    return cmd.Failed(CMDERR_INVALID_CALCULATION_NAME);
  ComPtr<IDispatch> object;
  if (g_pEnvironment) g_pEnvironment->GetCalculation(name, cmd.CalculationDirectoryArgument(), &object);
  if (!object) return cmd.Failed(CMDERR_GET_CALCULATION_OBJECT);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, object.Get(), true)) return false;
  // Being edited wins over a wrong password.
  if (!FileIsMissing(cmd, store::EditCalcPath(base, n))) return cmd.Failed(CMDERR_CURRENTLY_EDITED);
  if (!PasswordMatches(object.Get(), password)) return cmd.Failed(CMDERR_INVALID_PASSWORD);
  if (!RecycleFile(cmd, store::CalcDir(base), n)) return cmd.Failed(CMDERR_DELETE_EDIT_FILE);
  DropCalculation(n);
  return true;
}

}  // namespace kv::store
