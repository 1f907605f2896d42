// The commands that expose the run-time rules.
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "base/rights.h"
#include "command_object/shared_objects.h"
#include "platform/env.h"
#include "scheduler/run_times.h"
#include "scheduler/schedule.h"
#include "scheduler/schedule_commands.h"

namespace kv::scheduler {

using components::IZrScheduleGroup;

namespace {

// The OLE date range: 1 January 100 to the end of 31 December 9999. A computed time outside it
// (a huge rate or offset, NaN, an infinity) cannot be shown or converted by any client: it
// becomes 0.0, "no run time".
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDate = 2958466.0;

double WithinOleDates(double date) { return date >= kMinOleDate && date < kMaxOleDate ? date : 0.0; }

}  // namespace

bool RequireScheduleGroup(CCalcCmdBase& cmd, const Bstr& groupName, ComPtr<IZrScheduleGroup>* group) {
  if (!g_pScheduleObject) {
    cmd.SetCommandError(CMDERR_SCHEDULE_NOT_FOUND);
    return false;
  }
  if (scheduler::FindGroup(groupName, group) != com::S_OK) {
    cmd.SetCommandError(CMDERR_INVALID_SCHEDULE_GROUP);
    return false;
  }
  return true;
}

bool ComputeNewRunTime(CCalcCmdBase& cmd, const Bstr& groupName, double* newRunTime) {
  cmd.ResetLastError();
  // It stores the time in the group and saves the schedule: a change of the schedule.
  if (!cmd.CheckPermission(security::kRightSchedule, security::kRefusedSchedule)) return false;
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  double rate = 0, offset = 0;
  long dayOfMonth = 0, dayOfWeek = 0;
  if (com::FAILED(group->GetRate(&rate)) || com::FAILED(group->GetOffset(&offset)) ||
      com::FAILED(group->GetDayOfMonth(&dayOfMonth)) || com::FAILED(group->GetDayOfWeek(&dayOfWeek))) {
    cmd.SetCommandError(CMDERR_CDB_FIELD_ACCESS);
    return false;
  }
  const platform::LocalTime time = cmd.Env().Time();
  const double t =
      WithinOleDates(scheduler::ComputeNextStartTime(rate, offset, dayOfMonth, dayOfWeek, time.LocalNow()));
  if (newRunTime) *newRunTime = t;
  group->PutComputedRunTime(t > 0.0 ? time.LocalToUtc(t) : t);
  scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  return true;
}

double ComputeNextStartTime(CCalcCmdBase& cmd, double rate, double offset, long dayOfMonth, long dayOfWeek) {
  return WithinOleDates(
      scheduler::ComputeNextStartTime(rate, offset, dayOfMonth, dayOfWeek, cmd.Env().Time().LocalNow()));
}

bool SetComputedRunTime(CCalcCmdBase& cmd, const Bstr& groupName, double newTime) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightSchedule, security::kRefusedSchedule)) return false;
  newTime = WithinOleDates(newTime);
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  if (com::FAILED(group->PutComputedRunTime(newTime > 0.0 ? cmd.Env().Time().LocalToUtc(newTime) : newTime))) {
    cmd.SetCommandError(CMDERR_CDB_FIELD_ACCESS);
    return false;
  }
  scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  return true;
}

bool GetScheduleExecutionTime(CCalcCmdBase& cmd, const Bstr& groupName, long* executionTime) {
  cmd.ResetLastError();
  *executionTime = -1;
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(cmd, groupName, &group)) return false;
  if (com::FAILED(group->GetExecutionTime(executionTime))) {
    cmd.SetCommandError(CMDERR_CDB_FIELD_ACCESS);
    return false;
  }
  return true;
}

double GetServerGmtOffset(CCalcCmdBase& cmd, double dateTime) {
  return scheduler::GmtOffsetDays(*cmd.Env().zone, dateTime == 0.0 ? cmd.Env().Time().LocalNow() : dateTime);
}

}  // namespace kv::scheduler
