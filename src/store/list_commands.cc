// The list and fetch commands over the store.
#include <map>

#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "components/calc_components.h"
#include "persist/collection_io.h"
#include "store/store_names.h"
#include "store/store_commands.h"

namespace kv::store {

using components::IZrCalculation;
using components::IZrLibrary;
using components::IZrScheduleGroup;

void GetCalculationList(CCalcCmdBase& cmd, Variant* outVal) {
  cmd.ResetLastError();
  *outVal = Variant();
  CCalcCmdBase::StringArrayToVariant(ListCalculations(cmd), outVal);
}

void GetLibraryList(CCalcCmdBase& cmd, Variant* result) {
  cmd.ResetLastError();
  *result = Variant();
  CCalcCmdBase::StringArrayToVariant(ListLibraries(cmd), result);
}

void GetFormulaList(CCalcCmdBase& cmd, IDispatch* library, Variant* result) {
  cmd.ResetLastError();
  auto lib = com::QueryInterface<IZrLibrary>(library);
  if (!lib) {
    cmd.SetCommandError(CMDERR_NOT_A_LIBRARY);
    return;
  }
  lib->ListFormulas(result);
}

ComPtr<IDispatch> GetCalculationObject(CCalcCmdBase& cmd, const Bstr& name) {
  cmd.ResetLastError();
  ComPtr<IDispatch> calc;
  if (!g_pEnvironment || !store::IsSafeCalculationName(name.ToUtf8())) return calc;
  g_pEnvironment->GetCalculation(name, cmd.CalculationDirectoryArgument(), &calc);
  return calc;
}

ComPtr<IDispatch> GetLibraryObject(CCalcCmdBase& cmd, const Bstr& name) {
  cmd.ResetLastError();
  ComPtr<IDispatch> lib;
  if (!g_pEnvironment || !store::IsSafeLibraryName(name.ToUtf8())) return lib;
  g_pEnvironment->GetLibrary(name, &lib);
  return lib;
}

// Keeps the previous error (its table row forwards without a reset), so a client can still
// read why its last command failed after refreshing the summary.
void GetCalculationSummary(CCalcCmdBase& cmd, Variant* result) {
  std::vector<std::string> names = ListCalculations(cmd);
  std::vector<std::string> folders = ListCalcFolders(cmd);

  com::SafeArray states(com::VT_VARIANT, 0, names.size());
  const Bstr dirArg = cmd.CalculationDirectoryArgument();
  for (size_t i = 0; i < names.size(); ++i) {
    int16_t state = -1;
    ComPtr<IDispatch> obj;
    if (g_pEnvironment && store::IsSafeCalculationName(names[i]))
      g_pEnvironment->GetCalculation(Bstr::FromUtf8(names[i]), dirArg, &obj);
    if (auto calc = com::QueryInterface<IZrCalculation>(obj)) {
      int16_t s = 0;
      if (com::SUCCEEDED(calc->GetSummaryState(&s))) state = s;
    }
    states.At(i) = Variant::I2(state);
  }

  // Element 3 lists the schedule groups; elements 2 and 5 give, in the order of element 0, the
  // number of groups that schedule each calculation and the name of the first of them ("" when
  // none does).
  std::vector<std::string> groupNames;
  std::map<std::string, std::pair<int32_t, std::string>> scheduledIn;
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
    long count = 0;
    if (g_pScheduleObject) g_pScheduleObject->Count(&count);
    for (long g = 1; g <= count; ++g) {
      ComPtr<IZrScheduleGroup> group;
      if (persist::ItemAtAs(g_pScheduleObject.Get(), g, &group) != com::S_OK) continue;
      Bstr groupName;
      group->GetName(&groupName);
      groupNames.push_back(groupName.ToUtf8());
      long items = 0;
      group->ItemCount(&items);
      for (long i = 1; i <= items; ++i) {
        Bstr item;
        if (com::FAILED(group->ItemName(i, &item))) continue;
        auto& entry = scheduledIn[item.ToUtf8()];
        if (entry.first++ == 0) entry.second = groupNames.back();
      }
    }
  }
  com::SafeArray scheduled(com::VT_VARIANT, 0, names.size()), groupOf(com::VT_VARIANT, 0, names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    auto it = scheduledIn.find(names[i]);
    scheduled.At(i) = Variant::I4(it == scheduledIn.end() ? 0 : it->second.first);
    groupOf.At(i) = Variant::Str(it == scheduledIn.end() ? std::string() : it->second.second);
  }
  com::SafeArray groups(com::VT_VARIANT, 0, groupNames.size());
  for (size_t i = 0; i < groupNames.size(); ++i) groups.At(i) = Variant::Str(groupNames[i]);

  com::SafeArray summary(com::VT_VARIANT, 0, 6);
  CCalcCmdBase::StringArrayToVariant(names, &summary.At(0));
  summary.At(1) = Variant::Array(std::move(states));
  summary.At(2) = Variant::Array(std::move(scheduled));
  summary.At(3) = Variant::Array(std::move(groups));
  CCalcCmdBase::StringArrayToVariant(folders, &summary.At(4));
  summary.At(5) = Variant::Array(std::move(groupOf));
  *result = Variant::Array(std::move(summary));
}

}  // namespace kv::store
