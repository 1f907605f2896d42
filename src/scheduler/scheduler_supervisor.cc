#include "scheduler/scheduler_supervisor.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "command_object/shared_objects.h"
#include "log/debug_log.h"
#include "scheduler/group_thread.h"
#include "scheduler/schedule.h"

namespace kv::scheduler {

namespace {

// What the supervisor and its group threads share; held by each thread, so a thread that
// outlives the supervisor (one that would not stop) still has it.
struct Context {
  platform::Env* env;
  SchedulerHooks hooks;
};

struct GroupStart {
  std::shared_ptr<ScheduleThreadInfo> entry;
  std::shared_ptr<const Context> ctx;
};

void* GroupMain(void* arg) {
  std::unique_ptr<GroupStart> start(static_cast<GroupStart*>(arg));
  ScheduleGroupThread(start->entry, *start->ctx->env, start->ctx->hooks);
  return nullptr;
}

void StartGroupThread(const std::shared_ptr<ScheduleThreadInfo>& entry, const std::shared_ptr<const Context>& ctx) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kGroupThreadStackBytes);
  auto* start = new GroupStart{entry, ctx};
  const int rc = pthread_create(&entry->thread, &attr, GroupMain, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    g_DebugLog.Write("SchedulerSupervisor: cannot start the thread of group ( " + entry->name + " )", std::strerror(rc));
    return;
  }
  entry->started = true;
}

// Asks the entry's thread to end; call holding ScheduleLock.
void RequestStop(ScheduleThreadInfo& e) {
  e.wakeRequested = false;
  e.stopRequested = true;
  e.wakeEvent.Set();
}

// Waits (without ScheduleLock, which the thread may be waiting for) up to kStopWaitMs for each
// stopping thread; joins those that ended and hands back the others, still alive.
std::vector<std::shared_ptr<ScheduleThreadInfo>> AwaitStopped(std::vector<std::shared_ptr<ScheduleThreadInfo>> stopping) {
  std::vector<std::shared_ptr<ScheduleThreadInfo>> lingering;
  for (auto& e : stopping) {
    if (!e->started) continue;
    if (e->ended.Wait(std::chrono::milliseconds(kStopWaitMs))) {
      pthread_join(e->thread, nullptr);
      e->started = false;
    } else {
      g_DebugLog.Write("SchedulerSupervisor: the thread of group ( " + e->name + " ) did not stop within 10 s",
                       "it keeps its entry until it ends");
      lingering.push_back(std::move(e));
    }
  }
  return lingering;
}

void Reap(std::vector<std::shared_ptr<ScheduleThreadInfo>>* lingering) {
  std::erase_if(*lingering, [](const std::shared_ptr<ScheduleThreadInfo>& e) {
    if (!e->ended.IsSet()) return false;
    pthread_join(e->thread, nullptr);
    e->started = false;
    return true;
  });
}

void BuildTable(const std::shared_ptr<const Context>& ctx) {
  if (!g_pScheduleObject) return;
  long count = 0;
  g_pScheduleObject->Count(&count);
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSupervisorBuild);
  for (long i = 1; i <= count; ++i) {
    ComPtr<IZrScheduleGroup> group;
    GroupAt(i, &group);
    if (!group) continue;
    com::Bstr name;
    group->GetName(&name);
    group = nullptr;
    auto entry = std::make_shared<ScheduleThreadInfo>(name.ToUtf8(), *ctx->env->clock);
    g_ScheduleThreads[entry->name] = entry;
    if (g_DebugLog.IsOn(LogCategory::Steps)) g_DebugLog.Write("Initialized sched group pInfo.", "");
    StartGroupThread(entry, ctx);
  }
}

std::vector<std::shared_ptr<ScheduleThreadInfo>> HandleGroupsChanged(const std::shared_ptr<const Context>& ctx) {
  std::vector<std::shared_ptr<ScheduleThreadInfo>> stopping;
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSupervisorGroupsChanged);
    for (auto it = g_ScheduleThreads.begin(); it != g_ScheduleThreads.end();) {
      ScheduleThreadInfo& e = *it->second;
      if (e.startRequested.exchange(false) && !e.started) StartGroupThread(it->second, ctx);
      // Both at once (a group added and deleted before this pass): start, then stop, so the
      // entry does not linger until the next change and refuse the name meanwhile.
      if (e.deleteRequested.exchange(false)) {
        RequestStop(e);
        stopping.push_back(it->second);
        it = g_ScheduleThreads.erase(it);
        continue;
      }
      ++it;
    }
  }
  return AwaitStopped(std::move(stopping));
}

void WakeAll() {
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSupervisorWakeAll);
  for (auto& [name, e] : g_ScheduleThreads) {
    e->wakeRequested = true;
    e->wakeEvent.Set();
  }
}

void Shutdown(std::vector<std::shared_ptr<ScheduleThreadInfo>> lingering) {
  std::vector<std::shared_ptr<ScheduleThreadInfo>> stopping;
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSupervisorShutdown);
    for (auto& [name, e] : g_ScheduleThreads) {
      RequestStop(*e);
      stopping.push_back(e);
    }
    g_ScheduleThreads.clear();
  }
  // Every thread got its stop first, so they end together rather than one after another.
  stopping.insert(stopping.end(), lingering.begin(), lingering.end());
  for (auto& e : AwaitStopped(std::move(stopping))) {
    g_DebugLog.Write("SchedulerSupervisor: detaching the thread of group ( " + e->name + " ) at shutdown", "");
    pthread_detach(e->thread);
  }
}

