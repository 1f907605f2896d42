// Creating, saving, copying and deleting libraries.
#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "base/rights.h"
#include "store/edit_owner.h"
#include "store/object_kind.h"
#include "store/store_names.h"
#include "store/store_objects.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using components::IZrLibrary;

void DropLibrary(const std::string& name) {
  if (g_pEnvironment) g_pEnvironment->RemoveLibrary(Bstr::FromUtf8(name));
}

// The library's own name (IZrLibrary::GetName); false when it gives none.
bool LibraryName(IZrLibrary* lib, std::string* name) {
  Bstr text;
  if (com::FAILED(lib->GetName(&text))) return false;
  *name = text.ToUtf8();
  return true;
}

}  // namespace

ComPtr<IDispatch> CreateLibraryObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor) {
  cmd.ResetLastError();
  if (CheckRightsFor(cmd, store::kLibraryKind) == CCalcCmdBase::Grant::Refused) return nullptr;
  std::string root;
  cmd.GetRootDirectory(&root);
  const std::string n = name.ToUtf8();
  if (!layout::NameHasNoWhiteSpace(n) || !store::IsSafeLibraryName(n)) return cmd.NoObject(CMDERR_NAME_HAS_SPACES);
  if (!FileIsMissing(cmd, store::StoredLibPath(root, n))) return cmd.NoObject(CMDERR_NAME_EXISTS);
  const std::string edit = store::EditLibPath(root, n);
  if (!FileIsMissing(cmd, edit)) return cmd.NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IZrLibrary> lib;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrLibrary, &lib)) || !lib) return cmd.NoObject(CMDERR_OBJECT_INIT);
  lib->SetName(name);
  lib->SetOwnerString(Bstr::FromUtf8(store::MakeOwnerString(node.ToUtf8(), editor.ToUtf8(), store::NowOleDate(cmd.Env()))));
  if (com::FAILED(store::SaveObjectTo(lib.Get(), edit))) return cmd.NoObject(CMDERR_SAVE_OBJECT);
  return com::QueryInterface<IDispatch>(lib);
}

bool SaveLibraryObject(CCalcCmdBase& cmd, IDispatch* library) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, store::kLibraryKind);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string root, n;
  cmd.GetRootDirectory(&root);
  auto lib = com::QueryInterface<IZrLibrary>(library);
  if (!lib) return cmd.Failed(CMDERR_VRROOT_INTERFACE);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, library, false)) return false;
  if (!LibraryName(lib.Get(), &n) || !store::IsSafeLibraryName(n)) return cmd.Failed(CMDERR_INVALID_LIBRARY_NAME);
  const std::string edit = store::EditLibPath(root, n);
  if (!store::WriteClearedEditCopy(lib.Get(), edit, store::NowOleDate(cmd.Env()))) return cmd.Failed(CMDERR_SAVE_EDIT_OBJECT);
  if (!MoveOverFile(cmd, edit, store::StoredLibPath(root, n))) return cmd.Failed(CMDERR_SAVE_OBJECT);
  DropLibrary(n);
  return true;
}

bool SaveLibraryObjectAs(CCalcCmdBase& cmd, IDispatch* library, const Bstr& newName, bool overWrite) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, store::kLibraryKind);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string root, n;
  cmd.GetRootDirectory(&root);
  const std::string target = newName.ToUtf8();
  if (!store::IsSafeLibraryName(target)) return cmd.Failed(CMDERR_INVALID_LIBRARY_NAME);
  const std::string stored = store::StoredLibPath(root, target);
  if (!overWrite && !FileIsMissing(cmd, stored)) return cmd.Failed(CMDERR_NAME_EXISTS);
  if (!FileIsMissing(cmd, store::EditLibPath(root, target))) return cmd.Failed(CMDERR_ALREADY_BEING_EDITED);
  auto lib = com::QueryInterface<IZrLibrary>(library);
  if (!lib) return false;
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, library, false)) return false;
  if (!LibraryName(lib.Get(), &n) || !store::IsSafeLibraryName(n)) return cmd.Failed(CMDERR_INVALID_LIBRARY_NAME);
  const std::string edit = store::EditLibPath(root, n);
  if (!store::WriteClearedEditCopy(lib.Get(), edit, store::NowOleDate(cmd.Env()))) return cmd.Failed(CMDERR_SAVE_EDIT_OBJECT);
  if (!MoveOverFile(cmd, edit, stored)) return cmd.Failed(CMDERR_SAVE_OBJECT);
  // A copy: the current name's stored file and held object stay; a replaced one is dropped.
  DropLibrary(target);
  return true;
}

bool SaveLibraryFormula(CCalcCmdBase& cmd, IDispatch* library, const Bstr& formulaName) {
  if (!SaveLibraryObject(cmd, library)) return false;
  Bstr name;
  if (g_pEnvironment && com::SUCCEEDED(com::QueryInterface<IZrLibrary>(library)->GetName(&name)))
    g_pEnvironment->LibraryFormulaSaved(name, formulaName);
  return true;
}

bool DeleteLibraryObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& userId, const Bstr& password) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, store::kLibraryKind);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string root;
  cmd.GetRootDirectory(&root);
  const std::string n = name.ToUtf8();
  ComPtr<IDispatch> lib;
  if (g_pEnvironment && store::IsSafeLibraryName(n)) g_pEnvironment->GetLibrary(name, &lib);
  if (!lib) return cmd.Failed(CMDERR_INVALID_LIBRARY_NAME);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, lib.Get(), false)) return false;
  if (!PasswordMatches(lib.Get(), password)) return cmd.Failed(CMDERR_INVALID_PASSWORD);
  if (!RecycleFile(cmd, store::LibDir(root), n)) return cmd.Failed(CMDERR_DELETE_EDIT_FILE);
  DropLibrary(n);
  return true;
}

}  // namespace kv::store
