// A group thread's pass: the run-time rules, the thread priority, then the run or the refresh.
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <exception>

#include "command_object/shared_objects.h"
#include "config/config.h"
#include "log/debug_log.h"
#include "platform/ole_date.h"
#include "scheduler/group_thread.h"
#include "scheduler/run_times.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler_supervisor.h"

namespace kv::scheduler {

using components::IZrScheduleGroup;

namespace {

constexpr double kSecondsPerDay = 86400.0;

uint32_t Tick(platform::Env& env) { return static_cast<uint32_t>(env.clock->MonotonicMs()); }

void ApplyPriority(pid_t tid, int priority) {
  // A refusal (no CAP_SYS_NICE for a lower nice value) leaves the thread as it is.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNiceOfPriority[priority + 2]);
}

template <class T>
T ReadOr(IZrScheduleGroup* g, com::HRESULT (IZrScheduleGroup::*get)(T*), T fallback) {
  T v{};
  return com::FAILED((g->*get)(&v)) ? fallback : v;
}

void LogFault(const std::string& group, const char* what) {
  g_DebugLog.Write("ScheduleGroupThread: the group ( " + group + " ) failed during its pass", what);
}

// The run itself, with the workspace context when the group is bound to the ODM workspace;
// whether the group executed.
bool Run(IZrScheduleGroup* g, const std::string& name, const SchedulerHooks& hooks) {
  g->SetStoreAndForward(g_bStoreAndForwardEnabled ? com::VARIANT_TRUE : com::VARIANT_FALSE);
  if (!g_bOdmWorkspaceSet) {
    g->Execute(com::Bstr());
    return true;
  }
  // ODM-bound groups run one at a time, under the lock the workspace settings live under.
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteScheduleCommand);
  com::Bstr context;
  if (!hooks.runWorkspace || !hooks.runWorkspace(com::Bstr::FromUtf8(name), &context)) return false;
  g->Execute(context);
  return true;
}

// Between runs: a refresh at most once a minute, forced on the first pass, once an hour and
// whenever the group's items changed (its ChangeStamp moved).
void RefreshIfTime(IZrScheduleGroup* g, ScheduleThreadInfo& e, uint32_t t, platform::Env& env) {
  bool force = false;
  if (e.lastFullRefreshTick == 0 || t - e.lastFullRefreshTick >= kFullRefreshEveryMs) {
    force = true;
    e.lastFullRefreshTick = t;
  }
  if (!force) {
    double s = ReadOr(g, &IZrScheduleGroup::GetChangeStamp, 0.0);
    if (s == 0.0 || s != e.lastStamp) {
      force = true;
      if (s == 0.0) {
        s = env.Time().NowUtc();
        g->PutChangeStamp(s);
      }
      e.lastStamp = s;
    }
  }
  if (force || e.lastRefreshTick == 0 || t - e.lastRefreshTick >= kRefreshEveryMs) {
    g->Refresh(g_bStoreAndForwardEnabled ? com::VARIANT_TRUE : com::VARIANT_FALSE, force ? 1 : 0);
    e.lastRefreshTick = t;
  }
}

void RecordRun(ScheduleThreadInfo& e, double due, double start, double next, double rate, long dayRule,
               double durationSec) {
  std::lock_guard lock(e.healthMu);
  GroupHealth& h = e.health;
  const double late = (start - due) * kSecondsPerDay;
  // The first run after the thread starts may catch up a time of up to a second ago (the
  // calendar works in whole seconds): the range covers the runs after it.
  if (h.runs == 1) {
    h.earliestSec = h.latestSec = late;
  } else if (h.runs > 1) {
    h.earliestSec = std::min(h.earliestSec, late);
    h.latestSec = std::max(h.latestSec, late);
  }
  ++h.runs;
  h.lastDue = due;
  h.lastStart = start;
  h.lastLatenessSec = late;
  h.lastDurationSec = durationSec;
  // A periodic group's due times between this one and the next were passed over.
  if (rate > 0.0 && dayRule == 0 && next > due) {
    const double steps = std::round((next - due) / std::max(rate, platform::kOneSecondDays));
    if (steps > 1.0 && steps < 1e12) h.missedRuns += static_cast<uint64_t>(steps) - 1;
  }
}

// Whether `group` is still the schedule's group of that name. A group taken out of the schedule
// by any path (a client's Remove on the collection included) must not run on.
bool StillScheduled(const std::string& name, IZrScheduleGroup* group) {
  com::ComPtr<IZrScheduleGroup> current;
  FindGroup(com::Bstr::FromUtf8(name), &current);
  return current.Get() == group;
}

// Asks the supervisor to stop this thread and drop its entry, as DeleteScheduleGroup does.
void RequestOwnDeletion(ScheduleThreadInfo& e) {
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSupervisorGroupsChanged);
    if (auto it = g_ScheduleThreads.find(e.name); it != g_ScheduleThreads.end() && it->second.get() == &e)
      e.deleteRequested = true;
  }
  GroupsChangedEvent().Set();
}

}  // namespace

