// The calendar rule, the per-pass rule of the group threads, and the server's offset from UTC.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "scheduler/run_times.h"
#include "schedule_test_util.h"

namespace kv::scheduler::testing {
namespace {

constexpr double kFiveSec = 5.0 / 86400.0;
constexpr double kOneHour = 1.0 / 24.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ComputeNextStartTimeTest, Rules) {
  struct Case {
    const char* what;
    double rate, offset;
    long dayOfMonth, dayOfWeek;
    double now, expected;
  } cases[] = {
      {"FiveSec steps from the whole hour", kFiveSec, 0, 0, 0, At(2025, 3, 5, 10, 17, 3), At(2025, 3, 5, 10, 17, 5)},
      {"OneHour steps from midnight", kOneHour, 0, 0, 0, At(2025, 3, 5, 11, 30), At(2025, 3, 5, 12, 0)},
      // 22.5 and 180 minutes are exact in binary, so the candidate equals now exactly.
      {"under an hour, a candidate equal to now ends the stepping", 1.0 / 64, 0, 0, 0, At(2025, 3, 5, 0, 45),
       At(2025, 3, 5, 0, 45)},
      {"an hour or more, a candidate equal to now does not", 0.125, 0, 0, 0, At(2025, 3, 5, 6, 0),
       At(2025, 3, 5, 9, 0)},
      {"a day steps from the first of the month", 1.0, 0.25, 0, 0, At(2025, 3, 5, 7, 0), At(2025, 3, 6, 6, 0)},
      {"a day, before the offset of today", 1.0, 0.25, 0, 0, At(2025, 3, 5, 5, 0), At(2025, 3, 5, 6, 0)},
      {"Sunday after its time moves a week", 0, 0.5, 0, 1, At(2025, 3, 2, 13, 0), At(2025, 3, 9, 12, 0)},
      {"Sunday before its time", 0, 0.5, 0, 1, At(2025, 3, 2, 11, 0), At(2025, 3, 2, 12, 0)},
      {"Friday of this week from a Wednesday", 0, 0, 0, 6, At(2025, 3, 5, 11, 0), At(2025, 3, 7)},
      {"the 31st skips April", 0, 0.25, 31, 0, At(2025, 4, 15), At(2025, 5, 31, 6, 0)},
      {"the 30th skips February", 0, 0, 30, 0, At(2025, 2, 10), At(2025, 3, 30)},
      {"the 5th of next month once this month's has passed", 0, 0, 5, 0, At(2025, 2, 10), At(2025, 3, 5)},
      {"the day of the month wins over the day of the week", 0, 0, 5, 3, At(2025, 2, 10), At(2025, 3, 5)},
      {"last day from the 10th", 0, 0, -1, 0, At(2025, 6, 10), At(2025, 6, 30)},
      {"last day, after its time on the last day", 0, 0.25, -1, 0, At(2025, 6, 30, 8, 0), At(2025, 7, 31, 6, 0)},
      {"any negative day behaves as the last day", 0, 0, -7, 0, At(2025, 6, 10), At(2025, 6, 30)},
      {"last day of December wraps the year", 0, 0, -1, 0, At(2025, 12, 31, 1, 0), At(2026, 1, 31)},
      {"day of the week 8", kFiveSec, 0, 0, 8, At(2025, 3, 5), 0.0},
      {"day of the week -1", kFiveSec, 0, 0, -1, At(2025, 3, 5), 0.0},
      {"rate 0", 0, 0, 0, 0, At(2025, 3, 5, 10, 0), 0.0},
      {"a negative rate never reaches now", -kFiveSec, 0, 0, 0, At(2025, 3, 5, 10, 0), 0.0},
      {"a rate that is not a number", kNaN, 0, 0, 0, At(2025, 3, 5, 10, 0), 0.0},
      {"an offset that is not a number", kFiveSec, kNaN, 0, 0, At(2025, 3, 5, 10, 0), 0.0},
      {"a rate below the resolution stops at the base", 1e-15, 0, 0, 0, At(2025, 3, 5, 10, 17, 3),
       At(2025, 3, 5, 10, 0)},
      {"now outside the date range", kFiveSec, 0, 0, 0, 1e7, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NEAR(ComputeNextStartTime(c.rate, c.offset, c.dayOfMonth, c.dayOfWeek, c.now), c.expected, kTolerance);
  }
}

// A rate so small that the bounded additions end before now returns at once with the time
// reached: past the base, before now.
TEST(ComputeNextStartTimeTest, TinyRateIsBounded) {
  const double now = At(2025, 3, 5, 10, 17, 3);
  const double t = ComputeNextStartTime(1e-9, 0, 0, 0, now);
  EXPECT_GT(t, At(2025, 3, 5, 10, 0));
  EXPECT_LT(t, now);
}

TEST(TransitionDateTest, WeekRules) {
  struct Case {
    int year, month, week, weekday, hour, minute;
    double expected;
  } cases[] = {
      {2025, 3, 2, 1, 2, 0, At(2025, 3, 9, 2, 0)},     // second Sunday of March
      {2025, 11, 1, 1, 2, 0, At(2025, 11, 2, 2, 0)},   // first Sunday of November
      {2025, 3, 2, 6, 0, 0, At(2025, 3, 14)},          // second Friday, the 1st being a Saturday
      {2025, 3, 1, 7, 0, 30, At(2025, 3, 1, 0, 30)},   // the first day itself
      {2025, 10, 5, 1, 3, 0, At(2025, 10, 26, 3, 0)},  // last Sunday
      {2025, 12, 5, 6, 1, 0, At(2025, 12, 26, 1, 0)},  // last Friday of December
      {2025, 3, 4, 5, 26, 0, At(2025, 3, 28, 2, 0)},   // 26:00 on the fourth Thursday
      {2025, 3, 1, 1, -1, 0, At(2025, 3, 1, 23, 0)},   // -1:00 on the first Sunday
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.month << "." << c.week << "." << c.weekday);
    EXPECT_NEAR(TransitionDate(c.year, c.month, c.week, c.weekday, c.hour, c.minute), c.expected, kTolerance);
  }
  EXPECT_EQ(TransitionDate(2025, 0, 1, 1, 0, 0), 0.0);
}

TEST(GmtOffsetDaysTest, ZonesAndSeasons) {
  struct Case {
    const char* zone;
    double local;
    int minutes;
  } cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", At(2025, 1, 15, 12, 0), 300},
      {"EST5EDT,M3.2.0,M11.1.0", At(2025, 7, 15, 12, 0), 240},
      {"EST5EDT,M3.2.0,M11.1.0", At(2025, 3, 9, 1, 59), 300},
      {"EST5EDT,M3.2.0,M11.1.0", At(2025, 3, 9, 2, 0), 240},
      {"EST5EDT,M3.2.0,M11.1.0", At(2025, 11, 2, 1, 59), 240},
      {"EST5EDT,M3.2.0,M11.1.0", At(2025, 11, 2, 2, 0), 300},
      // Daylight time from the second Friday of March: the 14th in 2025, not the 7th.
      {"FST-2FDT,M3.2.5/0,M10.5.5/0", At(2025, 3, 10, 12, 0), -120},
      {"FST-2FDT,M3.2.5/0,M10.5.5/0", At(2025, 3, 14, 12, 0), -180},
      // Southern hemisphere: daylight time spans the new year.
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", At(2025, 1, 15, 12, 0), -660},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", At(2025, 7, 15, 12, 0), -600},
      {"UTC0", At(2025, 7, 15, 12, 0), 0},
      {"<+0330>-3:30", At(2025, 7, 15, 12, 0), -210},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.zone << " " << c.local);
    platform::TimeZone zone;
    ASSERT_TRUE(platform::TimeZone::FromPosixRule(c.zone, &zone));
    EXPECT_DOUBLE_EQ(GmtOffsetDays(zone, c.local), c.minutes / 1440.0);
  }
}

