// Creating, saving, copying and deleting libraries.
#include "com/class_registry.h"
#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "commands/shared_objects.h"
#include "base/rights.h"
#include "store/edit_owner.h"
#include "store/object_kind.h"
#include "store/store_names.h"
#include "store/store_objects.h"

namespace kv {
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

ComPtr<IDispatch> CCalcCmdBase::CreateLibraryObject(const Bstr& name, const Bstr& node, const Bstr& editor) {
  ResetLastError();
  if (CheckRightsFor(store::kLibraryKind) == Grant::Refused) return nullptr;
  std::string root;
  GetRootDirectory(&root);
  const std::string n = name.ToUtf8();
  if (!NameHasNoWhiteSpace(n) || !store::IsSafeLibraryName(n)) return NoObject(CMDERR_NAME_HAS_SPACES);
  if (!FileIsMissing(store::StoredLibPath(root, n))) return NoObject(CMDERR_NAME_EXISTS);
  const std::string edit = store::EditLibPath(root, n);
  if (!FileIsMissing(edit)) return NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IZrLibrary> lib;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrLibrary, &lib)) || !lib) return NoObject(CMDERR_OBJECT_INIT);
  lib->SetName(name);
  lib->SetOwnerString(Bstr::FromUtf8(store::MakeOwnerString(node.ToUtf8(), editor.ToUtf8(), store::NowOleDate(Env()))));
  if (com::FAILED(store::SaveObjectTo(lib.Get(), edit))) return NoObject(CMDERR_SAVE_OBJECT);
  return com::QueryInterface<IDispatch>(lib);
}

bool CCalcCmdBase::SaveLibraryObject(IDispatch* library) {
  ResetLastError();
  const Grant grant = CheckRightsFor(store::kLibraryKind);
  if (grant == Grant::Refused) return false;
  std::string root, n;
  GetRootDirectory(&root);
  auto lib = com::QueryInterface<IZrLibrary>(library);
  if (!lib) return Failed(CMDERR_VRROOT_INTERFACE);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, library, false)) return false;
  if (!LibraryName(lib.Get(), &n) || !store::IsSafeLibraryName(n)) return Failed(CMDERR_INVALID_LIBRARY_NAME);
  const std::string edit = store::EditLibPath(root, n);
  if (!store::WriteClearedEditCopy(lib.Get(), edit, store::NowOleDate(Env()))) return Failed(CMDERR_SAVE_EDIT_OBJECT);
  if (!MoveOverFile(edit, store::StoredLibPath(root, n))) return Failed(CMDERR_SAVE_OBJECT);
  DropLibrary(n);
  return true;
}

bool CCalcCmdBase::SaveLibraryObjectAs(IDispatch* library, const Bstr& newName, bool overWrite) {
  ResetLastError();
  const Grant grant = CheckRightsFor(store::kLibraryKind);
  if (grant == Grant::Refused) return false;
  std::string root, n;
  GetRootDirectory(&root);
  const std::string target = newName.ToUtf8();
  if (!store::IsSafeLibraryName(target)) return Failed(CMDERR_INVALID_LIBRARY_NAME);
  const std::string stored = store::StoredLibPath(root, target);
  if (!overWrite && !FileIsMissing(stored)) return Failed(CMDERR_NAME_EXISTS);
  if (!FileIsMissing(store::EditLibPath(root, target))) return Failed(CMDERR_ALREADY_BEING_EDITED);
  auto lib = com::QueryInterface<IZrLibrary>(library);
  if (!lib) return false;
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, library, false)) return false;
  if (!LibraryName(lib.Get(), &n) || !store::IsSafeLibraryName(n)) return Failed(CMDERR_INVALID_LIBRARY_NAME);
  const std::string edit = store::EditLibPath(root, n);
  if (!store::WriteClearedEditCopy(lib.Get(), edit, store::NowOleDate(Env()))) return Failed(CMDERR_SAVE_EDIT_OBJECT);
  if (!MoveOverFile(edit, stored)) return Failed(CMDERR_SAVE_OBJECT);
  // A copy: the current name's stored file and held object stay; a replaced one is dropped.
  DropLibrary(target);
  return true;
}

bool CCalcCmdBase::SaveLibraryFormula(IDispatch* library, const Bstr& formulaName) {
  if (!SaveLibraryObject(library)) return false;
  Bstr name;
  if (g_pEnvironment && com::SUCCEEDED(com::QueryInterface<IZrLibrary>(library)->GetName(&name)))
    g_pEnvironment->LibraryFormulaSaved(name, formulaName);
  return true;
}

bool CCalcCmdBase::DeleteLibraryObject(const Bstr& name, const Bstr& userId, const Bstr& password) {
  ResetLastError();
  const Grant grant = CheckRightsFor(store::kLibraryKind);
  if (grant == Grant::Refused) return false;
  std::string root;
  GetRootDirectory(&root);
  const std::string n = name.ToUtf8();
  ComPtr<IDispatch> lib;
  if (g_pEnvironment && store::IsSafeLibraryName(n)) g_pEnvironment->GetLibrary(name, &lib);
  if (!lib) return Failed(CMDERR_INVALID_LIBRARY_NAME);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, lib.Get(), false)) return false;
  if (!PasswordMatches(lib.Get(), password)) return Failed(CMDERR_INVALID_PASSWORD);
  if (!RecycleFile(store::LibDir(root), n)) return Failed(CMDERR_DELETE_EDIT_FILE);
  DropLibrary(n);
  return true;
}

}  // namespace kv
