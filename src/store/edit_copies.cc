// Edit copies: opening, reopening, saving and discarding them.
#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "commands/shared_objects.h"
#include "platform/env.h"
#include "base/rights.h"
#include "store/edit_owner.h"
#include "store/store_names.h"
#include "store/store_objects.h"

namespace kv {
namespace {

using components::IZrCalculation;
using components::IZrLibrary;

platform::FileSystem& Fs() { return *platform::Env::Current().fs; }

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
    Fs().DeleteFile(edit);
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
    Fs().DeleteFile(edit);
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

// Writes the object to its edit copy under `dir`, owner unchanged.
bool WriteEditCopy(CCalcCmdBase& cmd, IDispatch* object, const std::string& dir, bool calculation) {
  std::string n;
  if (!cmd.StoreNameOf(object, calculation, &n)) return false;
  if (com::FAILED(store::SaveObjectTo(object, store::EditPathOf(dir, n, calculation))))
    return cmd.Failed(CMDERR_SAVE_EDIT_OBJECT);
  return true;
}

// Deletes an edit copy for good; `missingCode` when there is none (or the name was unsafe).
bool DeleteEditCopy(CCalcCmdBase& cmd, const std::string& edit, long missingCode) {
  if (edit.empty() || CCalcCmdBase::FileIsMissing(edit)) return cmd.Failed(missingCode);
  if (Fs().DeleteFile(edit) != platform::crt::kOk) return cmd.Failed(CMDERR_DELETE_EDIT_FILE);
  return true;
}

}  // namespace

ComPtr<IDispatch> CCalcCmdBase::CreateCalculationEditObject(const Bstr& name, const Bstr& node, const Bstr& editor,
                                                            const Bstr& userId, const Bstr& password) {
  ResetLastError();
  const Grant grant = CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc);
  if (grant == Grant::Refused) return nullptr;
  const std::string nodeText = node.ToUtf8(), editorText = editor.ToUtf8();
  if (nodeText.empty() || editorText.empty()) return NoObject(CMDERR_NODE_EDITOR_REQUIRED);
  std::string base;
  if (!RequireBaseDirectory(&base)) return nullptr;
  const std::string n = name.ToUtf8();
  if (!store::IsStoreCalculationName(n) || FileIsMissing(store::StoredCalcPath(base, n)))
    return NoObject(CMDERR_INVALID_CALCULATION_NAME);
  const std::string edit = store::EditCalcPath(base, n);
  if (!FileIsMissing(edit)) return NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IDispatch> stored;
  if (g_pEnvironment) g_pEnvironment->GetCalculation(name, CalculationDirectoryArgument(), &stored);
  if (!stored) {
    if (m_lastError == 0) SetCommandError(CMDERR_GET_CALCULATION_OBJECT);
    return nullptr;
  }
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, stored.Get(), true)) return nullptr;
  if (!PasswordMatches(stored.Get(), password)) return NoObject(CMDERR_INVALID_PASSWORD);
  return OpenEditCopy(*this, stored.Get(), edit, name, store::MakeOwnerString(nodeText, editorText), true);
}

ComPtr<IDispatch> CCalcCmdBase::CreateLibraryEditObject(const Bstr& name, const Bstr& node, const Bstr& editor,
                                                        const Bstr& userId, const Bstr& password) {
  ResetLastError();
  const Grant grant =
      CheckTwoRights(security::kRightLibrary, security::kRightCalcScriptLibrary, security::kRefusedLibrary);
  if (grant == Grant::Refused) return nullptr;
  std::string root;
  GetRootDirectory(&root);
  const std::string nodeText = node.ToUtf8(), editorText = editor.ToUtf8();
  if (nodeText.empty() || editorText.empty()) return NoObject(CMDERR_NODE_EDITOR_REQUIRED);
  const std::string n = name.ToUtf8();
  if (!store::IsSafeLibraryName(n) || FileIsMissing(store::StoredLibPath(root, n)))
    return NoObject(CMDERR_INVALID_LIBRARY_NAME);
  const std::string edit = store::EditLibPath(root, n);
  if (!FileIsMissing(edit)) return NoObject(CMDERR_ALREADY_BEING_EDITED);
  ComPtr<IDispatch> stored;
  if (g_pEnvironment) g_pEnvironment->GetLibrary(name, &stored);
  if (!stored) return NoObject(CMDERR_INVALID_LIBRARY_NAME);
  if (RefusedAsNonScript(grant == Grant::ScriptOnly, stored.Get(), false)) return nullptr;
  if (!PasswordMatches(stored.Get(), password)) return NoObject(CMDERR_INVALID_PASSWORD);
  return OpenEditCopy(*this, stored.Get(), edit, name, store::MakeOwnerString(nodeText, editorText), false);
}

