// Edit copies: opening, reopening, saving and discarding them.
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "platform/env.h"
#include "base/rights.h"
#include "store/edit_owner.h"
#include "store/object_kind.h"
#include "store/store_names.h"
#include "store/store_objects.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using components::IZrCalculation;
using components::IZrLibrary;

// Whether the owner string names `node` and `editor` (compared exactly). An owner without a
// node or editor belongs to nobody, so blank arguments cannot take it over.
bool OwnedBy(const std::string& owner, const std::string& node, const std::string& editor) {
  std::string ownerNode, ownerEditor, date;
  store::ParseOwnerString(owner, &ownerNode, &ownerEditor, &date);
  return !ownerNode.empty() && !ownerEditor.empty() && ownerNode == node && ownerEditor == editor;
}

// The common second half of opening an edit: the stored object writes the edit copy, which is
// loaded as a new object and stamped with its owner. A failed first write or load removes the
// half-made copy, so the object is "stored" again.
ComPtr<IDispatch> OpenEditCopy(CCalcCmdBase& cmd, IDispatch* stored, const std::string& edit, const Bstr& name,
                               const std::string& owner, bool calculation) {
  if (com::FAILED(store::SaveObjectTo(stored, edit))) {
    cmd.SetCommandError(calculation ? CMDERR_SAVE_EDIT_OBJECT : CMDERR_LOAD_FROM_FILE);
    cmd.Fs().DeleteFile(edit);
    return nullptr;
  }
  ComPtr<IDispatch> copy;
  const Bstr path = Bstr::FromUtf8(edit);
  const com::HRESULT loaded = calculation ? g_pEnvironment->LoadCalculationFile(path, name, &copy)
                                          : g_pEnvironment->LoadLibraryFile(path, name, &copy);
  auto calc = com::QueryInterface<IZrCalculation>(copy);
  auto lib = com::QueryInterface<IZrLibrary>(copy);
  if (com::FAILED(loaded) || (calculation ? !calc : !lib)) {
    cmd.SetCommandError(CMDERR_LOAD_FROM_FILE);
    cmd.Fs().DeleteFile(edit);
    return nullptr;
  }
  const Bstr ownerText = Bstr::FromUtf8(owner);
  if (calculation) {
    calc->SetEditState(0);
    calc->SetOwnerString(ownerText);
  } else {
    lib->SetOwnerString(ownerText);
  }
  if (com::FAILED(store::SaveObjectTo(copy.Get(), edit)) && calculation) cmd.SetCommandError(CMDERR_SAVE_EDIT_OBJECT);
  return copy;
}

// Opens an edit copy of a stored object for node/editor. Each step's failure is the kind's.
ComPtr<IDispatch> OpenForEdit(CCalcCmdBase& cmd, const store::ObjectKind& kind, const Bstr& name, const Bstr& node,
                              const Bstr& editor, const Bstr& password) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, kind);
  if (grant == CCalcCmdBase::Grant::Refused) return nullptr;
  const std::string nodeText = node.ToUtf8(), editorText = editor.ToUtf8();
  if (nodeText.empty() || editorText.empty()) return cmd.NoObject(CMDERR_NODE_EDITOR_REQUIRED);
  std::string dir;
  if (!StoreDirectory(cmd, kind, &dir)) return nullptr;
  const std::string n = name.ToUtf8();
  if (!kind.isName(n) || FileIsMissing(cmd, kind.storedPath(dir, n))) return cmd.NoObject(kind.unknownName);
  const std::string edit = kind.editPath(dir, n);
  if (!FileIsMissing(cmd, edit)) return cmd.NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IDispatch> stored = StoredObject(cmd, kind, name);
  if (!stored) return cmd.NoObject(kind.notLoaded);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, stored.Get(), kind.calculation)) return nullptr;
  if (!PasswordMatches(stored.Get(), password)) return cmd.NoObject(CMDERR_INVALID_PASSWORD);
  return OpenEditCopy(cmd, stored.Get(), edit, name, store::MakeOwnerString(nodeText, editorText, store::NowOleDate(cmd.Env())), kind.calculation);
}

