// The commands through which clients read and change the schedule.
#include <cmath>
#include <limits>

#include "base/error_codes.h"
#include "base/rights.h"
#include "base/shown_name.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "scheduler/schedule.h"
#include "scheduler/schedule_threads.h"
#include "scheduler/scheduler_supervisor.h"
#include "scheduler/schedule_commands.h"
#include "base/store_layout.h"

namespace kv::scheduler {

using components::IZrScheduleGroup;
using scheduler::g_ScheduleThreads;

namespace {

// The schedule file holds a name of any length.
constexpr size_t kMaxScheduleNameBytes = std::numeric_limits<size_t>::max();

// Group and item names follow the names' one text rule (no white space of any script, no
// control or format character).
bool IsAcceptableName(const std::string& name) { return base::IsShownName(name, kMaxScheduleNameBytes); }

bool IsDayOfMonth(long v) { return v >= -1 && v <= 31; }
bool IsDayOfWeek(long v) { return v >= 0 && v <= 7; }

// The schedule right; only a checked object asks.
bool MaySchedule(CCalcCmdBase& cmd) {
  return cmd.CheckPermission(security::kRightSchedule, security::kRefusedSchedule);
}

void Save() { scheduler::SaveScheduleObject(g_pScheduleObject.Get()); }

}  // namespace

bool AddScheduleGroup(CCalcCmdBase& cmd, const Bstr& groupName, double rate, double offset, long dayOfMonth,
                                    long dayOfWeek) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  const std::string name = groupName.ToUtf8();
  if (!IsAcceptableName(name)) return cmd.Failed(CMDERR_NAME_HAS_SPACES);
  if (!IsDayOfMonth(dayOfMonth)) return cmd.Failed(CMDERR_INVALID_DAY_OF_MONTH);
  if (!IsDayOfWeek(dayOfWeek)) return cmd.Failed(CMDERR_INVALID_DAY_OF_WEEK);
  if (!std::isfinite(rate) || !std::isfinite(offset)) {
    cmd.SetCommandError("The Rate and the Offset must be finite numbers.", CMDERR_CATCH_ALL);
    return false;
  }
  if (!g_pScheduleObject) return cmd.Failed(CMDERR_SCHEDULE_NOT_FOUND);
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  if (com::FAILED(scheduler::CreateScheduleGroup(g_pScheduleObject.Get(), groupName, rate, offset, dayOfMonth,
                                                 dayOfWeek, scheduler::kCommandScheduleClass)))
    return false;
  Save();
  if (g_ScheduleThreads.count(name) != 0) return cmd.Failed(CMDERR_NAME_EXISTS);
  auto entry = std::make_shared<scheduler::ScheduleThreadInfo>(name, *cmd.Env().clock);
  entry->startRequested = true;
  g_ScheduleThreads[name] = std::move(entry);
  scheduler::GroupsChangedEvent().Set();
  return true;
}

bool DeleteScheduleGroup(CCalcCmdBase& cmd, const Bstr& groupName, bool /*forceDelete: items go with the group*/) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (!g_pScheduleObject) return cmd.Failed(CMDERR_SCHEDULE_NOT_FOUND);
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  if (com::FAILED(g_pScheduleObject->Remove(groupName))) return false;
  Save();
  if (auto it = g_ScheduleThreads.find(groupName.ToUtf8()); it != g_ScheduleThreads.end())
    it->second->deleteRequested = true;
  scheduler::GroupsChangedEvent().Set();
  return true;
}

bool AddScheduledItem(CCalcCmdBase& cmd, const Bstr& groupName, const Bstr& itemName) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (!IsAcceptableName(itemName.ToUtf8())) return cmd.Failed(CMDERR_NAME_HAS_SPACES);
  if (!g_pScheduleObject) return cmd.Failed(CMDERR_SCHEDULE_NOT_FOUND);
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  ComPtr<IZrScheduleGroup> group;
  if (scheduler::FindGroup(groupName, &group) != com::S_OK) return false;
  ComPtr<IDispatch> item;
  if (com::FAILED(group->AddItem(itemName, &item))) return false;
  Save();
  return true;
}

bool DeleteScheduledItem(CCalcCmdBase& cmd, const Bstr& groupName, const Bstr& itemName) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (!g_pScheduleObject) return cmd.Failed(CMDERR_SCHEDULE_NOT_FOUND);
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  ComPtr<IZrScheduleGroup> group;
  if (scheduler::FindGroup(groupName, &group) != com::S_OK) return false;
  if (com::FAILED(group->RemoveItem(itemName))) return false;
  Save();
  return true;
}

void FindScheduledItem(CCalcCmdBase& cmd, const Bstr& itemName, Variant* result) {
  cmd.ResetLastError();
  if (!g_pScheduleObject) {
    cmd.SetCommandError(CMDERR_SCHEDULE_NOT_FOUND);
    return;
  }
  std::vector<std::string> groups;
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
    long count = 0;
    g_pScheduleObject->Count(&count);
    for (long i = 1; i <= count; ++i) {
      ComPtr<IZrScheduleGroup> group;
      if (scheduler::GroupAt(i, &group) != com::S_OK) continue;
      ComPtr<IDispatch> item;
      if (group->FindItem(itemName, &item) != com::S_OK || !item) continue;
      Bstr name;
      group->GetName(&name);
      groups.push_back(name.ToUtf8());
    }
  }
  CCalcCmdBase::StringArrayToVariant(groups, result);
}

