#include "execution/group_hook.h"

#include "scheduler/schedule.h"
#include "scheduler/scheduler_supervisor.h"

namespace kv::execution {

bool MakeGroupDueNow(CCalcCmdBase&, const com::Bstr& name) {
  com::ComPtr<components::IZrScheduleGroup> group;
  if (scheduler::FindGroup(name, &group) != com::S_OK || !group) return false;
  // The group's run time is set without the scheduler's lock, as a group thread may hold it.
  scheduler::RunGroupNow(group.Get());
  return true;
}

bool IsScheduleGroup(const com::Bstr& name) {
  com::ComPtr<components::IZrScheduleGroup> group;
  return scheduler::FindGroup(name, &group) == com::S_OK && group;
}

}  // namespace kv::execution