// The edit copy at `edit` as the environment loads it; null when it cannot.
ComPtr<IDispatch> LoadEditCopy(const store::ObjectKind& kind, const std::string& edit, const Bstr& name) {
  ComPtr<IDispatch> copy;
  if (!g_pEnvironment) return copy;
  const Bstr path = Bstr::FromUtf8(edit);
  const com::HRESULT loaded = kind.calculation ? g_pEnvironment->LoadCalculationFile(path, name, &copy)
                                               : g_pEnvironment->LoadLibraryFile(path, name, &copy);
  if (com::FAILED(loaded)) copy = nullptr;
  return copy;
}

// A CalcScript-only caller may discard only a CalcScript copy (judged by the file, not by any
// object the client passes); one that cannot be read counts as not CalcScript.
bool RefusedEditCopy(CCalcCmdBase& cmd, CCalcCmdBase::Grant grant, const store::ObjectKind& kind,
                     const std::string& edit, const Bstr& name) {
  if (grant != CCalcCmdBase::Grant::ScriptOnly || FileIsMissing(cmd, edit)) return false;
  return RefusedAsNonScript(cmd, true, LoadEditCopy(kind, edit, name).Get(), kind.calculation);
}

// Writes the object to its edit copy, owner unchanged.
bool WriteEditCopy(CCalcCmdBase& cmd, const store::ObjectKind& kind, IDispatch* object) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, kind);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string dir, n;
  if (!StoreDirectory(cmd, kind, &dir) || !StoreNameOf(cmd, object, kind.calculation, &n)) return false;
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, object, kind.calculation)) return false;
  if (com::FAILED(store::SaveObjectTo(object, kind.editPath(dir, n)))) return cmd.Failed(CMDERR_SAVE_EDIT_OBJECT);
  return true;
}

// Deletes an edit copy for good; the kind's code when there is none (or the name is unsafe).
bool DeleteEditCopy(CCalcCmdBase& cmd, const store::ObjectKind& kind, const Bstr& name) {
  cmd.ResetLastError();
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, kind);
  if (grant == CCalcCmdBase::Grant::Refused) return false;
  std::string dir;
  if (!StoreDirectory(cmd, kind, &dir)) return false;
  const std::string edit = store::EditPathOf(dir, name.ToUtf8(), kind.calculation);
  if (edit.empty() || FileIsMissing(cmd, edit)) return cmd.Failed(kind.noEditCopy);
  if (RefusedEditCopy(cmd, grant, kind, edit, name)) return false;
  if (cmd.Fs().DeleteFile(edit) != platform::crt::kOk) return cmd.Failed(CMDERR_DELETE_EDIT_FILE);
  return true;
}

}  // namespace

ComPtr<IDispatch> CreateCalculationEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor,
                                                            const Bstr& userId, const Bstr& password) {
  return OpenForEdit(cmd, store::kCalculationKind, name, node, editor, password);
}

ComPtr<IDispatch> CreateLibraryEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor,
                                                        const Bstr& userId, const Bstr& password) {
  return OpenForEdit(cmd, store::kLibraryKind, name, node, editor, password);
}

ComPtr<IDispatch> GetCalculationEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor) {
  cmd.ResetLastError();
  // Reopening rewrites the edit copy.
  const CCalcCmdBase::Grant grant = CheckRightsFor(cmd, store::kCalculationKind);
  if (grant == CCalcCmdBase::Grant::Refused) return nullptr;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return nullptr;
  const std::string edit = store::EditPathOf(base, name.ToUtf8(), true);
  if (edit.empty() || FileIsMissing(cmd, edit)) return cmd.NoObject(CMDERR_NOT_BEING_EDITED);
  ComPtr<IDispatch> copy;
  const com::HRESULT loaded =
      g_pEnvironment ? g_pEnvironment->LoadCalculationFile(Bstr::FromUtf8(edit), name, &copy) : com::E_POINTER;
  auto calc = com::QueryInterface<IZrCalculation>(copy);
  if (com::FAILED(loaded) || !calc) return cmd.NoObject(CMDERR_LOAD_FROM_FILE);
  Bstr owner;
  calc->GetOwnerString(&owner);
  if (!OwnedBy(owner.ToUtf8(), node.ToUtf8(), editor.ToUtf8())) return cmd.NoObject(CMDERR_EDITED_BY_OTHER_USER);
  if (RefusedAsNonScript(cmd, grant == CCalcCmdBase::Grant::ScriptOnly, copy.Get(), true)) return nullptr;
  calc->SetEditState(0);
  store::SaveObjectTo(copy.Get(), edit);
  return copy;
}

