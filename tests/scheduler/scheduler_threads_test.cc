// The supervisor and the group threads on the fixed clock: the test moves time, so every wait
// ends when the test says; conditions that depend on other threads are awaited, never slept on.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/error_codes.h"
#include "command_object/calc_cmd_base.h"
#include "config/config.h"
#include "engine/schedule_group.h"
#include "log/debug_log.h"
#include "log/log_file.h"
#include "platform/path.h"
#include "scheduler/group_thread.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler_supervisor.h"
#include "service/fault_translator.h"
#include "schedule_test_util.h"
#include "scheduler/schedule_commands.h"

namespace kv::scheduler::testing {
namespace {

// A group whose runs and refreshes are recorded and whose Execute can throw or block.
class FakeGroup : public engine::ZrScheduleGroup {
 public:
  // The deliberate null read below must reach the fault translator under UBSan too.
  __attribute__((no_sanitize("undefined"))) HRESULT Execute(const Bstr& context) override {
    std::unique_lock lock(mu);
    contexts.push_back(context.IsNull() ? "<null>" : context.ToUtf8());
    lockHolderDuringRun = ScheduleLock().LockCount() > 0 ? ScheduleLock().Holder() : 0;
    ++running;
    changed.notify_all();
    changed.wait(lock, [&] { return !block; });
    --running;
    if (throwNext) throw std::runtime_error("group fault");
    if (faultNext) {
      faultNext = false;
      volatile int* p = nullptr;
      return *p;  // a machine fault inside the component
    }
    return com::S_OK;
  }
  HRESULT Refresh(com::VARIANT_BOOL sf, int16_t force) override {
    std::lock_guard lock(mu);
    refreshes.push_back(force);
    return com::S_OK;
  }
  void Unblock() {
    std::lock_guard lock(mu);
    block = false;
    changed.notify_all();
  }
  void AwaitRunning() {
    std::unique_lock lock(mu);
    changed.wait(lock, [&] { return running > 0; });
  }

  std::mutex mu;
  std::condition_variable changed;
  std::vector<std::string> contexts;
  std::vector<int> refreshes;
  int32_t lockHolderDuringRun = 0;
  int running = 0;
  bool block = false, throwNext = false, faultNext = false;
};

// A date made from whole calendar fields, as the run-time rules make theirs (compared exactly).
double Exact(int year, int month, int day, int hour, int minute, int second) {
  double date = 0;
  EXPECT_TRUE(platform::MakeDate(year, month, day, hour, minute, second, &date));
  return date;
}

// Waits (in real time, up to a minute) for a condition another thread brings about.
void Eventually(const std::function<bool()>& done, const char* what) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "never happened: " << what;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::shared_ptr<ScheduleThreadInfo> Entry(const std::string& name) {
  platform::TrackedLock::Scope lock(ScheduleLock(), 0);
  auto it = g_ScheduleThreads.find(name);
  return it == g_ScheduleThreads.end() ? nullptr : it->second;
}

class SupervisorTest : public ScheduleFixture {
 protected:
  void SetUp() override {
    ScheduleFixture::SetUp();
    g_DebugLog.ResetForTest();
    g_DebugLog.Init(env_.env(), static_cast<int>(LogKind::Kelvarin), "", "test");
    g_DebugLog.SetCategory(LogCategory::Steps, true);
    cmd_.m_accessMode = CCalcCmdBase::kAccessApplication;  // the gate is tested elsewhere
    SetNowUtc(At(2025, 1, 15, 10, 0, 2));                 // 05:00:02 local
  }
  void TearDown() override {
    StopSchedulerSupervisor();
    g_bOdmWorkspaceSet = false;
    g_DebugLog.ResetForTest();
    ScheduleFixture::TearDown();
  }

