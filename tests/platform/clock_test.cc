#include "platform/clock.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kv::platform {
namespace {

constexpr double kSecond = 1.0 / 86400.0;
constexpr double kHour = 1.0 / 24.0;
constexpr int64_t kJuly1Noon = 1751371200000;    // 2025-07-01 12:00:00 UTC, OLE 45839.5
constexpr int64_t kJanuary1Noon = 1735732800000;  // 2025-01-01 12:00:00 UTC, OLE 45658.5

class LocalTimeTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TimeZone::FromPosixRule("EST5EDT,M3.2.0,M11.1.0", &zone_)); }

  FixedClock clock_{kJuly1Noon + 250};
  TimeZone zone_;
  LocalTime time_{clock_, zone_};
};

TEST_F(LocalTimeTest, NowInUtcAndLocal) {
  struct Case {
    int64_t unixMs;
    double utc, local, localMs;
  };
  const Case cases[] = {
      {kJuly1Noon + 250, 45839.5 + 0.25 * kSecond, 45839.5 - 4 * kHour, 45839.5 - 4 * kHour + 0.25 * kSecond},
      {kJanuary1Noon + 999, 45658.5 + 0.999 * kSecond, 45658.5 - 5 * kHour,
       45658.5 - 5 * kHour + 0.999 * kSecond},
      // The second before and the second at the spring change (07:00 UTC, 9 March 2025).
      {1741503599999, 45725.0 + 7 * kHour - 0.001 * kSecond, 45725.0 + 2 * kHour - kSecond,
       45725.0 + 2 * kHour - 0.001 * kSecond},
      {1741503600000, 45725.0 + 7 * kHour, 45725.0 + 3 * kHour, 45725.0 + 3 * kHour},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unixMs);
    clock_.Set(c.unixMs);
    EXPECT_NEAR(time_.NowUtc(), c.utc, 1e-9);
    EXPECT_NEAR(time_.LocalNow(), c.local, 1e-9);
    EXPECT_NEAR(time_.LocalNowMs(), c.localMs, 1e-9);
  }
}

TEST_F(LocalTimeTest, LocalNowDropsMillisecondsBeforeTheEpoch) {
  TimeZone utc;
  LocalTime time(clock_, utc);
  clock_.Set(-500);  // 1969-12-31 23:59:59.5
  EXPECT_NEAR(time.LocalNow(), 25569.0 - kSecond, 1e-9);
  EXPECT_NEAR(time.LocalNowMs(), 25569.0 - 0.5 * kSecond, 1e-9);
}

// The conversion takes the offset in force now, even for a date in the other season.
TEST_F(LocalTimeTest, ConversionsUseTheOffsetOfNow) {
  const double winterDate = 45658.5;
  const double summerDate = 45839.5;
  clock_.Set(kJuly1Noon);
  EXPECT_NEAR(time_.UtcToLocal(winterDate), winterDate - 4 * kHour, 1e-9);
  EXPECT_NEAR(time_.LocalToUtc(winterDate), winterDate + 4 * kHour, 1e-9);
  clock_.Set(kJanuary1Noon);
  EXPECT_NEAR(time_.UtcToLocal(summerDate), summerDate - 5 * kHour, 1e-9);
  EXPECT_NEAR(time_.LocalToUtc(summerDate), summerDate + 5 * kHour, 1e-9);
  EXPECT_NEAR(time_.LocalToUtc(time_.UtcToLocal(summerDate)), summerDate, 1e-9);
}

TEST(FixedClockTest, MovesOnlyWhenTold) {
  FixedClock clock(1000);
  EXPECT_EQ(clock.NowUnixMs(), 1000);
  clock.Advance(500);
  EXPECT_EQ(clock.NowUnixMs(), 1500);
  EXPECT_EQ(clock.MonotonicMs(), 1500);
  clock.Set(42);
  EXPECT_EQ(clock.NowUnixMs(), 42);
}

TEST(FixedClockTest, IsSafeToReadWhileAnotherThreadMovesIt) {
  FixedClock clock(0);
  constexpr int kSteps = 10000;
  std::thread mover([&] {
    for (int i = 0; i < kSteps; ++i) clock.Advance(1);
  });
  int64_t last = 0;
  for (int i = 0; i < kSteps; ++i) {
    const int64_t now = clock.MonotonicMs();
    EXPECT_GE(now, last);
    last = now;
  }
  mover.join();
  EXPECT_EQ(clock.NowUnixMs(), kSteps);
}

// WaitUntil on a fixed clock: `ready` decides first, the deadline only when the clock reaches it.
TEST(FixedClockTest, WaitUntilEndsOnReadyOrOnTheDeadline) {
  FixedClock clock(100);
  std::mutex mu;
  std::condition_variable cv;
  std::unique_lock lock(mu);
  int calls = 0;
  EXPECT_TRUE(clock.WaitUntil(lock, cv, 100, [&] { return ++calls == 1; }));
  EXPECT_EQ(calls, 1) << "not asked again once it said yes";
  EXPECT_FALSE(clock.WaitUntil(lock, cv, 100, [] { return false; })) << "a deadline reached does not block";
  EXPECT_TRUE(lock.owns_lock());

  bool ready = false;
  bool result = false;
  lock.unlock();
  std::thread waiter([&] {
    std::unique_lock inner(mu);
    result = clock.WaitUntil(inner, cv, Clock::kNoDeadline, [&] { return ready; });
  });
  clock.AwaitBlockedWaiters(1);
  clock.Advance(int64_t{1} << 40);  // no deadline: moving the clock does not end it
  clock.AwaitBlockedWaiters(1);
  {
    std::lock_guard set(mu);
    ready = true;
  }
  cv.notify_all();
  waiter.join();
  EXPECT_TRUE(result);
}

TEST(RealClockTest, ReadsTheSystemClocks) {
  Clock& clock = RealClock();
  EXPECT_EQ(&clock, &RealClock());
  EXPECT_GT(clock.NowUnixMs(), int64_t{1577836800000});  // after 2020-01-01
  const int64_t first = clock.MonotonicMs();
  EXPECT_GE(clock.MonotonicMs(), first);
}

}  // namespace
}  // namespace kv::platform