ComPtr<IDispatch> GetLibraryEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor) {
  cmd.ResetLastError();
  std::string root;
  cmd.GetRootDirectory(&root);
  const std::string edit = store::EditPathOf(root, name.ToUtf8(), false);
  if (edit.empty() || FileIsMissing(cmd, edit)) return cmd.NoObject(CMDERR_NOT_BEING_EDITED);
  ComPtr<IDispatch> copy;
  const com::HRESULT loaded =
      g_pEnvironment ? g_pEnvironment->LoadLibraryFile(Bstr::FromUtf8(edit), name, &copy) : com::E_POINTER;
  if (com::FAILED(loaded) || !copy) return cmd.NoObject(CMDERR_LOAD_FROM_FILE);
  Variant owner;
  if (com::FAILED(com::GetProperty(copy.Get(), "EditOwner", &owner)) || owner.vt() != com::VT_BSTR)
    return cmd.NoObject(CMDERR_CDB_FIELD_ACCESS);
  if (!OwnedBy(owner.bstr().ToUtf8(), node.ToUtf8(), editor.ToUtf8())) return cmd.NoObject(CMDERR_EDITED_BY_OTHER_USER);
  return copy;
}

bool SaveCalculationEditObject(CCalcCmdBase& cmd, IDispatch* object) {
  return WriteEditCopy(cmd, store::kCalculationKind, object);
}

bool SaveLibraryEditObject(CCalcCmdBase& cmd, IDispatch* library) { return WriteEditCopy(cmd, store::kLibraryKind, library); }

bool DeleteCalculationEditObject(CCalcCmdBase& cmd, const Bstr& name) {
  return DeleteEditCopy(cmd, store::kCalculationKind, name);
}

bool DeleteLibraryEditObject(CCalcCmdBase& cmd, const Bstr& name) { return DeleteEditCopy(cmd, store::kLibraryKind, name); }

bool CancelEdit(CCalcCmdBase& cmd, IDispatch* object) {
  auto calc = com::QueryInterface<IZrCalculation>(object);
  auto lib = calc ? nullptr : com::QueryInterface<IZrLibrary>(object);
  const store::ObjectKind& kind = calc ? store::kCalculationKind : store::kLibraryKind;
  // The gate goes before the directory test, so a caller without the right learns nothing more.
  CCalcCmdBase::Grant grant = CCalcCmdBase::Grant::Full;
  if (calc || lib) {
    grant = CheckRightsFor(cmd, kind);
    if (grant == CCalcCmdBase::Grant::Refused) return false;
  }
  std::string base;
  if (!cmd.GetBaseDirectory(&base)) return cmd.Failed(CMDERR_BASE_DIR_NOT_INITIALIZED);
  cmd.ResetLastError();
  if (!calc && !lib) return false;
  Bstr name;
  std::string edit;
  if (calc) {
    calc->GetName(&name);
    edit = store::EditPathOf(base, name.ToUtf8(), true);
    if (edit.empty()) return cmd.Failed(CMDERR_INVALID_CALCULATION_NAME);
  } else {
    lib->GetName(&name);
    std::string root;
    cmd.GetRootDirectory(&root);
    edit = store::EditPathOf(root, name.ToUtf8(), false);
    if (edit.empty()) return cmd.Failed(CMDERR_INVALID_LIBRARY_NAME);
  }
  if (RefusedEditCopy(cmd, grant, kind, edit, name)) return false;
  cmd.Fs().DeleteFile(edit);
  return true;
}

}  // namespace kv::store