class RunTimesTest : public ScheduleFixture {};

TEST_F(RunTimesTest, CalendarAlignment) {
  struct Case {
    double rate;
    long scheduleClass;
    bool aligned;
  } cases[] = {
      {1.0, 1, true}, {kOneHour, 1, false}, {2.0, 0, true}, {1.0, 2, false}, {0.1, 864000, true}, {-3.0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rate << " class " << c.scheduleClass);
    auto g = NewGroup();
    g->PutRate(c.rate);
    g->PutScheduleClass(c.scheduleClass);
    EXPECT_EQ(IsCalendarAligned(g.Get()), c.aligned);
  }
}

TEST_F(RunTimesTest, SyncKeepsTheLocalWallClockTime) {
  auto g = NewGroup();
  g->PutNextRunTime(At(2025, 1, 16, 5, 0));
  g->PutNextRunTimeUtc(1.0);
  EXPECT_FALSE(SyncNextRunTimeUtc(env_.env().Time(), g.Get()));
  EXPECT_NEAR(ReadGroup(g.Get()).nextRunTimeUtc, At(2025, 1, 16, 10, 0), kTolerance);
  EXPECT_TRUE(SyncNextRunTimeUtc(env_.env().Time(), g.Get()));
  SetNowUtc(At(2025, 7, 1, 12, 0));  // summer: UTC-4
  EXPECT_FALSE(SyncNextRunTimeUtc(env_.env().Time(), g.Get()));
  EXPECT_NEAR(ReadGroup(g.Get()).nextRunTimeUtc, At(2025, 1, 16, 9, 0), kTolerance);
  EXPECT_TRUE(SyncNextRunTimeUtc(env_.env().Time(), g.Get()));
}

