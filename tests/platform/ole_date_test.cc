#include "platform/ole_date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kv::platform {
namespace {

struct KnownDate {
  double date;
  int year, month, day, hour, minute, second;
  int dayOfWeek;
  bool canonical;  // SystemTimeToOleDate gives back exactly `date`
};

constexpr KnownDate kKnownDates[] = {
    {0.0, 1899, 12, 30, 0, 0, 0, 6, true},
    {1.0, 1899, 12, 31, 0, 0, 0, 0, true},
    {2.0, 1900, 1, 1, 0, 0, 0, 1, true},
    {61.0, 1900, 3, 1, 0, 0, 0, 4, true},  // no 29 February 1900
    {25569.0, 1970, 1, 1, 0, 0, 0, 4, true},
    {36526.0, 2000, 1, 1, 0, 0, 0, 6, true},
    {45351.0, 2024, 2, 29, 0, 0, 0, 4, true},
    {45658.5, 2025, 1, 1, 12, 0, 0, 3, true},
    {45658.75, 2025, 1, 1, 18, 0, 0, 3, true},
    {-1.25, 1899, 12, 29, 6, 0, 0, 5, true},
    {-1.75, 1899, 12, 29, 18, 0, 0, 5, true},
    {-0.5, 1899, 12, 30, 12, 0, 0, 6, false},  // same instant as 0.5
    {0.5, 1899, 12, 30, 12, 0, 0, 6, true},
    {-657434.0, 100, 1, 1, 0, 0, 0, 5, true},
    {-657434.5, 100, 1, 1, 12, 0, 0, 5, true},
    {2958465.0, 9999, 12, 31, 0, 0, 0, 5, true},
    {2958465.99999, 9999, 12, 31, 23, 59, 59, 5, false},
};

TEST(OleDateTest, KnownDatesConvertBothWays) {
  for (const auto& k : kKnownDates) {
    SCOPED_TRACE(k.date);
    SystemTime st;
    ASSERT_TRUE(OleDateToSystemTime(k.date, &st));
    EXPECT_EQ(st.year, k.year);
    EXPECT_EQ(st.month, k.month);
    EXPECT_EQ(st.day, k.day);
    EXPECT_EQ(st.hour, k.hour);
    EXPECT_EQ(st.minute, k.minute);
    EXPECT_EQ(st.second, k.second);
    EXPECT_EQ(st.milliseconds, 0);
    EXPECT_EQ(st.dayOfWeek, k.dayOfWeek);
    EXPECT_EQ(OleWeekday(k.date), k.dayOfWeek + 1);
    if (k.canonical) {
      double back = 0;
      ASSERT_TRUE(SystemTimeToOleDate(st, &back));
      EXPECT_EQ(back, k.date);
    }
  }
}

TEST(OleDateTest, OutOfRangeDatesFail) {
  const double bad[] = {-657435.0, -657434.0 - 1e-6 - 1.0, 2958466.0, 2958466.5, 1e300,
                        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(),
                        2958465.999999999};  // rounds up into the year 10000
  for (double d : bad) {
    SCOPED_TRACE(d);
    SystemTime st;
    EXPECT_FALSE(OleDateToSystemTime(d, &st));
    EXPECT_FALSE(OleDateToSystemTimeMs(d, &st));
    EXPECT_EQ(OleWeekday(d), 0);
  }
}

TEST(OleDateTest, RoundingCarriesIntoTheNextDay) {
  struct Case {
    double date;
    bool keepMs;
    int year, month, day, hour, minute, second, ms, dayOfWeek;
  };
  const double lastSecond = 45657.0 + 86399.6 / 86400.0;  // 2024-12-31 23:59:59.6
  const Case cases[] = {
      {lastSecond, false, 2025, 1, 1, 0, 0, 0, 0, 3},
      {lastSecond, true, 2024, 12, 31, 23, 59, 59, 600, 2},
      {45657.0 + 86399.9996 / 86400.0, true, 2025, 1, 1, 0, 0, 0, 0, 3},
      {45657.0 + 59.4 / 86400.0, false, 2024, 12, 31, 0, 0, 59, 0, 2},
      {45657.0 + 59.5004 / 86400.0, false, 2024, 12, 31, 0, 1, 0, 0, 2},
      {45658.5 + 0.123 / 86400.0, true, 2025, 1, 1, 12, 0, 0, 123, 3},
      {45658.5 + 0.123 / 86400.0, false, 2025, 1, 1, 12, 0, 0, 0, 3},
      // Before day 0 the carry still moves forward in time: 29 Dec 23:59:59.6 -> 30 Dec 00:00.
      {-1.0 - 86399.6 / 86400.0, false, 1899, 12, 30, 0, 0, 0, 0, 6},
      // 31 December 1999 23:59:59.7 -> 1 January 2000 across the year and century.
      {36525.0 + 86399.7 / 86400.0, false, 2000, 1, 1, 0, 0, 0, 0, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.date << (c.keepMs ? " ms" : " s"));
    SystemTime st;
    ASSERT_TRUE(c.keepMs ? OleDateToSystemTimeMs(c.date, &st) : OleDateToSystemTime(c.date, &st));
    EXPECT_EQ(st.year, c.year);
    EXPECT_EQ(st.month, c.month);
    EXPECT_EQ(st.day, c.day);
    EXPECT_EQ(st.hour, c.hour);
    EXPECT_EQ(st.minute, c.minute);
    EXPECT_EQ(st.second, c.second);
    EXPECT_EQ(st.milliseconds, c.ms);
    EXPECT_EQ(st.dayOfWeek, c.dayOfWeek);
  }
}

TEST(OleDateTest, SystemTimeValidatesFieldsAndCarriesLongDays) {
  auto make = [](int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SystemTime st;
    st.year = y;
    st.month = mo;
    st.day = d;
    st.hour = h;
    st.minute = mi;
    st.second = s;
    st.milliseconds = ms;
    return st;
  };
  const SystemTime bad[] = {make(99, 12, 31),      make(10000, 1, 1),       make(2024, 0, 1),
                            make(2024, 13, 1),     make(2024, 1, 0),        make(2024, 1, 32),
                            make(2024, 1, 1, 24),  make(2024, 1, 1, -1),    make(2024, 1, 1, 0, 60),
                            make(2024, 1, 1, 0, 0, 60), make(2024, 1, 1, 0, 0, 0, 1000),
                            make(2024, 1, 1, 0, 0, 0, -1)};
  for (const auto& st : bad) {
    double d = -99;
    EXPECT_FALSE(SystemTimeToOleDate(st, &d)) << st.year << "-" << st.month << "-" << st.day << " " << st.hour
                                              << ":" << st.minute << ":" << st.second << "." << st.milliseconds;
    EXPECT_EQ(d, -99);
  }

  struct Carry {
    SystemTime in;
    SystemTime same;
  };
  const Carry carries[] = {
      {make(2024, 4, 31), make(2024, 5, 1)},
      {make(2023, 2, 29), make(2023, 3, 1)},
      {make(2024, 2, 31, 10), make(2024, 3, 2, 10)},
      {make(9999, 11, 31), make(9999, 12, 1)},
  };
  for (const auto& c : carries) {
    double a = 0, b = 0;
    ASSERT_TRUE(SystemTimeToOleDate(c.in, &a));
    ASSERT_TRUE(SystemTimeToOleDate(c.same, &b));
    EXPECT_EQ(a, b) << c.in.year << "-" << c.in.month << "-" << c.in.day;
  }

  double withMs = 0;
  ASSERT_TRUE(SystemTimeToOleDate(make(2025, 1, 1, 12, 0, 0, 250), &withMs));
  EXPECT_DOUBLE_EQ(withMs, 45658.5 + 0.25 / 86400.0);
}

TEST(OleDateTest, MakeDateRefusesWhatWouldBeCarried) {
  struct Case {
    int year, month, day, hour, minute, second;
    bool valid;
  };
  const Case cases[] = {
      {2024, 2, 29, 0, 0, 0, true},     {2000, 2, 29, 0, 0, 0, true},   {2025, 12, 31, 23, 59, 59, true},
      {100, 1, 1, 0, 0, 0, true},       {9999, 12, 31, 23, 59, 59, true},
      {2024, 4, 31, 0, 0, 0, false},    {2024, 2, 30, 0, 0, 0, false},  {2023, 2, 29, 0, 0, 0, false},
      {1900, 2, 29, 0, 0, 0, false},    {2024, 13, 1, 0, 0, 0, false},  {2024, 1, 1, 24, 0, 0, false},
      {99, 12, 31, 0, 0, 0, false},     {2024, 1, 1, 0, 60, 0, false},  {2024, 1, 1, 0, 0, 60, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":"
                                    << c.minute << ":" << c.second);
    double d = -99;
    EXPECT_EQ(MakeDate(c.year, c.month, c.day, c.hour, c.minute, c.second, &d), c.valid);
    if (!c.valid) {
      EXPECT_EQ(d, -99);
      continue;
    }
    SystemTime st;
    ASSERT_TRUE(OleDateToSystemTime(d, &st));
    EXPECT_EQ(st.year, c.year);
    EXPECT_EQ(st.day, c.day);
    EXPECT_EQ(st.second, c.second);
  }
}

// Walks every day of the valid range: each day must be the calendar successor of the one before,
// with the weekday moving on by one; seconds and milliseconds survive a round trip.
TEST(OleDateTest, EveryDayFollowsTheCalendar) {
  auto leap = [](int y) { return y % 400 == 0 || (y % 4 == 0 && y % 100 != 0); };
  auto monthLength = [&](int y, int m) {
    constexpr int kLen[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kLen[m - 1];
  };
  SystemTime prev;
  ASSERT_TRUE(OleDateToSystemTime(-657434.0, &prev));
  for (int64_t day = -657433; day <= 2958465; ++day) {
    // Negative dates store the time of day with a minus sign.
    const int secondOfDay = static_cast<int>((day * 7919) % 86400 + 86400) % 86400;
    const int ms = static_cast<int>((day * 31) % 1000 + 1000) % 1000;
    const double frac = (secondOfDay * 1000.0 + ms) / 86400000.0;
    const double date = day >= 0 ? day + frac : day - frac;
    SystemTime st;
    ASSERT_TRUE(OleDateToSystemTimeMs(date, &st)) << day;

    const bool nextInMonth = st.year == prev.year && st.month == prev.month && st.day == prev.day + 1;
    const bool nextMonth = st.day == 1 && prev.day == monthLength(prev.year, prev.month) &&
                           ((st.year == prev.year && st.month == prev.month + 1) ||
                            (st.year == prev.year + 1 && st.month == 1 && prev.month == 12));
    ASSERT_TRUE(nextInMonth || nextMonth) << "day " << day << ": " << st.year << "-" << st.month << "-" << st.day;
    ASSERT_EQ(st.dayOfWeek, (prev.dayOfWeek + 1) % 7) << day;
    ASSERT_EQ(st.hour * 3600 + st.minute * 60 + st.second, secondOfDay) << day;
    ASSERT_EQ(st.milliseconds, ms) << day;

    double back = 0;
    ASSERT_TRUE(SystemTimeToOleDate(st, &back));
    ASSERT_NEAR(back, date, 1e-9) << day;
    prev = st;
  }
  EXPECT_EQ(prev.year, 9999);
}

TEST(OleDateTest, UnixSecondsConversions) {
  struct Case {
    double unixSeconds;
    double date;
  };
  const Case cases[] = {
      {0, 25569.0},
      {86400 * 1.5, 25570.5},
      {1735732800, 45658.5},  // 2025-01-01 12:00
      {-25569.0 * 86400, 0.0},
      {-25569.0 * 86400 - 18 * 3600, -1.25},  // 1899-12-29 06:00
      {-25569.0 * 86400 - 86400, -1.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(UnixSecondsToOleDate(c.unixSeconds), c.date) << c.unixSeconds;
    EXPECT_DOUBLE_EQ(OleDateToUnixSeconds(c.date), c.unixSeconds) << c.date;
  }
  EXPECT_DOUBLE_EQ(OleDateToUnixSeconds(-0.5), OleDateToUnixSeconds(0.5));
}

}  // namespace
}  // namespace kv::platform