void GetScheduledItems(CCalcCmdBase& cmd, const Bstr& groupName, Variant* result) {
  cmd.ResetLastError();
  if (!g_pScheduleObject) {
    cmd.SetCommandError(CMDERR_SCHEDULE_NOT_FOUND);
    return;
  }
  ComPtr<IZrScheduleGroup> group;
  if (scheduler::FindGroup(groupName, &group) != com::S_OK) return;
  ComPtr<components::IZrCollection> items;
  if (com::SUCCEEDED(group->Items(&items)) && items) items->NameList(result);
}

void GetScheduleGroupList(CCalcCmdBase& cmd, Variant* result) {
  cmd.ResetLastError();
  if (!g_pScheduleObject) {
    cmd.SetCommandError(CMDERR_SCHEDULE_NOT_FOUND);
    return;
  }
  g_pScheduleObject->NameList(result);
}

ComPtr<IDispatch> GetScheduleObject(CCalcCmdBase& cmd) {
  cmd.ResetLastError();
  if (!g_pScheduleObject) return cmd.NoObject(CMDERR_SCHEDULE_NOT_FOUND);
  return com::QueryInterface<IDispatch>(g_pScheduleObject);
}

bool ScheduleGroupInfo(CCalcCmdBase& cmd, const Bstr& groupName, double* lastRunTime, double* nextRunTime,
                                     double* runRate, double* rate, double* offset, long* priority,
                                     long* dayOfMonth, long* dayOfWeek) {
  cmd.ResetLastError();
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  group->GetLastRunTime(lastRunTime);
  group->GetNextRunTime(nextRunTime);
  group->GetRunRate(runRate);
  group->GetRate(rate);
  group->GetOffset(offset);
  group->GetPriority(priority);
  group->GetDayOfMonth(dayOfMonth);
  group->GetDayOfWeek(dayOfWeek);
  return true;
}

bool SetScheduleGroupRate(CCalcCmdBase& cmd, const Bstr& groupName, double rate, double offset, long dayOfMonth,
                                        long dayOfWeek) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (!IsDayOfMonth(dayOfMonth)) return cmd.Failed(CMDERR_INVALID_DAY_OF_MONTH);
  if (!IsDayOfWeek(dayOfWeek)) return cmd.Failed(CMDERR_INVALID_DAY_OF_WEEK);
  if (!std::isfinite(rate) || !std::isfinite(offset)) {
    cmd.SetCommandError("The Rate and the Offset must be finite numbers.", CMDERR_CATCH_ALL);
    return false;
  }
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  if (com::FAILED(group->PutRate(rate)) || com::FAILED(group->PutOffset(offset)) ||
      com::FAILED(group->PutDayOfMonth(dayOfMonth)) || com::FAILED(group->PutDayOfWeek(dayOfWeek)))
    return cmd.Failed(CMDERR_CDB_FIELD_WRITE);
  Save();
  return true;
}

bool SetScheduleGroupPriority(CCalcCmdBase& cmd, const Bstr& groupName, long priority) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (priority < -2 || priority > 2) return cmd.Failed(CMDERR_INVALID_PRIORITY);
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  if (com::FAILED(group->PutPriority(priority))) return false;
  Save();
  return true;
}

bool SetScheduleGroupMode(CCalcCmdBase& cmd, const Bstr&, bool) {
  cmd.ResetLastError();
  return false;
}

bool SetScheduleGroupNextRunTime(CCalcCmdBase& cmd, const Bstr& groupName, double runTime) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (!std::isfinite(runTime)) {
    cmd.SetCommandError("The RunTime must be a finite number.", CMDERR_CATCH_ALL);
    return false;
  }
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  const double utc = runTime > 0.0 ? cmd.Env().Time().LocalToUtc(runTime) : runTime;
  if (com::FAILED(group->PutNextRunTime(runTime)) || com::FAILED(group->PutNextRunTimeUtc(utc)))
    return cmd.Failed(CMDERR_CDB_FIELD_WRITE);
  Save();
  return true;
}

bool SetScheduleGroupOffset(CCalcCmdBase& cmd, const Bstr& groupName, double offset) {
  cmd.ResetLastError();
  if (!MaySchedule(cmd)) return false;
  if (!std::isfinite(offset)) {
    cmd.SetCommandError("The Offset must be a finite number.", CMDERR_CATCH_ALL);
    return false;
  }
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  if (com::FAILED(group->PutOffset(offset))) return cmd.Failed(CMDERR_CDB_FIELD_WRITE);
  Save();
  return true;
}

void GetSchedulerStatus(CCalcCmdBase& cmd, Variant* result) {
  cmd.ResetLastError();
  platform::TrackedLock& schedule = ScheduleLock();
  const int32_t count = schedule.LockCount();
  const int32_t holder = schedule.Holder();
  platform::TrackedLock::Scope lock(schedule, kSiteSchedulerStatus);
  if (g_ScheduleThreads.empty()) return;
  auto row = [](std::string_view name, int32_t a, int32_t b) {
    return com::VariantArray({Variant::Str(name), Variant::I4(a), Variant::Str(""), Variant::I4(b)});
  };
  std::vector<Variant> rows;
  rows.push_back(row(schedule.Name(), count, holder));
  rows.push_back(row(UnitsLock().Name(), UnitsLock().LockCount(), UnitsLock().Holder()));
  rows.push_back(row("Object List", 0, 0));
  for (const auto& [name, e] : g_ScheduleThreads) rows.push_back(row(name, e->lastPassMs.load(), e->passCount.load()));
  *result = com::VariantArray(std::move(rows));
}

}  // namespace kv::scheduler
