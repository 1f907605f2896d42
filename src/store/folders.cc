// Calculation folders: "<base>\Calc\<name>" and "<base>\Calc\Edit\<name>", kept together.
// A folder holds calculations of every kind (a rename moves them all), so every folder command
// asks the full calculation right; the CalcScript-only one is not enough.
#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "base/store_layout.h"
#include "base/rights.h"
#include "platform/env.h"
#include "store/store_objects.h"

namespace kv {
namespace {

using platform::crt::kEEXIST;
using platform::crt::kENOTEMPTY;
using platform::crt::kOk;

std::string FolderDir(const std::string& base, const std::string& name) {
  return layout::Join(layout::CalcDir(base), name);
}
std::string EditFolderDir(const std::string& base, const std::string& name) {
  return layout::Join(layout::Join(layout::CalcDir(base), layout::kEdit), name);
}

// Every folder failure is reported with its own text.
bool Refuse(CCalcCmdBase& cmd, const char* text) {
  cmd.SetCommandError(text, CMDERR_CATCH_ALL);
  return false;
}

}  // namespace

bool CCalcCmdBase::CreateCalcFolder(const Bstr& folderName) {
  ResetLastError();
  if (!CheckPermission(security::kRightCalc, security::kRefusedCalc)) return false;
  std::string base;
  if (!RequireBaseDirectory(&base)) return false;
  const std::string name = folderName.ToUtf8();
  if (!store::IsStoreFolderName(name)) return Refuse(*this, "Error creating folder directory.");
  if (int err = Fs().CreateDirectory(FolderDir(base, name)); err != kOk) {
    return Refuse(*this, err == kEEXIST ? "Folder already exists." : "Error creating folder directory.");
  }
  if (Fs().CreateDirectory(EditFolderDir(base, name)) != kOk) {
    Fs().RemoveDirectory(FolderDir(base, name));
    return Refuse(*this, "Error create folder directory.");
  }
  return true;
}

bool CCalcCmdBase::DeleteCalcFolder(const Bstr& folderName) {
  ResetLastError();
  if (!CheckPermission(security::kRightCalc, security::kRefusedCalc)) return false;
  std::string base;
  if (!RequireBaseDirectory(&base)) return false;
  const std::string name = folderName.ToUtf8();
  if (!store::IsStoreFolderName(name)) return Refuse(*this, "Error remove the folder.");
  if (int err = Fs().RemoveDirectory(FolderDir(base, name)); err != kOk) {
    return Refuse(*this, err == kENOTEMPTY ? "Folder is not empty." : "Error remove the folder.");
  }
  if (int err = Fs().RemoveDirectory(EditFolderDir(base, name)); err != kOk) {
    Fs().CreateDirectory(FolderDir(base, name));
    return Refuse(*this, err == kENOTEMPTY ? "Folder is not empty." : "Error remove Edit directory.");
  }
  return true;
}

bool CCalcCmdBase::RenameCalcFolder(const Bstr& oldFolderName, const Bstr& newFolderName) {
  ResetLastError();
  if (!CheckPermission(security::kRightCalc, security::kRefusedCalc)) return false;
  std::string base;
  if (!RequireBaseDirectory(&base)) return false;
  const std::string from = oldFolderName.ToUtf8(), to = newFolderName.ToUtf8();
  if (!store::IsStoreFolderName(from) || !store::IsStoreFolderName(to))
    return Refuse(*this, "Error rename the folder.");
  if (int err = Fs().Rename(FolderDir(base, from), FolderDir(base, to)); err != kOk) {
    return Refuse(*this, err == kEEXIST ? "New folder name already exists." : "Error rename the folder.");
  }
  if (Fs().Rename(EditFolderDir(base, from), EditFolderDir(base, to)) != kOk) {
    Fs().Rename(FolderDir(base, to), FolderDir(base, from));
    return Refuse(*this, "Error rename the folder.");
  }
  return true;
}

}  // namespace kv
