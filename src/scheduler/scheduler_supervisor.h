#pragma once
// The schedule supervisor and the group threads. The supervisor starts one thread per group of
// g_pScheduleObject, starts and stops threads as commands add and delete groups, wakes every
// thread on ExecuteItemEvent, and stops them all on StopEvent. Each group thread sleeps until
// its group's next run time (at most 5 s at a time), then makes a pass: it applies the group's
// priority to itself, asks the run-time rules (run_times.h) whether the group is due, and runs
// it (Execute) or refreshes it now and then.
//
// Start-up and shutdown: the service host calls StartSchedulerSupervisor once after
// GetScheduleObject, and at shutdown saves the schedule and then calls StopSchedulerSupervisor,
// which signals StopEvent and returns when the supervisor has ended. Every group thread has
// ended by then, except one that did not stop within 10 s of its stop signal: that one is
// logged and detached, and keeps its own table entry alive until it ends.
//
// Thread priorities: a group's Priority -2..2 is applied to its thread as a nice value
// (kNiceOfPriority); a value outside -2..2 means normal (0). Without CAP_SYS_NICE the kernel
// refuses a nice value below the thread's current one; the refusal is ignored and the thread
// keeps the lower priority it has.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/bstr.h"
#include "components/schedule_components.h"
#include "platform/env.h"
#include "platform/sync.h"
#include "scheduler/schedule_threads.h"

namespace kv::scheduler {

// Nice values of the priorities -2 (lowest) .. 2 (highest).
inline constexpr int kNiceOfPriority[5] = {10, 5, 0, -5, -10};
// Stack size of a group thread: room for a calculation's script and XML work, small enough
// that a thousand groups cost little address space (untouched stack pages cost no memory).
inline constexpr size_t kGroupThreadStackBytes = 256 * 1024;

// Wait constants, in milliseconds.
inline constexpr int kFirstPassWaitMs = 100;
inline constexpr int kLongestWaitMs = 5000;
inline constexpr int kDueMarginMs = 100;
inline constexpr int kSupervisorPollMs = 1000;
inline constexpr int kStopWaitMs = 10000;
inline constexpr uint32_t kRefreshEveryMs = 60000;
inline constexpr uint32_t kFullRefreshEveryMs = 3600000;

// The three events the supervisor waits for, in this order. Process-wide; each Set is one
// request (auto-reset).
platform::Event& StopEvent();
platform::Event& GroupsChangedEvent();
platform::Event& ExecuteItemEvent();

struct SchedulerHooks {
  // Called first on the supervisor and on every group thread (the machine-fault translator).
  void (*threadInit)() = nullptr;
  // The workspace service of a group bound to the ODM workspace: the context string to run
  // `groupName` with on this computer. Called holding ScheduleLock. Empty, or false: the service
  // cannot be had and the group is not executed in that pass.
  std::function<bool(const com::Bstr& groupName, com::Bstr* context)> runWorkspace;
};

// Starts the supervisor thread over `env` (clock and zone of every wait and run time). False
// when one is already running.
bool StartSchedulerSupervisor(platform::Env& env = platform::Env::Current(), SchedulerHooks hooks = {});
// Signals StopEvent and waits for the supervisor to end; nothing when none runs.
void StopSchedulerSupervisor();

// ExecuteItem's hook for a group: sets its NextRunTime to LocalNow and its NextRunTimeUtc to
// that in UTC, and signals ExecuteItemEvent, so every thread makes a pass at once and this
// group, now due, runs. The results of the two puts; a null group gives E_POINTER.
com::HRESULT RunGroupNow(components::IZrScheduleGroup* group, platform::Env& env = platform::Env::Current());

// Whether RunGroupNow asked for a run of `groupName` since the last time this was asked; clears
// the request. A group thread asks on every pass: on its first pass, which would otherwise take
// the time RunGroupNow set for a stale one, a request makes the pass an ordinary one, so a group
// made due before its thread's first pass still runs.
bool TakeRunRequest(const std::string& groupName);

// The health of each group thread, in table order, for admins.
struct GroupHealthRow {
  std::string name;
  double rateSeconds = 0;
  double nextRunUtc = 0;  // OLE date
  GroupHealth health;
};
std::vector<GroupHealthRow> SchedulerHealth();

// How each scheduled calculation's runs went, group by group in table order: what the group's
// items answer ("Runs", "Failures", "LastLevel", "LastStatus", "ErrorText", "LastRunTime").
struct ItemHealthRow {
  std::string group, calculation;
  uint64_t runs = 0, failures = 0;
  int32_t level = 0;
  std::string status, errorText;
  double lastRunUtc = 0;  // OLE date; 0 never
};
std::vector<ItemHealthRow> SchedulerItemHealth(const platform::LocalTime& time);

// One pass of a group thread (exposed for tests; the thread calls it): the run-time rules, the
// priority, and the run or the refresh. Returns the next run time in UTC that sizes the wait.
// An exception from the group's Execute, Refresh or SetStoreAndForward ends the pass (logged
// with the group name and counted in the health) and is not passed on.
double SchedulePass(components::IZrScheduleGroup* group, bool firstPass, ScheduleThreadInfo& entry,
                    platform::Env& env, const SchedulerHooks& hooks);

}  // namespace kv::scheduler
