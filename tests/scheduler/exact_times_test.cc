// Times from the clock and candidate times are built the same way, to the millisecond, so that
// "a candidate equal to now" decides the same way as on the calendar, and stepping never drifts.
// Every comparison here is exact.
#include <gtest/gtest.h>

#include "command_object/calc_cmd_base.h"
#include "platform/ole_date.h"
#include "scheduler/run_times.h"
#include "support/test_env.h"
#include "scheduler/schedule_commands.h"

namespace kv::scheduler::testing {
namespace {

double Date(int year, int month, int day, int hour, int minute, int second) {
  double date = 0;
  EXPECT_TRUE(platform::MakeDate(year, month, day, hour, minute, second, &date));
  return date;
}

int64_t UnixMs(int year, int month, int day, int hour, int minute, int second) {
  return (platform::DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second) * 1000;
}

constexpr double kSec = 1.0 / 86400.0;

TEST(ExactTimesTest, NextStartTimesAtPinnedClocks) {
  struct Case {
    const char* what;
    int64_t utcMs;  // the clock
    double rate, offset;
    long dayOfMonth, dayOfWeek;
    double expected;  // local
  } cases[] = {
      {"5 s at a whole 5 s is now", UnixMs(2026, 3, 5, 12, 0, 0), 5 * kSec, 0, 0, 0, Date(2026, 3, 5, 7, 0, 0)},
      {"15 s at a whole minute is now", UnixMs(2026, 3, 5, 12, 17, 0), 15 * kSec, 0, 0, 0, Date(2026, 3, 5, 7, 17, 0)},
      {"Thursday at +7 h, on Thursday at 07:00, is now", UnixMs(2026, 3, 5, 12, 0, 0), 0, 7.0 / 24, 0, 5,
       Date(2026, 3, 5, 7, 0, 0)},
      {"daily at +8 h, at 08:00, is tomorrow", UnixMs(2026, 3, 5, 13, 0, 0), 1.0, 8.0 / 24, 0, 0,
       Date(2026, 3, 6, 8, 0, 0)},
      {"the 5th at +8 h, at 08:00 on the 5th, is next month", UnixMs(2026, 3, 5, 13, 0, 0), 0, 8.0 / 24, 5, 0,
       Date(2026, 4, 5, 8, 0, 0)},
      {"one hour, late in the day, lands on the hour", UnixMs(2026, 3, 6, 4, 30, 0), 1.0 / 24, 0, 0, 0,
       Date(2026, 3, 6, 0, 0, 0)},
      {"one hour at 10:30", UnixMs(2026, 3, 5, 15, 30, 0), 1.0 / 24, 0, 0, 0, Date(2026, 3, 5, 11, 0, 0)},
      {"one minute at hh:59:59", UnixMs(2026, 3, 5, 15, 59, 59), 60 * kSec, 0, 0, 0, Date(2026, 3, 5, 11, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kv::testing::TestEnv env("EST5EDT,M3.2.0,M11.1.0", c.utcMs);
    ZrCalcCmdObject cmd(env.env());
    EXPECT_EQ(scheduler::ComputeNextStartTime(cmd, c.rate, c.offset, c.dayOfMonth, c.dayOfWeek), c.expected);
  }
}

TEST(ExactTimesTest, TransitionInstantsCompareEqualWithDatesFromFields) {
  kv::testing::TestEnv env("GMT0BST,M3.5.0/1,M10.5.0", UnixMs(2026, 3, 1, 12, 0, 0));
  ZrCalcCmdObject cmd(env.env());
  EXPECT_EQ(scheduler::GetServerGmtOffset(cmd, Date(2026, 3, 29, 0, 59, 59)), 0.0);
  EXPECT_EQ(scheduler::GetServerGmtOffset(cmd, Date(2026, 3, 29, 1, 0, 0)), -60 / 1440.0);
  EXPECT_EQ(TransitionDate(2026, 3, 5, 1, 1, 0), Date(2026, 3, 29, 1, 0, 0));
}

// The clock's times are the calendar's, and conversions keep whole seconds whole.
TEST(ExactTimesTest, ClockTimesAndConversions) {
  kv::testing::TestEnv env("EST5EDT,M3.2.0,M11.1.0", UnixMs(2026, 3, 5, 12, 0, 0) + 250);
  const platform::LocalTime time = env.env().Time();
  EXPECT_EQ(time.LocalNow(), Date(2026, 3, 5, 7, 0, 0));
  EXPECT_EQ(time.NowUtc(), platform::RoundToMillisecond(Date(2026, 3, 5, 12, 0, 0) + 0.25 * kSec));
  for (int s = 0; s < 60; ++s) {
    SCOPED_TRACE(s);
    EXPECT_EQ(time.LocalToUtc(Date(2026, 3, 5, 7, 0, s)), Date(2026, 3, 5, 12, 0, s));
    EXPECT_EQ(time.UtcToLocal(Date(2026, 3, 5, 12, 0, s)), Date(2026, 3, 5, 7, 0, s));
  }
}

}  // namespace
}  // namespace kv::scheduler::testing
