#pragma once
// OLE dates: a double counting days from 30 December 1899 00:00; the fraction is the time of
// day. Before day 0 the fraction still counts forward from midnight (-1.25 is 29 December 1899
// 06:00), as automation dates do. Conversions are exact to the millisecond.
#include <cstdint>

namespace kv::platform {

// Calendar fields in the layout of the Windows SYSTEMTIME.
struct SystemTime {
  int year = 0;
  int month = 0;      // 1..12
  int dayOfWeek = 0;  // 0 = Sunday .. 6 = Saturday (filled by conversions from a date)
  int day = 0;        // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

// Fields -> date. Fails (false) for a year outside 100..9999, a month outside 1..12, a day
// outside 1..31, hour > 23, minute > 59, second > 59 or milliseconds > 999. A day beyond the
// month's end is carried into the next month (31 April -> 1 May), as the platform does; use
// MakeDate to refuse such dates.
bool SystemTimeToOleDate(const SystemTime& st, double* out);

// Date -> fields, rounded to the nearest second as the platform's conversion does (the
// milliseconds come back 0). Fails for dates outside 1 January 100 .. 31 December 9999.
bool OleDateToSystemTime(double date, SystemTime* out);

// The same conversion that keeps milliseconds (nearest millisecond), for time stamps.
bool OleDateToSystemTimeMs(double date, SystemTime* out);

// Valid only when both conversions succeed and every field comes back unchanged, so 31 April
// or 30 February is refused, not carried. On success *out holds the date.
bool MakeDate(int year, int month, int day, int hour, int minute, int second, double* out);

// Weekday of a date numbered 1 = Sunday .. 7 = Saturday (0 when the date is out of range).
int OleWeekday(double date);

// Seconds since 1970-01-01 00:00 (UTC or local, the date carries no zone) <-> OLE date.
// seconds / 86400 + 25569 from 30 December 1899 on; earlier instants take the negative-day form
// above (and are read back from it).
double UnixSecondsToOleDate(double unixSeconds);
double OleDateToUnixSeconds(double date);

// Milliseconds since 1970 -> OLE date built as the calendar conversion builds it (the day plus
// the fraction of the day), so that it equals, bit for bit, SystemTimeToOleDate of the same
// fields: a time taken from the clock then compares equal with a date built from fields.
double OleDateFromUnixMs(int64_t unixMs);
// `date` moved to the nearest millisecond, in that same form; a date outside the OLE range or
// not a number comes back unchanged.
double RoundToMillisecond(double date);

// Proleptic Gregorian day number counted from 1970-01-01 (negative before), and back. Exact
// for any year an int64 day count can hold; month 1..12, day 1..31 (a day past the month's end
// simply counts on into the next month).
int64_t DaysFromCivil(int64_t year, int month, int day);
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day);
// 0 = Sunday .. 6 = Saturday.
int WeekdayFromDays(int64_t days);
int DaysInMonth(int64_t year, int month);

inline constexpr double kHalfSecondDays = 5.787037037037037e-06;
inline constexpr double kOneSecondDays = 1.1574074074074073e-05;

}  // namespace kv::platform