double SchedulePass(IZrScheduleGroup* g, bool firstPass, ScheduleThreadInfo& e, platform::Env& env,
                    const SchedulerHooks& hooks) {
  const uint32_t t = Tick(env);
  if (TakeRunRequest(e.name)) firstPass = false;
  const platform::LocalTime time = env.Time();
  const double start = time.NowUtc();
  const double due = ReadOr(g, &IZrScheduleGroup::GetNextRunTimeUtc, 0.0);
  long priority = 0;
  bool isDue = false;
  const double next = ComputeRunTimes(time, g, firstPass, &priority, &isDue);
  {
    std::lock_guard lock(e.healthMu);
    ++e.health.passes;
  }

  const int p = priority >= -2 && priority <= 2 ? static_cast<int>(priority) : 0;
  if (p != e.currentPriority.load()) {
    e.currentPriority = p;
    if (pid_t tid = e.tid.load(); tid != 0) ApplyPriority(tid, p);
  }

  try {
    if (isDue) {
      e.lastFullRefreshTick = e.lastRefreshTick = t;
      const int64_t began = env.clock->MonotonicMs();
      // A run that fails is still a run that started (and maybe overran).
      auto record = [&] {
        const double rate = ReadOr(g, &IZrScheduleGroup::GetRate, 0.0);
        const long dayRule =
            ReadOr(g, &IZrScheduleGroup::GetDayOfMonth, 0L) | ReadOr(g, &IZrScheduleGroup::GetDayOfWeek, 0L);
        RecordRun(e, due, start, next, rate, dayRule, static_cast<double>(env.clock->MonotonicMs() - began) / 1000.0);
      };
      bool ran = false;
      try {
        ran = Run(g, e.name, hooks);
      } catch (...) {
        record();
        throw;
      }
      // A pass whose workspace could not be had executed nothing: it is not counted as a run.
      if (ran) record();
    } else {
      RefreshIfTime(g, e, t, env);
    }
  } catch (const std::exception& ex) {
    LogFault(e.name, ex.what());
    std::lock_guard lock(e.healthMu);
    ++e.health.faults;
  } catch (...) {
    LogFault(e.name, "unknown exception");
    std::lock_guard lock(e.healthMu);
    ++e.health.faults;
  }
  return next;
}

uint32_t GroupWaitMs(bool firstPass, double next, double nowUtc) {
  if (firstPass) return kFirstPassWaitMs;
  if (!(next > 0.0)) return kLongestWaitMs;
  const double d = next - nowUtc;
  if (d <= 0.0) return 0;
  // Compared as a double first: a next time far away must not overflow the conversion.
  const double ms = d * kSecondsPerDay * 1000.0 + kDueMarginMs;
  return ms >= kLongestWaitMs ? kLongestWaitMs : static_cast<uint32_t>(std::llround(ms));
}

void ScheduleGroupThread(const std::shared_ptr<ScheduleThreadInfo>& entry, platform::Env& env,
                         const SchedulerHooks& hooks) {
  if (hooks.threadInit) hooks.threadInit();
  ScheduleThreadInfo& e = *entry;
  e.tid = static_cast<pid_t>(gettid());
  const std::string name = e.name;
  if (g_DebugLog.IsOn(LogCategory::Steps))
    g_DebugLog.Write("----->>>> Schedule Group Thread Started:( " + name + " )", "");
  const com::ComPtr<components::IZrCalcEnvironment> calcEnv = g_pEnvironment;
  if (calcEnv) calcEnv->AttachThread();
  double next = 0.0;
  bool first = true;
  com::ComPtr<IZrScheduleGroup> group;
  FindGroup(com::Bstr::FromUtf8(name), &group);

  while (!e.stopRequested.load()) {
    uint32_t waitMs = GroupWaitMs(first, next, env.Time().NowUtc());
    if (e.wakeRequested.exchange(false)) waitMs = 0;
    // Any signal without a stop request is a wake (a late one from a wake already served is
    // harmless: one extra pass).
    if (waitMs > 0) e.wakeEvent.Wait(std::chrono::milliseconds(waitMs));
    if (e.stopRequested.load()) break;
    if (group && !StillScheduled(name, group.Get())) {
      if (g_DebugLog.IsOn(LogCategory::Steps))
        g_DebugLog.Write("----->>>> Schedule Group Removed:( " + name + " )", "");
      group = nullptr;
      next = 0.0;
      RequestOwnDeletion(e);
    }
    if (group) {
      e.wakeRequested = false;
      const int64_t began = env.clock->MonotonicMs();
      e.passCount.fetch_add(1);
      try {
        next = SchedulePass(group.Get(), first, e, env, hooks);
      } catch (const std::exception& ex) {
        // The run-time rules themselves failed: re-read the group after the longest wait.
        LogFault(name, ex.what());
        next = 0.0;
      } catch (...) {
        LogFault(name, "unknown exception");
        next = 0.0;
      }
      const int elapsed = static_cast<int>(env.clock->MonotonicMs() - began);
      e.lastPassMs = elapsed;
      try {
        if (group->PutExecutionTime(elapsed) != com::S_OK) next = 0.0;
      } catch (...) {
        next = 0.0;
      }
    }
    first = false;
  }

  if (calcEnv) calcEnv->DetachThread();
  group = nullptr;
  if (g_DebugLog.IsOn(LogCategory::Steps))
    g_DebugLog.Write("----->>>> Schedule Group Thread Exiting:( " + name + " )", "");
  e.ended.Set();
}

}  // namespace kv::scheduler