  void Start(SchedulerHooks hooks = {}) { ASSERT_TRUE(StartSchedulerSupervisor(env_.env(), std::move(hooks))); }
  // Every thread (the supervisor and `groups` group threads) waits on the clock at its time.
  void Settle(size_t groups) { env_.clock().AwaitBlockedWaiters(groups + 1); }
  void Advance(int64_t ms, size_t groups) {
    env_.clock().Advance(ms);
    Settle(groups);
  }
  void UseSchedule() { ASSERT_EQ(NewCollection(&g_pScheduleObject), com::S_OK); }
  ComPtr<FakeGroup> AddFake(const char* name, double rateSeconds) {
    auto g = com::MakeCom<FakeGroup>();
    g->PutName(Bstr::FromUtf8(name));
    g->PutRate(rateSeconds * kSecond);
    g->PutNextRunTime(1.0);
    g->PutNextRunTimeUtc(1.0);
    EXPECT_EQ(g_pScheduleObject->Add(Bstr::FromUtf8(name), com::QueryInterface<IDispatch>(g).Get()), com::S_OK);
    return g;
  }
  ComPtr<IZrScheduleGroup> Group(const char* name) {
    ComPtr<IZrScheduleGroup> g;
    FindGroup(Bstr::FromUtf8(name), &g);
    return g;
  }
  std::vector<std::string> LogMessages() {
    std::vector<std::string> out;
    for (const auto& line : kv::testing::ReadLogLines(platform::ToFsPath(g_DebugLog.FilePath())))
      out.push_back(kv::testing::MessageOf(line));
    return out;
  }
  bool Logged(const std::string& message) {
    for (const auto& m : LogMessages())
      if (m.find(message) != std::string::npos) return true;
    return false;
  }

