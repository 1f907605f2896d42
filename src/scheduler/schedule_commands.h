#pragma once
// The schedule's commands: its groups and their items, their run times and the scheduler status.
// Each takes the command object it runs on (command_object/calc_cmd_base.h).
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "command_object/calc_cmd_base.h"
#include "components/schedule_components.h"

namespace kv::scheduler {

// ---- Schedule run times and units ----------------------------------------------------
// Bodies in scheduler/run_time_commands.cc and units/units_commands.cc.
//
// Steps "schedule" and "group": CMDERR_SCHEDULE_NOT_FOUND without a schedule, CMDERR_INVALID_SCHEDULE_GROUP
// when it has no group of that name; true and the group otherwise.
bool RequireScheduleGroup(CCalcCmdBase& cmd, const Bstr& groupName, ComPtr<components::IZrScheduleGroup>* group);
// The group's next start time from now: stored (local) in *newRunTime when that is not null,
// and set as its ComputedRunTime (UTC); the schedule is saved. CMDERR_CDB_FIELD_ACCESS when a timing property
// cannot be read. NextRunTime and NextRunTimeUtc are left alone. No lock; the schedule right
// (CMDERR_DENIED_SCHEDULE) right after the reset, as every command that changes the schedule.
bool ComputeNewRunTime(CCalcCmdBase& cmd, const Bstr& groupName, double* newRunTime);
// The calendar rule (scheduler/run_times.h) at LocalNow. Neither clears nor sets the error.
double ComputeNextStartTime(CCalcCmdBase& cmd, double rate, double offset, long dayOfMonth, long dayOfWeek);
// Sets the group's ComputedRunTime to the local `newTime` in UTC (0 and below unconverted) and
// saves; CMDERR_CDB_FIELD_ACCESS when the group refuses it. The schedule right first.
bool SetComputedRunTime(CCalcCmdBase& cmd, const Bstr& groupName, double newTime);
// The group's ExecutionTime in *executionTime, which is -1 on every failure; CMDERR_CDB_FIELD_ACCESS when it
// cannot be read.
bool GetScheduleExecutionTime(CCalcCmdBase& cmd, const Bstr& groupName, long* executionTime);
// The offset from UTC in days (positive west) at the local `dateTime`, or now when it is 0.0.
// Neither clears nor sets the error.
double GetServerGmtOffset(CCalcCmdBase& cmd, double dateTime);

// Schedule commands (bodies in scheduler/schedule_commands.cc). Those that change the
// schedule ask for the schedule right (CMDERR_DENIED_SCHEDULE), save it after a change (a
// failed save is not reported) and, when they change its structure, hold ScheduleLock (site
// 211). Without a schedule: CMDERR_SCHEDULE_NOT_FOUND and the failure value. Group and item
// names with white space or control characters are refused with CMDERR_NAME_HAS_SPACES; a
// rate or offset that is not a finite number with CMDERR_CATCH_ALL.
bool AddScheduleGroup(CCalcCmdBase& cmd, const Bstr& groupName, double rate, double offset, long dayOfMonth, long dayOfWeek);
bool DeleteScheduleGroup(CCalcCmdBase& cmd, const Bstr& groupName, bool forceDelete);
bool AddScheduledItem(CCalcCmdBase& cmd, const Bstr& groupName, const Bstr& itemName);
bool DeleteScheduledItem(CCalcCmdBase& cmd, const Bstr& groupName, const Bstr& itemName);
// The names of the groups that schedule the item; VT_EMPTY when none does.
void FindScheduledItem(CCalcCmdBase& cmd, const Bstr& itemName, Variant* result);
void GetScheduledItems(CCalcCmdBase& cmd, const Bstr& groupName, Variant* result);
inline void GetScheduledItemsEx(CCalcCmdBase& cmd, const Bstr& groupName, Variant* result) {
  GetScheduledItems(cmd, groupName, result);
}
void GetScheduleGroupList(CCalcCmdBase& cmd, Variant* result);
ComPtr<IDispatch> GetScheduleObject(CCalcCmdBase& cmd);
bool ScheduleGroupInfo(CCalcCmdBase& cmd, const Bstr& groupName, double* lastRunTime, double* nextRunTime, double* runRate,
                       double* rate, double* offset, long* priority, long* dayOfMonth, long* dayOfWeek);
bool SetScheduleGroupRate(CCalcCmdBase& cmd, const Bstr& groupName, double rate, double offset, long dayOfMonth, long dayOfWeek);
bool SetScheduleGroupPriority(CCalcCmdBase& cmd, const Bstr& groupName, long priority);
bool SetScheduleGroupMode(CCalcCmdBase& cmd, const Bstr& groupName, bool eventDriven);
bool SetScheduleGroupNextRunTime(CCalcCmdBase& cmd, const Bstr& groupName, double runTime);
bool SetScheduleGroupOffset(CCalcCmdBase& cmd, const Bstr& groupName, double offset);
// Three lock rows ("Schedule Threads", "Eng Units Lock", "Object List") and one row per group
// thread; VT_EMPTY when there are no group threads.
void GetSchedulerStatus(CCalcCmdBase& cmd, Variant* result);

}  // namespace kv::scheduler
