#pragma once
// Where ExecuteItem reaches the scheduler: making a schedule group due at once.
#include "com/bstr.h"

namespace kv {
class CCalcCmdBase;
}  // namespace kv

namespace kv::execution {

// When the schedule holds a group named `name`: sets its next run time to now (local time),
// wakes the schedule threads and returns true. False when there is no such group.
bool MakeGroupDueNow(CCalcCmdBase& cmd, const com::Bstr& name);
// Whether the schedule holds a group named `name`.
bool IsScheduleGroup(const com::Bstr& name);

}  // namespace kv::execution