ComPtr<IDispatch> CCalcCmdBase::GetCalculationEditObject(const Bstr& name, const Bstr& node, const Bstr& editor) {
  ResetLastError();
  std::string base;
  if (!RequireBaseDirectory(&base)) return nullptr;
  const std::string edit = store::EditPathOf(base, name.ToUtf8(), true);
  if (edit.empty() || FileIsMissing(edit)) return NoObject(CMDERR_NOT_BEING_EDITED);
  ComPtr<IDispatch> copy;
  const com::HRESULT loaded =
      g_pEnvironment ? g_pEnvironment->LoadCalculationFile(Bstr::FromUtf8(edit), name, &copy) : com::E_POINTER;
  auto calc = com::QueryInterface<IZrCalculation>(copy);
  if (com::FAILED(loaded) || !calc) return NoObject(CMDERR_LOAD_FROM_FILE);
  Bstr owner;
  calc->GetOwnerString(&owner);
  if (!OwnedBy(owner.ToUtf8(), node.ToUtf8(), editor.ToUtf8())) return NoObject(CMDERR_EDITED_BY_OTHER_USER);
  calc->SetEditState(0);
  store::SaveObjectTo(copy.Get(), edit);
  return copy;
}

ComPtr<IDispatch> CCalcCmdBase::GetLibraryEditObject(const Bstr& name, const Bstr& node, const Bstr& editor) {
  ResetLastError();
  std::string root;
  GetRootDirectory(&root);
  const std::string edit = store::EditPathOf(root, name.ToUtf8(), false);
  if (edit.empty() || FileIsMissing(edit)) return NoObject(CMDERR_NOT_BEING_EDITED);
  ComPtr<IDispatch> copy;
  const com::HRESULT loaded =
      g_pEnvironment ? g_pEnvironment->LoadLibraryFile(Bstr::FromUtf8(edit), name, &copy) : com::E_POINTER;
  if (com::FAILED(loaded) || !copy) return NoObject(CMDERR_LOAD_FROM_FILE);
  Variant owner;
  if (com::FAILED(com::GetProperty(copy.Get(), "EditOwner", &owner)) || owner.vt() != com::VT_BSTR)
    return NoObject(CMDERR_CDB_FIELD_ACCESS);
  if (!OwnedBy(owner.bstr().ToUtf8(), node.ToUtf8(), editor.ToUtf8())) return NoObject(CMDERR_EDITED_BY_OTHER_USER);
  return copy;
}

bool CCalcCmdBase::SaveCalculationEditObject(IDispatch* object) {
  ResetLastError();
  std::string base;
  return RequireBaseDirectory(&base) && WriteEditCopy(*this, object, base, true);
}

bool CCalcCmdBase::SaveLibraryEditObject(IDispatch* library) {
  ResetLastError();
  std::string root;
  GetRootDirectory(&root);
  return WriteEditCopy(*this, library, root, false);
}

bool CCalcCmdBase::DeleteCalculationEditObject(const Bstr& name) {
  ResetLastError();
  std::string base;
  return RequireBaseDirectory(&base) &&
         DeleteEditCopy(*this, store::EditPathOf(base, name.ToUtf8(), true), CMDERR_NOT_BEING_EDITED);
}

bool CCalcCmdBase::DeleteLibraryEditObject(const Bstr& name) {
  ResetLastError();
  std::string root;
  GetRootDirectory(&root);
  return DeleteEditCopy(*this, store::EditPathOf(root, name.ToUtf8(), false), CMDERR_INVALID_LIBRARY_NAME);
}

bool CCalcCmdBase::CancelEdit(IDispatch* object) {
  std::string base;
  if (!GetBaseDirectory(&base)) return Failed(CMDERR_BASE_DIR_NOT_INITIALIZED);
  ResetLastError();
  Bstr name;
  std::string edit;
  if (auto calc = com::QueryInterface<IZrCalculation>(object)) {
    calc->GetName(&name);
    edit = store::EditPathOf(base, name.ToUtf8(), true);
    if (edit.empty()) return Failed(CMDERR_INVALID_CALCULATION_NAME);
  } else if (auto lib = com::QueryInterface<IZrLibrary>(object)) {
    lib->GetName(&name);
    std::string root;
    GetRootDirectory(&root);
    edit = store::EditPathOf(root, name.ToUtf8(), false);
    if (edit.empty()) return Failed(CMDERR_INVALID_LIBRARY_NAME);
  } else {
    return false;
  }
  Fs().DeleteFile(edit);
  return true;
}

}  // namespace kv