// One pass per case, winter (local = UTC - 5 hours). Times named "Utc" are UTC.
TEST_F(RunTimesTest, Passes) {
  constexpr double kRate15 = 15 * kSecond;
  struct Case {
    const char* what;
    bool first;
    double rate;
    long dayOfMonth;
    double nextUtc, computedUtc, lastUtc, nowUtc;
    bool due;
    double resultUtc;
  } cases[] = {
      {"a stale time on the first pass is recomputed, not run", true, kRate15, 0, 1.0, 0, 0,
       At(2025, 1, 15, 10, 1, 7.2), false, At(2025, 1, 15, 10, 1, 15)},
      {"a future time on the first pass stands", true, kRate15, 0, At(2025, 1, 15, 10, 2), 0, 0,
       At(2025, 1, 15, 10, 1, 7.2), false, At(2025, 1, 15, 10, 2)},
      {"no time on the first pass stays none", true, kRate15, 0, 0, 0, 0, At(2025, 1, 15, 10, 1), false, 0},
      {"unscheduled later", false, kRate15, 0, 0, 0, 0, At(2025, 1, 15, 10, 1), false, 0},
      {"k = 4, then one more step past now plus half a second", false, kRate15, 0, At(2025, 1, 15, 10, 1),
       At(2025, 1, 15, 10, 0), At(2025, 1, 15, 10, 0, 45), At(2025, 1, 15, 10, 1, 7.2), true,
       At(2025, 1, 15, 10, 1, 15)},
      {"0.3 s before its time it runs", false, kRate15, 0, At(2025, 1, 15, 10, 1), At(2025, 1, 15, 10, 1), 0,
       At(2025, 1, 15, 10, 0, 59.7), true, At(2025, 1, 15, 10, 1, 15)},
      {"0.6 s before its time it waits", false, kRate15, 0, At(2025, 1, 15, 10, 1), At(2025, 1, 15, 10, 1), 0,
       At(2025, 1, 15, 10, 0, 59.4), false, At(2025, 1, 15, 10, 1)},
      {"a 0.3 s rate steps by one second", false, 0.3 * kSecond, 0, At(2025, 1, 15, 10, 0, 10),
       At(2025, 1, 15, 10, 0), 0, At(2025, 1, 15, 10, 0, 10.2), true, At(2025, 1, 15, 10, 0, 11)},
      {"a base after now is stepped once", false, kRate15, 0, At(2025, 1, 15, 10, 1), At(2025, 1, 15, 10, 1, 0.2),
       0, At(2025, 1, 15, 10, 1), true, At(2025, 1, 15, 10, 1, 15.2)},
      {"without a base the calendar decides", false, kRate15, 0, At(2025, 1, 15, 10, 1), 0, 0,
       At(2025, 1, 15, 10, 1, 7.2), true, At(2025, 1, 15, 10, 1, 15)},
      {"a day rule always comes from the calendar", false, 0, 20, At(2025, 1, 15, 10, 0), At(2025, 1, 15, 10, 0),
       0, At(2025, 1, 15, 10, 0), true, At(2025, 1, 20, 5, 0)},
      {"no rate and no day rule runs once", false, 0, 0, At(2025, 1, 15, 10, 0), 0, 0, At(2025, 1, 15, 10, 0),
       true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetNowUtc(c.nowUtc);
    auto g = NewGroup();
    g->PutRate(c.rate);
    g->PutDayOfMonth(c.dayOfMonth);
    g->PutPriority(2);
    g->PutNextRunTimeUtc(c.nextUtc);
    g->PutComputedRunTime(c.computedUtc);
    g->PutLastRunTimeUtc(c.lastUtc);
    long priority = 0;
    bool due = !c.due;
    const double result = ComputeRunTimes(env_.env().Time(), g.Get(), c.first, &priority, &due);
    EXPECT_EQ(priority, 2);
    EXPECT_EQ(due, c.due);
    EXPECT_NEAR(result, c.resultUtc, kTolerance);

    const GroupState s = ReadGroup(g.Get());
    EXPECT_NEAR(s.nextRunTimeUtc, c.resultUtc, kTolerance);
    if (c.due || (c.first && c.nextUtc == 1.0)) {
      EXPECT_NEAR(s.nextRunTime, c.resultUtc > 0 ? c.resultUtc - 5 * kHour : 0.0, kTolerance);
    }
    EXPECT_NEAR(s.lastRunTimeUtc, c.due ? c.nowUtc : c.lastUtc, kTolerance);
    EXPECT_NEAR(s.lastRunTime, c.due ? c.nowUtc - 5 * kHour : 0.0, kTolerance);
    EXPECT_NEAR(s.runRate, c.due && c.lastUtc > 0 ? c.nowUtc - c.lastUtc : 0.0, kTolerance);
    // The first pass never sets the first run time; later passes set it once there is a time.
    EXPECT_NEAR(s.firstRunTime, !c.first && c.resultUtc > 0 ? s.nextRunTime : 0.0, kTolerance);
  }
}

TEST_F(RunTimesTest, FirstRunTimeIsSetOnce) {
  SetNowUtc(At(2025, 1, 15, 10, 1, 7.2));
  auto g = NewGroup();
  g->PutRate(15 * kSecond);
  g->PutNextRunTimeUtc(At(2025, 1, 15, 10, 1));
  g->PutComputedRunTime(At(2025, 1, 15, 10, 0));
  g->PutFirstRunTime(At(2024, 1, 1));
  long priority;
  bool due;
  ComputeRunTimes(env_.env().Time(), g.Get(), false, &priority, &due);
  ASSERT_TRUE(due);
  EXPECT_EQ(ReadGroup(g.Get()).firstRunTime, At(2024, 1, 1));
}

// A calendar-aligned group whose UTC time was computed under another offset is resynced to its
// local wall-clock time before the due test, so it does not run an hour early.
TEST_F(RunTimesTest, AlignedGroupFollowsItsLocalTime) {
  auto g = NewGroup();
  g->PutRate(1.0);
  g->PutScheduleClass(1);
  g->PutOffset(0.25);
  g->PutNextRunTime(At(2025, 1, 15, 6, 0));
  g->PutNextRunTimeUtc(At(2025, 1, 15, 10, 0));  // computed in summer
  long priority;
  bool due = true;
  SetNowUtc(At(2025, 1, 15, 10, 30));  // 05:30 local
  EXPECT_NEAR(ComputeRunTimes(env_.env().Time(), g.Get(), false, &priority, &due), At(2025, 1, 15, 11, 0), kTolerance);
  EXPECT_FALSE(due);
  SetNowUtc(At(2025, 1, 15, 11, 0));
  EXPECT_NEAR(ComputeRunTimes(env_.env().Time(), g.Get(), false, &priority, &due), At(2025, 1, 16, 11, 0), kTolerance);
  EXPECT_TRUE(due);
}

}  // namespace
// A group runs once per due time, whichever rule gave it and however close to it the thread
// wakes: now is read in whole seconds, so a rule that keeps a candidate equal to now would give
// back the time just served. Passes every 100 ms from the first wake until two seconds later.
TEST_F(RunTimesTest, OneRunPerDueTimeAtTheBoundary) {
  constexpr double kMs = kSecond / 1000;
  struct Rule {
    const char* what;
    double rate, offset;
    long scheduleClass, dayOfMonth, dayOfWeek;
    double dueLocal;  // a time the rule gives, on a whole second
  } rules[] = {
      {"Sunday noon", 0, 0.5, 0, 0, 1, At(2025, 1, 5, 12, 0)},
      {"the 5th at noon", 0, 0.5, 0, 5, 0, At(2025, 1, 5, 12, 0)},
      {"the last day at noon", 0, 0.5, 0, -1, 0, At(2025, 1, 31, 12, 0)},
      {"daily, calendar-aligned", 1.0, 0.5, 1, 0, 0, At(2025, 1, 5, 12, 0)},
      {"five minutes, class 864000", 5 * kMinute, 0, 864000, 0, 0, At(2025, 1, 5, 12, 5)},
      {"hourly, no base", kHour, 0, 2, 0, 0, At(2025, 1, 5, 12, 0)},
  };
  for (const auto& r : rules) {
    for (double wakeMs : {-1.0, 0.0, 1.0, 100.0}) {
      SCOPED_TRACE(::testing::Message() << r.what << ", first wake " << wakeMs << " ms after the due time");
      const double dueUtc = r.dueLocal + 5 * kHour;
      auto g = NewGroup();
      g->PutRate(r.rate);
      g->PutOffset(r.offset);
      g->PutScheduleClass(r.scheduleClass);
      g->PutDayOfMonth(r.dayOfMonth);
      g->PutDayOfWeek(r.dayOfWeek);
      g->PutNextRunTime(r.dueLocal);
      g->PutNextRunTimeUtc(dueUtc);
      int runs = 0;
      for (double at = wakeMs; at <= 2000.0; at += 100.0) {
        SetNowUtc(dueUtc + at * kMs);
        long priority;
        bool due = false;
        ComputeRunTimes(env_.env().Time(), g.Get(), false, &priority, &due);
        runs += due ? 1 : 0;
      }
      EXPECT_EQ(runs, 1);
      EXPECT_GT(ReadGroup(g.Get()).nextRunTimeUtc, dueUtc + 2 * kSecond);
    }
  }
}

}  // namespace kv::scheduler::testing
