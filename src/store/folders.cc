// Calculation folders: "<base>\Calc\<name>" and "<base>\Calc\Edit\<name>", kept together.
// A folder holds calculations of every kind (a rename moves them all), so every folder command
// asks the full calculation right; the CalcScript-only one is not enough.
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "base/store_layout.h"
#include "base/rights.h"
#include "platform/env.h"
#include "store/store_objects.h"
#include "store/store_commands.h"

namespace kv::store {
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

bool CreateCalcFolder(CCalcCmdBase& cmd, const Bstr& folderName) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightCalc, security::kRefusedCalc)) return false;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return false;
  const std::string name = folderName.ToUtf8();
  if (!store::IsStoreFolderName(name)) return Refuse(cmd, "Error creating folder directory.");
  if (int err = cmd.Fs().CreateDirectory(FolderDir(base, name)); err != kOk) {
    return Refuse(cmd, err == kEEXIST ? "Folder already exists." : "Error creating folder directory.");
  }
  if (cmd.Fs().CreateDirectory(EditFolderDir(base, name)) != kOk) {
    cmd.Fs().RemoveDirectory(FolderDir(base, name));
    return Refuse(cmd, "Error create folder directory.");
  }
  return true;
}

bool DeleteCalcFolder(CCalcCmdBase& cmd, const Bstr& folderName) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightCalc, security::kRefusedCalc)) return false;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return false;
  const std::string name = folderName.ToUtf8();
  if (!store::IsStoreFolderName(name)) return Refuse(cmd, "Error remove the folder.");
  if (int err = cmd.Fs().RemoveDirectory(FolderDir(base, name)); err != kOk) {
    return Refuse(cmd, err == kENOTEMPTY ? "Folder is not empty." : "Error remove the folder.");
  }
  if (int err = cmd.Fs().RemoveDirectory(EditFolderDir(base, name)); err != kOk) {
    cmd.Fs().CreateDirectory(FolderDir(base, name));
    return Refuse(cmd, err == kENOTEMPTY ? "Folder is not empty." : "Error remove Edit directory.");
  }
  return true;
}

bool RenameCalcFolder(CCalcCmdBase& cmd, const Bstr& oldFolderName, const Bstr& newFolderName) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightCalc, security::kRefusedCalc)) return false;
  std::string base;
  if (!cmd.RequireBaseDirectory(&base)) return false;
  const std::string from = oldFolderName.ToUtf8(), to = newFolderName.ToUtf8();
  if (!store::IsStoreFolderName(from) || !store::IsStoreFolderName(to))
    return Refuse(cmd, "Error rename the folder.");
  if (int err = cmd.Fs().Rename(FolderDir(base, from), FolderDir(base, to)); err != kOk) {
    return Refuse(cmd, err == kEEXIST ? "New folder name already exists." : "Error rename the folder.");
  }
  if (cmd.Fs().Rename(EditFolderDir(base, from), EditFolderDir(base, to)) != kOk) {
    cmd.Fs().Rename(FolderDir(base, to), FolderDir(base, from));
    return Refuse(cmd, "Error rename the folder.");
  }
  return true;
}

}  // namespace kv::store