  ZrCalcCmdObject cmd_;
};

TEST_F(SupervisorTest, DefaultGroupsGetAThreadEachFirstPassOnlyRecomputesThenTheDueGroupRuns) {
  GetScheduleObject();
  Start();
  Settle(5);
  for (const DefaultGroup& d : kDefaultGroups) {
    auto e = Entry(d.name);
    ASSERT_TRUE(e) << d.name;
    EXPECT_TRUE(e->started);
  }
  Advance(100, 5);  // the first passes, at 10:00:02.100
  struct Next {
    const char* name;
    double utc;
  } firsts[] = {
      {"FiveSec", Exact(2025, 1, 15, 10, 0, 5)},  {"FifteenSec", Exact(2025, 1, 15, 10, 0, 15)},
      {"OneMinute", At(2025, 1, 15, 10, 1)},   {"OneHour", At(2025, 1, 15, 11, 0)},
      {"OneDay", At(2025, 1, 16, 5, 0)},
  };
  for (const Next& n : firsts) {
    SCOPED_TRACE(n.name);
    EXPECT_EQ(ReadGroup(Group(n.name).Get()).nextRunTimeUtc, n.utc);
    const GroupHealth h = Entry(n.name)->Health();
    EXPECT_EQ(h.passes, 1u);
    EXPECT_EQ(h.runs, 0u);
  }
  // FiveSec's wait ends 100 ms after its time; only it passes, and it runs.
  Advance(3000, 5);
  const GroupHealth five = Entry("FiveSec")->Health();
  EXPECT_EQ(five.runs, 1u);
  EXPECT_NEAR(five.lastLatenessSec, 0.1, 1e-6);
  EXPECT_EQ(five.missedRuns, 0u);
  EXPECT_EQ(ReadGroup(Group("FiveSec").Get()).nextRunTimeUtc, Exact(2025, 1, 15, 10, 0, 10));
  EXPECT_EQ(Entry("FifteenSec")->Health().passes, 1u);
  EXPECT_TRUE(Logged("----->>>> Schedule Group Thread Started:( OneDay )"));
  EXPECT_TRUE(Logged("Initialized sched group pInfo."));
}

TEST_F(SupervisorTest, DeleteStopsTheThreadAndAddStartsOne) {
  GetScheduleObject();
  Start();
  Settle(5);
  ASSERT_TRUE(scheduler::DeleteScheduleGroup(cmd_, Bstr::FromUtf8("FiveSec"), false));
  Eventually([] { return !Entry("FiveSec"); }, "the entry is removed");
  Eventually([&] { return Logged("----->>>> Schedule Group Thread Exiting:( FiveSec )"); }, "the thread ends");

  ASSERT_TRUE(scheduler::AddScheduleGroup(cmd_, Bstr::FromUtf8("Line1"), 2 * kSecond, 0, 0, 0));
  Eventually([] { return Entry("Line1") && Entry("Line1")->started; }, "the thread starts");
  // The same name again: the group object is added and saved, the thread table refuses it.
  EXPECT_FALSE(scheduler::AddScheduleGroup(cmd_, Bstr::FromUtf8("Line1"), 2 * kSecond, 0, 0, 0));
  EXPECT_EQ(cmd_.m_lastError, CMDERR_NAME_EXISTS);
}

// A group taken out of the schedule by another path than DeleteScheduleGroup (a client's Remove
// on the collection GetScheduleObject hands out) runs no more: its thread ends and its entry goes.
TEST_F(SupervisorTest, AGroupRemovedFromTheCollectionStopsItsThread) {
  GetScheduleObject();
  Start();
  Settle(5);
  Advance(100, 5);  // the first passes
  ASSERT_EQ(g_pScheduleObject->Remove(Bstr::FromUtf8("FiveSec")), com::S_OK);
  env_.clock().Advance(5000);  // past FiveSec's next run time
  Eventually([] { return !Entry("FiveSec"); }, "the entry is removed");
  Eventually([&] { return Logged("----->>>> Schedule Group Thread Exiting:( FiveSec )"); }, "the thread ends");
  EXPECT_TRUE(Logged("----->>>> Schedule Group Removed:( FiveSec )"));
  EXPECT_TRUE(Entry("FifteenSec"));
  // The name is free for a new group, which gets a thread of its own.
  ASSERT_TRUE(scheduler::AddScheduleGroup(cmd_, Bstr::FromUtf8("FiveSec"), 5 * kSecond, 0, 0, 0));
  Eventually([] { return Entry("FiveSec") && Entry("FiveSec")->started; }, "the new group gets a thread");
  EXPECT_EQ(Entry("FiveSec")->Health().runs, 0u);
}

// Added and deleted before the supervisor looks: the entry goes at once, so the name is free.
TEST_F(SupervisorTest, AGroupAddedAndDeletedInOneGoLeavesNoEntry) {
  UseSchedule();
  Start();
  Settle(0);
  {
    platform::TrackedLock::Scope hold(ScheduleLock(), 0);  // the supervisor sees both requests together
    ASSERT_TRUE(scheduler::AddScheduleGroup(cmd_, Bstr::FromUtf8("X"), kSecond, 0, 0, 0));
    ASSERT_TRUE(scheduler::DeleteScheduleGroup(cmd_, Bstr::FromUtf8("X"), false));
  }
  Eventually([] { return !Entry("X"); }, "the entry is removed");
  ASSERT_TRUE(scheduler::AddScheduleGroup(cmd_, Bstr::FromUtf8("X"), kSecond, 0, 0, 0));
  Eventually([] { return Entry("X") && Entry("X")->started; }, "the new group gets a thread");
}

TEST_F(SupervisorTest, ExecuteItemWakesEveryThreadAndOnlyTheDueGroupRuns) {
  GetScheduleObject();
  Start();
  Settle(5);
  Advance(100, 5);
  ASSERT_EQ(RunGroupNow(Group("OneHour").Get(), env_.env()), com::S_OK);
  Eventually(
      [] {
        for (const DefaultGroup& d : kDefaultGroups)
          if (Entry(d.name)->Health().passes != 2) return false;
        return true;
      },
      "every thread passes once more");
  for (const DefaultGroup& d : kDefaultGroups)
    EXPECT_EQ(Entry(d.name)->Health().runs, std::string(d.name) == "OneHour" ? 1u : 0u) << d.name;
  EXPECT_EQ(ReadGroup(Group("OneHour").Get()).nextRunTimeUtc, At(2025, 1, 15, 11, 0));
}

// ExecuteItem on a group whose thread has not made its first pass: that pass would take the time
// ExecuteItem set for a stale one; it runs the group instead.
TEST_F(SupervisorTest, AGroupMadeDueBeforeItsFirstPassRuns) {
  UseSchedule();
  Start();
  Settle(0);
  ASSERT_TRUE(scheduler::AddScheduleGroup(cmd_, Bstr::FromUtf8("New"), kHour, 0, 0, 0));
  ASSERT_EQ(RunGroupNow(Group("New").Get(), env_.env()), com::S_OK);
  Eventually([] { return Entry("New") && Entry("New")->started; }, "the new group gets a thread");
  Settle(1);
  env_.clock().Advance(100);  // its first pass, unless ExecuteItem's wake made it already
  Eventually([] { return Entry("New")->Health().runs == 1; }, "the group runs");
}

TEST_F(SupervisorTest, PriorityIsAppliedToTheThreadAndOutOfRangeMeansNormal) {
  UseSchedule();
  auto g = AddFake("P", 3600);
  g->PutPriority(7);
  Start();
  Settle(1);
  Advance(100, 1);
  auto e = Entry("P");
  const int inherited = getpriority(PRIO_PROCESS, 0);
  EXPECT_EQ(e->currentPriority.load(), 0);
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(e->tid.load())), inherited);
  g->PutPriority(-2);
  ExecuteItemEvent().Set();
  Eventually([&] { return e->Health().passes == 2; }, "the pass after the wake");
  EXPECT_EQ(e->currentPriority.load(), -2);
  // Raising the nice value needs no privilege (unless it is higher already).
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(e->tid.load())), std::max(inherited, kNiceOfPriority[0]));
}

