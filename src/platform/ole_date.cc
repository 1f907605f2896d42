#include "platform/ole_date.h"

#include <cmath>

namespace kv::platform {
namespace {

constexpr int64_t kOleEpochDays = 25569;  // 1899-12-30 -> 1970-01-01
constexpr double kMinDate = -657434.0;    // 1 January 100
constexpr double kMaxDate = 2958465.0;    // 31 December 9999
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMsPerDay = 86400000;

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Splits a date into its day number and the time of day in `unitsPerDay` units, rounded to the
// nearest unit; a time that rounds up to midnight moves to the following day.
bool SplitDate(double date, int64_t unitsPerDay, int64_t* day, int64_t* units) {
  if (!(date > kMinDate - 1.0 && date < kMaxDate + 1.0)) return false;
  const double whole = std::trunc(date);
  int64_t d = static_cast<int64_t>(whole);
  int64_t u = std::llround(std::fabs(date - whole) * static_cast<double>(unitsPerDay));
  if (u >= unitsPerDay) {
    ++d;
    u -= unitsPerDay;
  }
  *day = d;
  *units = u;
  return true;
}

bool FillFields(int64_t oleDay, int64_t msOfDay, SystemTime* out) {
  const int64_t days = oleDay - kOleEpochDays;
  SystemTime st;
  int64_t year = 0;
  CivilFromDays(days, &year, &st.month, &st.day);
  if (year < 100 || year > 9999) return false;
  st.year = static_cast<int>(year);
  st.dayOfWeek = WeekdayFromDays(days);
  const int64_t secs = msOfDay / 1000;
  st.hour = static_cast<int>(secs / 3600);
  st.minute = static_cast<int>(secs / 60 % 60);
  st.second = static_cast<int>(secs % 60);
  st.milliseconds = static_cast<int>(msOfDay % 1000);
  *out = st;
  return true;
}

}  // namespace

int64_t DaysFromCivil(int64_t year, int month, int day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = month > 2 ? month - 3 : month + 9;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = m;
  *year = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

int WeekdayFromDays(int64_t days) {
  // 1970-01-01 was a Thursday.
  return static_cast<int>(((days % 7) + 11) % 7);
}

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

bool SystemTimeToOleDate(const SystemTime& st, double* out) {
  if (st.year < 100 || st.year > 9999 || st.month < 1 || st.month > 12 || st.day < 1 || st.day > 31 ||
      st.hour < 0 || st.hour > 23 || st.minute < 0 || st.minute > 59 || st.second < 0 || st.second > 59 ||
      st.milliseconds < 0 || st.milliseconds > 999) {
    return false;
  }
  const int64_t day = DaysFromCivil(st.year, st.month, 1) + st.day - 1 + kOleEpochDays;
  const int64_t ms = ((st.hour * 60LL + st.minute) * 60 + st.second) * 1000 + st.milliseconds;
  const double frac = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  *out = day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
  return true;
}

bool OleDateToSystemTime(double date, SystemTime* out) {
  int64_t day = 0, secs = 0;
  if (!SplitDate(date, kSecondsPerDay, &day, &secs)) return false;
  return FillFields(day, secs * 1000, out);
}

bool OleDateToSystemTimeMs(double date, SystemTime* out) {
  int64_t day = 0, ms = 0;
  if (!SplitDate(date, kMsPerDay, &day, &ms)) return false;
  return FillFields(day, ms, out);
}

bool MakeDate(int year, int month, int day, int hour, int minute, int second, double* out) {
  SystemTime in;
  in.year = year;
  in.month = month;
  in.day = day;
  in.hour = hour;
  in.minute = minute;
  in.second = second;
  double date = 0;
  SystemTime back;
  if (!SystemTimeToOleDate(in, &date) || !OleDateToSystemTime(date, &back)) return false;
  if (back.year != year || back.month != month || back.day != day || back.hour != hour ||
      back.minute != minute || back.second != second) {
    return false;
  }
  *out = date;
  return true;
}

int OleWeekday(double date) {
  SystemTime st;
  if (!OleDateToSystemTime(date, &st)) return 0;
  return st.dayOfWeek + 1;
}

double OleDateFromUnixMs(int64_t unixMs) {
  const int64_t days = unixMs / kMsPerDay - ((unixMs % kMsPerDay) < 0 ? 1 : 0);
  const int64_t msOfDay = unixMs - days * kMsPerDay;
  const int64_t day = days + kOleEpochDays;
  const double frac = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
  return day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
}

double RoundToMillisecond(double date) {
  if (!(date > kMinDate - 1.0 && date < kMaxDate + 1.0)) return date;
  return OleDateFromUnixMs(std::llround(OleDateToUnixSeconds(date) * 1000.0));
}

double UnixSecondsToOleDate(double unixSeconds) {
  const double linear = unixSeconds / kSecondsPerDay + kOleEpochDays;
  if (linear >= 0) return linear;
  // Before day 0 the day is stored negative while the time still counts forward.
  const double whole = std::floor(linear);
  const double frac = linear - whole;
  return frac == 0 ? whole : whole - frac;
}

double OleDateToUnixSeconds(double date) {
  double linear = date;
  if (date < 0) {
    const double whole = std::trunc(date);
    linear = whole + (whole - date);
  }
  return (linear - kOleEpochDays) * kSecondsPerDay;
}

}  // namespace kv::platform
