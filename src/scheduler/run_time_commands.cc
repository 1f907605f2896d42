// The commands that expose the run-time rules.
#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "commands/shared_objects.h"
#include "platform/env.h"
#include "scheduler/run_times.h"
#include "scheduler/schedule.h"

namespace kv {

using components::IZrScheduleGroup;

bool CCalcCmdBase::RequireScheduleGroup(const Bstr& groupName, ComPtr<IZrScheduleGroup>* group) {
  if (!g_pScheduleObject) {
    SetCommandError(CMDERR_SCHEDULE_NOT_FOUND);
    return false;
  }
  if (scheduler::FindGroup(groupName, group) != com::S_OK) {
    SetCommandError(CMDERR_INVALID_SCHEDULE_GROUP);
    return false;
  }
  return true;
}

bool CCalcCmdBase::ComputeNewRunTime(const Bstr& groupName, double* newRunTime) {
  ResetLastError();
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(groupName, &group)) return false;
  double rate = 0, offset = 0;
  long dayOfMonth = 0, dayOfWeek = 0;
  if (com::FAILED(group->GetRate(&rate)) || com::FAILED(group->GetOffset(&offset)) ||
      com::FAILED(group->GetDayOfMonth(&dayOfMonth)) || com::FAILED(group->GetDayOfWeek(&dayOfWeek))) {
    SetCommandError(CMDERR_CDB_FIELD_ACCESS);
    return false;
  }
  const platform::LocalTime time = Env().Time();
  const double t = scheduler::ComputeNextStartTime(rate, offset, dayOfMonth, dayOfWeek, time.LocalNow());
  if (newRunTime) *newRunTime = t;
  group->PutComputedRunTime(t > 0.0 ? time.LocalToUtc(t) : t);
  scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  return true;
}

double CCalcCmdBase::ComputeNextStartTime(double rate, double offset, long dayOfMonth, long dayOfWeek) {
  return scheduler::ComputeNextStartTime(rate, offset, dayOfMonth, dayOfWeek, Env().Time().LocalNow());
}

bool CCalcCmdBase::SetComputedRunTime(const Bstr& groupName, double newTime) {
  ResetLastError();
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(groupName, &group)) return false;
  if (com::FAILED(group->PutComputedRunTime(newTime > 0.0 ? Env().Time().LocalToUtc(newTime) : newTime))) {
    SetCommandError(CMDERR_CDB_FIELD_ACCESS);
    return false;
  }
  scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  return true;
}

bool CCalcCmdBase::GetScheduleExecutionTime(const Bstr& groupName, long* executionTime) {
  ResetLastError();
  *executionTime = -1;
  ComPtr<IZrScheduleGroup> group;
  if (!RequireScheduleGroup(groupName, &group)) return false;
  if (com::FAILED(group->GetExecutionTime(executionTime))) {
    SetCommandError(CMDERR_CDB_FIELD_ACCESS);
    return false;
  }
  return true;
}

double CCalcCmdBase::GetServerGmtOffset(double dateTime) {
  return scheduler::GmtOffsetDays(*Env().zone, dateTime == 0.0 ? Env().Time().LocalNow() : dateTime);
}

}  // namespace kv
