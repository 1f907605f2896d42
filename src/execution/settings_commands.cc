// The ODM workspace and store-and-forward settings: registry values kept in step with the
// process flags (config/config.h, atomics) that group threads and runs on demand read. The
// writes hold ScheduleLock, under which workspace-bound group passes run, so that no such pass
// sees the workspace service dropped halfway.
#include "base/rights.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "command_object/workspace_service.h"
#include "config/config.h"
#include "platform/registry_store.h"
#include "execution/execution_commands.h"

namespace kv::execution {

using platform::RegHive;
using platform::RegValue;

namespace {

// The settings are the server's, read by every group pass: changing them takes the schedule
// right, on every command object.
bool MayChangeRunSettings(CCalcCmdBase& cmd) {
  return cmd.CheckPermission(security::kRightSchedule, security::kRefusedSchedule, CCalcCmdBase::StoreScope::Shared);
}

}  // namespace

Bstr GetOdmWorkSpace(CCalcCmdBase& cmd) {
  if (!cmd.Env().registry->KeyExists(RegHive::LocalMachine, config::kOdmKey)) return Bstr::Null();
  return Bstr::FromUtf8(config::ReadOdmWorkspace(cmd.Env()));
}

void SetOdmWorkSpace(CCalcCmdBase& cmd, const Bstr& workSpaceName) {
  cmd.ResetLastError();
  if (!MayChangeRunSettings(cmd)) return;
  auto& reg = *cmd.Env().registry;
  if (reg.CreateKey(RegHive::LocalMachine, config::kOdmKey) != platform::kRegOk) return;
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  if (!workSpaceName.IsNull())
    reg.SetValue(RegHive::LocalMachine, config::kOdmKey, config::kOdmWorkSpaceValue,
                 RegValue::String(workSpaceName.ToUtf8()));
  g_pWorkspaceService = nullptr;
  g_bOdmWorkspaceSet = workSpaceName.Length() != 0;
}

Variant GetOdmWorkSpaces(CCalcCmdBase& cmd) {
  Variant result;
  if (auto service = CreateWorkspaceService()) service->ListWorkspaces(&result);
  return result;
}

Bstr TestOdmConnection(CCalcCmdBase& cmd, const Bstr& workSpaceName) {
  Bstr report;
  if (auto service = CreateWorkspaceService()) service->TestConnection(workSpaceName, &report);
  return report;
}

bool GetStoreAndForwardEnabled(CCalcCmdBase& cmd) {
  if (!cmd.Env().registry->KeyExists(RegHive::LocalMachine, config::kStoreAndForwardKey)) return false;
  return config::ReadStoreAndForward(cmd.Env()) != 0;
}

void SetStoreAndForwardEnabled(CCalcCmdBase& cmd, bool enabled) {
  cmd.ResetLastError();
  if (!MayChangeRunSettings(cmd)) return;
  auto& reg = *cmd.Env().registry;
  if (reg.CreateKey(RegHive::LocalMachine, config::kStoreAndForwardKey) != platform::kRegOk) return;
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  reg.SetValue(RegHive::LocalMachine, config::kStoreAndForwardKey, config::kStoreAndForwardValue,
               RegValue::Dword(enabled ? 1 : 0));
  g_bStoreAndForwardEnabled = enabled ? com::VARIANT_TRUE : com::VARIANT_FALSE;
}

}  // namespace kv::execution
