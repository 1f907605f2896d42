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
constexpr milliseconds kLong{30000};  // only reached if a wake-up is lost

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
  std::thread waiter([&] {
    TrackedLock::Scope scope(lock, 9);
    entered = true;
  });
  std::this_thread::sleep_for(kShort);
  EXPECT_FALSE(entered.load());  // cannot get in while the owner holds the lock

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
  EXPECT_FALSE(e.Wait(kShort));
  e.Set();
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(milliseconds(0)));
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(kShort));

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
  EXPECT_FALSE(e.Wait(kShort));
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet) {
  Event e(Event::Reset::Auto);
  Event woke(Event::Reset::Auto);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(kLong)) ++released;
      woke.Set();
    });
  }
  e.Set();
  ASSERT_TRUE(woke.Wait(kLong));
  std::this_thread::sleep_for(kShort);
  EXPECT_EQ(released.load(), 1);
  EXPECT_FALSE(e.IsSet());
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
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

  EXPECT_EQ(WaitAny(events, 3, kShort), -1);

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
  Event a(Event::Reset::Auto), b(Event::Reset::Auto), c(Event::Reset::Auto), unrelated(Event::Reset::Auto);
  Event* events[] = {&a, &b, &c};
  for (int target : {2, 0}) {
    SCOPED_TRACE(target);
    std::thread setter([&] {
      std::this_thread::sleep_for(kShort);
      unrelated.Set();  // wakes the waiter, which must keep waiting
      events[target]->Set();
    });
    EXPECT_EQ(WaitAny(events, 3, kLong), target);
    setter.join();
    EXPECT_FALSE(events[target]->IsSet());
  }
}

}  // namespace
}  // namespace kv::platform