TEST_F(SupervisorTest, AThrowingOrFaultingGroupKeepsItsThread) {
  UseSchedule();
  auto g = AddFake("Bad", 3600);
  Start({.threadInit = InstallFaultTranslator});
  Settle(1);
  Advance(100, 1);
  auto e = Entry("Bad");
  g->throwNext = true;
  ASSERT_EQ(RunGroupNow(g.Get(), env_.env()), com::S_OK);
  Eventually([&] { return e->Health().faults == 1; }, "the throwing run");
  g->throwNext = false;
  g->faultNext = true;
  ASSERT_EQ(RunGroupNow(g.Get(), env_.env()), com::S_OK);
  Eventually([&] { return e->Health().faults == 2; }, "the faulting run");
  EXPECT_FALSE(e->ended.IsSet());
  EXPECT_TRUE(Logged("ScheduleGroupThread: the group ( Bad ) failed during its pass"));
  ASSERT_EQ(RunGroupNow(g.Get(), env_.env()), com::S_OK);
  Eventually([&] { return e->Health().runs == 3; }, "a clean run");
  EXPECT_EQ(e->Health().faults, 2u);
}

// The supervisor waits 10 s for a stopping thread without holding ScheduleLock, then goes on;
// the thread, still in its run, works on its own entry, which lives until the thread ends.
TEST_F(SupervisorTest, AThreadThatWillNotStopKeepsItsEntryUntilItEnds) {
  UseSchedule();
  auto g = AddFake("Slow", 3600);
  g->block = true;
  Start();
  Settle(1);
  Advance(100, 1);
  auto e = Entry("Slow");
  ASSERT_EQ(RunGroupNow(g.Get(), env_.env()), com::S_OK);
  g->AwaitRunning();
  ASSERT_TRUE(scheduler::DeleteScheduleGroup(cmd_, Bstr::FromUtf8("Slow"), false));
  Eventually([] { return !Entry("Slow"); }, "the entry leaves the table");
  env_.clock().AwaitBlockedWaiters(1);  // the supervisor waiting for the thread
  Variant status;
  scheduler::GetSchedulerStatus(cmd_, &status);  // the lock is free meanwhile
  env_.clock().Advance(kStopWaitMs);
  Eventually([&] { return Logged("did not stop within 10 s"); }, "the supervisor gives up waiting");
  EXPECT_FALSE(e->ended.IsSet());
  g->Unblock();
  Eventually([&] { return e->ended.IsSet(); }, "the thread ends after its run");
  EXPECT_EQ(e->Health().runs, 1u);
  EXPECT_TRUE(Logged("----->>>> Schedule Group Thread Exiting:( Slow )"));
}