void SchedulerSupervisor(const std::shared_ptr<const Context>& ctx) {
  if (ctx->hooks.threadInit) ctx->hooks.threadInit();
  { platform::TrackedLock::Scope probe(ScheduleLock(), kSiteSupervisorProbe); }
  BuildTable(ctx);
  std::vector<std::shared_ptr<ScheduleThreadInfo>> lingering;
  platform::Event* const events[] = {&StopEvent(), &GroupsChangedEvent(), &ExecuteItemEvent()};
  for (;;) {
    const int which = platform::WaitAny(events, 3, std::chrono::milliseconds(kSupervisorPollMs), *ctx->env->clock);
    if (which == 0) break;
    if (which == 1) {
      auto still = HandleGroupsChanged(ctx);
      lingering.insert(lingering.end(), still.begin(), still.end());
    } else if (which == 2) {
      WakeAll();
    }
    Reap(&lingering);
  }
  Shutdown(std::move(lingering));
}

std::mutex g_supervisorMu;
std::unique_ptr<std::thread> g_supervisor;  // guarded by g_supervisorMu

}  // namespace

platform::Event& StopEvent() {
  static platform::Event event(platform::Event::Reset::Auto);
  return event;
}
platform::Event& GroupsChangedEvent() {
  static platform::Event event(platform::Event::Reset::Auto);
  return event;
}
platform::Event& ExecuteItemEvent() {
  static platform::Event event(platform::Event::Reset::Auto);
  return event;
}

bool StartSchedulerSupervisor(platform::Env& env, SchedulerHooks hooks) {
  std::lock_guard lock(g_supervisorMu);
  if (g_supervisor) return false;
  StopEvent().ResetEvent();
  // A process that ends without StopSchedulerSupervisor (a server that could not serve) stops
  // the threads before the objects they use are destroyed: registered after those exist.
  GroupsChangedEvent();
  ExecuteItemEvent();
  ScheduleLock();
  static const bool atExit = std::atexit([] { StopSchedulerSupervisor(); }) == 0;
  (void)atExit;
  auto ctx = std::make_shared<const Context>(Context{&env, std::move(hooks)});
  g_supervisor = std::make_unique<std::thread>([ctx] { SchedulerSupervisor(ctx); });
  return true;
}

void StopSchedulerSupervisor() {
  std::lock_guard lock(g_supervisorMu);
  if (!g_supervisor) return;
  StopEvent().Set();
  g_supervisor->join();
  g_supervisor.reset();
}

namespace {
// Its own small lock: RunGroupNow runs without ScheduleLock, which a group thread may hold.
std::mutex g_runRequestsMu;
std::set<std::string> g_runRequests;
}  // namespace

bool TakeRunRequest(const std::string& groupName) {
  std::lock_guard lock(g_runRequestsMu);
  return g_runRequests.erase(groupName) != 0;
}

com::HRESULT RunGroupNow(IZrScheduleGroup* group, platform::Env& env) {
  if (!group) return com::E_POINTER;
  if (com::Bstr name; com::SUCCEEDED(group->GetName(&name))) {
    std::lock_guard lock(g_runRequestsMu);
    g_runRequests.insert(name.ToUtf8());
  }
  const platform::LocalTime time = env.Time();
  const double now = time.LocalNow();
  const com::HRESULT local = group->PutNextRunTime(now);
  const com::HRESULT utc = group->PutNextRunTimeUtc(time.LocalToUtc(now));
  ExecuteItemEvent().Set();
  return com::FAILED(local) ? local : utc;
}

std::vector<GroupHealthRow> SchedulerHealth() {
  std::vector<GroupHealthRow> rows;
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSchedulerStatus);
  for (const auto& [name, e] : g_ScheduleThreads) {
    GroupHealthRow row;
    row.name = name;
    row.health = e->Health();
    ComPtr<IZrScheduleGroup> group;
    if (FindGroup(com::Bstr::FromUtf8(name), &group) == com::S_OK) {
      double rate = 0;
      group->GetRate(&rate);
      row.rateSeconds = rate * 86400.0;
      group->GetNextRunTimeUtc(&row.nextRunUtc);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<ItemHealthRow> SchedulerItemHealth(const platform::LocalTime& time) {
  std::vector<ItemHealthRow> rows;
  platform::TrackedLock::Scope lock(ScheduleLock(), kSiteSchedulerStatus);
  for (const auto& [name, e] : g_ScheduleThreads) {
    ComPtr<IZrScheduleGroup> group;
    ComPtr<components::IZrCollection> items;
    if (FindGroup(com::Bstr::FromUtf8(name), &group) != com::S_OK || com::FAILED(group->Items(&items)) || !items)
      continue;
    long count = 0;
    items->Count(&count);
    for (long i = 1; i <= count; ++i) {
      ComPtr<com::IDispatch> item;
      if (com::FAILED(items->ItemAt(i, &item)) || !item) continue;
      auto read = [&](const char* property) {
        com::Variant v;
        com::GetProperty(item.Get(), property, &v);
        return v;
      };
      auto number = [&](const char* property) {
        com::Variant v;
        return com::SUCCEEDED(com::ChangeType(read(property), com::VT_R8, &v)) ? v.r8() : 0.0;
      };
      auto text = [&](const char* property) {
        const com::Variant v = read(property);
        return v.vt() == com::VT_BSTR ? v.bstr().ToUtf8() : std::string();
      };
      ItemHealthRow row;
      row.group = name;
      row.calculation = text("Name");
      row.runs = static_cast<uint64_t>(number("Runs"));
      row.failures = static_cast<uint64_t>(number("Failures"));
      row.level = static_cast<int32_t>(number("LastLevel"));
      row.status = text("LastStatus");
      row.errorText = text("ErrorText");
      const double local = number("LastRunTime");
      row.lastRunUtc = local > 0.0 ? time.LocalToUtc(local) : 0.0;
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

}  // namespace kv::scheduler
