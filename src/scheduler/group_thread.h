#pragma once
// The routine of a schedule group thread; started only by the supervisor.
#include <cstdint>
#include <memory>

#include "platform/env.h"
#include "scheduler/schedule_threads.h"

namespace kv::scheduler {

struct SchedulerHooks;

// How long the thread sleeps before its next pass: 100 ms before the first; 5000 ms when the
// group has no next time; else until `next` (UTC) plus 100 ms, at most 5000 ms, 0 when it is due.
uint32_t GroupWaitMs(bool firstPass, double next, double nowUtc);

// Runs passes until the entry's stop request; sets entry->ended last. Exceptions from a pass
// end that pass only.
void ScheduleGroupThread(const std::shared_ptr<ScheduleThreadInfo>& entry, platform::Env& env,
                         const SchedulerHooks& hooks);

}  // namespace kv::scheduler
