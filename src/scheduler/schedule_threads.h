#pragma once
// The table of schedule group threads: one entry per group thread, keyed by group name
// (compared exactly, so "Line1" and "line1" are two entries). The supervisor owns the table: it
// alone starts threads and removes entries. Commands add entries (startRequested) and mark them
// (deleteRequested); every read and write of the map, and of startRequested and
// deleteRequested, is made holding ScheduleLock.
//
// An entry is shared (std::shared_ptr) so that a group thread can keep its own entry alive until
// it has ended, even after the supervisor removed it from the map. The group thread writes its
// counters without the lock; the fields that others read meanwhile are atomic.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/sync.h"

namespace kv::scheduler {

struct ScheduleThreadInfo {
  explicit ScheduleThreadInfo(std::string groupName) : name(std::move(groupName)) {}
  ScheduleThreadInfo(const ScheduleThreadInfo&) = delete;
  ScheduleThreadInfo& operator=(const ScheduleThreadInfo&) = delete;

  const std::string name;
  // The group thread; not joinable until it is started.
  std::thread thread;
  // Auto-reset, created non-signalled: wakes the thread for a pass (wakeRequested set) or
  // stops it (wakeRequested clear).
  platform::Event wakeEvent{platform::Event::Reset::Auto};
  std::atomic<bool> deleteRequested{false};
  std::atomic<bool> startRequested{false};
  std::atomic<bool> wakeRequested{false};
  // Written by the group thread only.
  int currentPriority = 0;
  std::atomic<int> lastPassMs{0};
  std::string statusText;  // always empty; reported by the scheduler status
  std::atomic<uint16_t> passCount{0};  // wraps at 65536
  uint32_t lastRefreshTick = 0;        // 0 = never
  uint32_t lastFullRefreshTick = 0;    // 0 = never
  double lastStamp = 0;                // the ChangeStamp last seen
};

using ScheduleThreadTable = std::map<std::string, std::shared_ptr<ScheduleThreadInfo>>;

// Guarded by ScheduleLock (commands/shared_objects.h).
extern ScheduleThreadTable g_ScheduleThreads;

}  // namespace kv::scheduler
