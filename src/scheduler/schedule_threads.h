#pragma once
// The table of schedule group threads: one entry per group thread, keyed by group name
// (compared exactly, so "Line1" and "line1" are two entries). The supervisor owns the table: it
// alone starts threads and removes entries. Commands add entries (startRequested) and mark them
// (deleteRequested); every read and write of the map, and of startRequested and
// deleteRequested, is made holding ScheduleLock.
//
// An entry is shared (std::shared_ptr) so that a group thread keeps its own entry alive until
// it has ended, even after the supervisor removed it from the map. The group thread writes its
// counters without the lock; the fields that others read meanwhile are atomic or guarded by
// the entry's own health mutex.
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/env.h"
#include "platform/sync.h"

namespace kv::scheduler {

// What a group thread keeps about its runs, for admins (all times UTC OLE dates, 0 = never).
struct GroupHealth {
  double lastDue = 0;         // the due time of the last run
  double lastStart = 0;       // when the last run started
  double lastLatenessSec = 0; // lastStart - lastDue, in seconds
  double lastDurationSec = 0; // how long the last run's Execute took
  uint64_t passes = 0;
  uint64_t runs = 0;
  uint64_t missedRuns = 0;    // due times that passed without a run (a run overran, say)
  uint64_t faults = 0;        // passes ended by an exception from the group component
  // Lateness over every run after the thread's first, in seconds (0 until there is one): the
  // first run may catch up a time up to a second ago, as the calendar works in whole seconds.
  double earliestSec = 0, latestSec = 0;
};

struct ScheduleThreadInfo {
  explicit ScheduleThreadInfo(std::string groupName,
                              platform::Clock& clock = *platform::Env::Current().clock)
      : name(std::move(groupName)), wakeEvent(platform::Event::Reset::Auto, false, clock),
        ended(platform::Event::Reset::Manual, false, clock) {}
  ScheduleThreadInfo(const ScheduleThreadInfo&) = delete;
  ScheduleThreadInfo& operator=(const ScheduleThreadInfo&) = delete;

  const std::string name;
  // The group thread (started by the supervisor only); `started` tells whether it exists.
  pthread_t thread{};
  std::atomic<bool> started{false};
  // The kernel's id of the group thread, for its priority; 0 until it runs.
  std::atomic<pid_t> tid{0};
  // Auto-reset, created non-signalled: wakes the thread for a pass (wakeRequested set) or
  // stops it (wakeRequested clear).
  platform::Event wakeEvent;
  // Set by the group thread as the last thing it does; the supervisor waits on it.
  platform::Event ended;
  std::atomic<bool> deleteRequested{false};
  std::atomic<bool> startRequested{false};
  std::atomic<bool> wakeRequested{false};
  // Set before the stop signal: a signal that raced with a wake can then never be read as a
  // stop, nor a stop be eaten by a wake.
  std::atomic<bool> stopRequested{false};
  // Written by the group thread only.
  std::atomic<int> currentPriority{0};
  std::atomic<int> lastPassMs{0};
  std::string statusText;  // always empty; reported by the scheduler status
  std::atomic<uint16_t> passCount{0};  // wraps at 65536
  uint32_t lastRefreshTick = 0;        // 0 = never
  uint32_t lastFullRefreshTick = 0;    // 0 = never
  double lastStamp = 0;                // the ChangeStamp last seen

  mutable std::mutex healthMu;
  GroupHealth health;  // guarded by healthMu
  GroupHealth Health() const {
    std::lock_guard lock(healthMu);
    return health;
  }
};

using ScheduleThreadTable = std::map<std::string, std::shared_ptr<ScheduleThreadInfo>>;

// Guarded by ScheduleLock (command_object/shared_objects.h).
extern ScheduleThreadTable g_ScheduleThreads;

}  // namespace kv::scheduler
