#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kv::platform {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kShort{20};
constexpr milliseconds kLong{30000};  // only reached if a wake-up is lost, or on a fixed clock never

TEST(TrackedLockTest, HolderAndCountAreVisibleFromOtherThreads) {
  TrackedLock lock("test lock");
  EXPECT_STREQ(lock.Name(), "test lock");
  EXPECT_EQ(lock.LockCount(), 0);

  Event held(Event::Reset::Manual), release(Event::Reset::Manual);
  std::thread owner([&] {
    TrackedLock::Scope outer(lock, 7);
    lock.Enter(8);
    held.Set();
    release.Wait(kLong);
    lock.Leave();
  });
  ASSERT_TRUE(held.Wait(kLong));
  EXPECT_EQ(lock.LockCount(), 2);
  EXPECT_EQ(lock.Holder(), 8);

  std::atomic<bool> entered{false};
  Event trying(Event::Reset::Manual);
  std::thread waiter([&] {
    trying.Set();
    TrackedLock::Scope scope(lock, 9);
    entered = true;
  });
  ASSERT_TRUE(trying.Wait(kLong));
  // On its way in or blocked: either way it cannot get in while the owner holds the lock.
  EXPECT_FALSE(entered.load());
  EXPECT_EQ(lock.Holder(), 8);
  EXPECT_EQ(lock.LockCount(), 2);

  release.Set();
  owner.join();
  waiter.join();
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(lock.LockCount(), 0);
  EXPECT_EQ(lock.Holder(), 9);  // left as the last acquisition set it
}

TEST(TrackedLockTest, RecursionCountsEachEnter) {
  TrackedLock lock("recursive");
  lock.Enter(1);
  {
    TrackedLock::Scope again(lock, 2);
    EXPECT_EQ(lock.LockCount(), 2);
    EXPECT_EQ(lock.Holder(), 2);
  }
  EXPECT_EQ(lock.LockCount(), 1);
  EXPECT_EQ(lock.Holder(), 2);
  lock.Leave();
  EXPECT_EQ(lock.LockCount(), 0);
}

TEST(EventTest, AutoResetClearsAfterOneWait) {
  Event e(Event::Reset::Auto);
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(milliseconds(0)));
  e.Set();
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(milliseconds(0)));
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(milliseconds(0)));

  Event initially(Event::Reset::Auto, true);
  EXPECT_TRUE(initially.Wait(milliseconds::max()));
  EXPECT_FALSE(initially.Wait(milliseconds(0)));
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
  Event e(Event::Reset::Manual, true);
  EXPECT_TRUE(e.Wait(milliseconds(0)));
  EXPECT_TRUE(e.Wait(kShort));
  EXPECT_TRUE(e.IsSet());
  e.ResetEvent();
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(milliseconds(0)));
}

// Time-outs are measured on the event's clock: on a fixed clock a wait ends when the test moves
// the clock past its deadline, and not a moment before, however long it takes.
TEST(EventTest, ATimedWaitEndsWhenItsClockPassesTheDeadline) {
  for (Event::Reset reset : {Event::Reset::Auto, Event::Reset::Manual}) {
    FixedClock clock(1000);
    Event e(reset, false, clock);
    std::atomic<bool> done{false};
    bool result = true;
    std::thread waiter([&] {
      result = e.Wait(milliseconds(100));
      done = true;
    });
    clock.AwaitBlockedWaiters(1);
    clock.Advance(99);
    clock.AwaitBlockedWaiters(1);  // it has seen the new time and waits on
    EXPECT_FALSE(done.load());
    clock.Advance(1);
    waiter.join();
    EXPECT_FALSE(result);
  }
  // On the real clock too a wait on an unset event ends with its time-out.
  EXPECT_FALSE(Event(Event::Reset::Manual).Wait(milliseconds(1)));
}

TEST(EventTest, ASetWakesAWaitOnAFixedClockThatNeverMoves) {
  FixedClock clock(0);
  Event e(Event::Reset::Auto, false, clock);
  bool result = false;
  std::thread waiter([&] { result = e.Wait(kLong); });
  clock.AwaitBlockedWaiters(1);
  e.Set();
  waiter.join();
  EXPECT_TRUE(result);
  EXPECT_FALSE(e.IsSet());
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet) {
  FixedClock clock(0);
  Event e(Event::Reset::Auto, false, clock);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(kLong)) ++released;
    });
  }
  clock.AwaitBlockedWaiters(3);
  e.Set();
  // Exactly one waiter takes the event; the others wait until the clock passes their deadline.
  clock.Advance(kLong.count());
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 1);
  EXPECT_FALSE(e.IsSet());
}

TEST(EventTest, ManualResetReleasesEveryWaiter) {
  Event e(Event::Reset::Manual);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(kLong)) ++released;
    });
  }
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(e.IsSet());
}

TEST(WaitAnyTest, ReturnsTheIndexOfTheSetEvent) {
  Event a(Event::Reset::Auto), b(Event::Reset::Manual), c(Event::Reset::Auto);
  Event* events[] = {&a, &b, &c};

  EXPECT_EQ(WaitAny(events, 3, milliseconds(0)), -1);

  b.Set();
  EXPECT_EQ(WaitAny(events, 3, kShort), 1);
  EXPECT_TRUE(b.IsSet());  // manual: still set
  b.ResetEvent();

  c.Set();
  a.Set();
  EXPECT_EQ(WaitAny(events, 3, milliseconds(0)), 0);  // the lowest index first
  EXPECT_FALSE(a.IsSet());                            // auto: taken by the wait
  EXPECT_EQ(WaitAny(events, 3, milliseconds(0)), 2);
  EXPECT_FALSE(c.IsSet());
  EXPECT_EQ(WaitAny(events, 3, milliseconds(0)), -1);

  c.Set();
  EXPECT_EQ(WaitAny(events, 3, milliseconds::max()), 2);
}

TEST(WaitAnyTest, WakesWhenAnotherThreadSets) {
  FixedClock clock(0);
  Event a(Event::Reset::Auto), b(Event::Reset::Auto), c(Event::Reset::Auto), unrelated(Event::Reset::Auto);
  Event* events[] = {&a, &b, &c};
  for (int target : {2, 0}) {
    SCOPED_TRACE(target);
    std::thread setter([&] {
      clock.AwaitBlockedWaiters(1);  // the wait below has scanned the events and sleeps
      unrelated.Set();  // wakes the waiter, which must keep waiting
      events[target]->Set();
    });
    EXPECT_EQ(WaitAny(events, 3, kLong, clock), target);
    setter.join();
    EXPECT_FALSE(events[target]->IsSet());
  }
}

TEST(WaitAnyTest, TimesOutWhenItsClockPassesTheDeadline) {
  FixedClock clock(0);
  Event a(Event::Reset::Auto), b(Event::Reset::Manual);
  Event* events[] = {&a, &b};
  int result = 0;
  std::thread waiter([&] { result = WaitAny(events, 2, milliseconds(500), clock); });
  clock.AwaitBlockedWaiters(1);
  clock.Advance(500);
  waiter.join();
  EXPECT_EQ(result, -1);
}

}  // namespace
}  // namespace kv::platform