// A pass on its own: what Execute is given, and when the group is refreshed between runs.
class PassTest : public SupervisorTest {
 protected:
  void SetUp() override {
    SupervisorTest::SetUp();
    UseSchedule();
    group_ = AddFake("G", 3600);
  }
  double Pass() { return SchedulePass(group_.Get(), false, entry_, env_.env(), hooks_); }
  void MakeDue() { group_->PutNextRunTimeUtc(env_.env().Time().NowUtc()); }

  ComPtr<FakeGroup> group_;
  ScheduleThreadInfo entry_{"G"};
  SchedulerHooks hooks_;
};

TEST_F(PassTest, ExecuteGetsNullOrTheWorkspaceContext) {
  MakeDue();
  Pass();
  g_bOdmWorkspaceSet = true;
  MakeDue();
  Pass();  // no workspace service: not executed
  hooks_.runWorkspace = [](const Bstr& group, Bstr* context) {
    *context = Bstr::FromUtf8("ctx:" + group.ToUtf8());
    return true;
  };
  MakeDue();
  Pass();
  EXPECT_EQ(group_->contexts, (std::vector<std::string>{"<null>", "ctx:G"}));
  EXPECT_EQ(group_->lockHolderDuringRun, kSiteScheduleCommand);
  // The pass without a workspace executed nothing and is no run.
  EXPECT_EQ(entry_.Health().runs, 2u);
}

TEST_F(PassTest, RefreshOnceAMinuteForcedHourlyAndOnAChange) {
  group_->PutNextRunTimeUtc(env_.env().Time().NowUtc() + 1.0);  // not due for a day
  struct Step {
    int64_t advanceMs;
    bool changeItems;
    std::vector<int> refreshes;  // all so far
  } steps[] = {
      {0, false, {1}},                        // never refreshed: forced
      {30000, false, {1, 1}},                 // the change stamp is 0: stamped, forced
      {30000, false, {1, 1}},                 // 30 s since the last refresh
      {30000, false, {1, 1, 0}},              // a minute
      {5000, true, {1, 1, 0, 1}},             // the items changed
      {3600000, false, {1, 1, 0, 1, 1}},      // an hour since the last forced one
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.refreshes.size());
    env_.clock().Advance(s.advanceMs);
    if (s.changeItems) {
      ComPtr<IDispatch> item;
      ASSERT_EQ(group_->AddItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
    }
    Pass();
    EXPECT_EQ(group_->refreshes, s.refreshes);
  }
  EXPECT_TRUE(group_->contexts.empty());
}

TEST(GroupWaitTest, Waits) {
  const double now = At(2025, 1, 15, 10, 0, 0);
  struct Case {
    bool first;
    double next;
    uint32_t ms;
  } cases[] = {
      {true, now + kHour, 100},
      {false, 0.0, 5000},
      {false, -5.0, 5000},
      {false, std::nan(""), 5000},
      {false, now - kSecond, 0},
      {false, now + kSecond, 1100},
      {false, now + kHour, 5000},
      {false, 1e300, 5000},
  };
  for (const Case& c : cases) EXPECT_EQ(GroupWaitMs(c.first, c.next, now), c.ms) << c.next;
}

}  // namespace
}  // namespace kv::scheduler::testing
