#include "scheduler/run_times.h"

#include <cmath>

#include "platform/ole_date.h"

namespace kv::scheduler {

using components::IZrScheduleGroup;
using platform::kHalfSecondDays;
using platform::kOneSecondDays;
using platform::SystemTime;

namespace {

constexpr long kAlignedScheduleClass = 864000;

constexpr double kOneMillisecondDays = 1.0 / 86400000.0;

// The first of start, start + step, start + 2 step, ... for which `more` is false, each
// candidate computed by multiplication and put on the millisecond, so that no error builds up
// and aligned times land exactly on their second. Jumps close to `target` first. A step under a
// millisecond cannot be kept on the millisecond: it is added as it is, at most kMaxRateAdditions
// times, and the adding stops when it no longer moves the time.
template <class More>
double StepWhile(double start, double step, double target, More more) {
  if (step < kOneMillisecondDays) {
    double t = start;
    for (int n = 0; n < kMaxRateAdditions && more(t); ++n) {
      const double next = t + step;
      if (next == t) break;
      t = next;
    }
    return t;
  }
  const double first = platform::RoundToMillisecond(start);
  double k = std::floor((target - first) / step) - 1.0;
  if (!(k > 0.0)) k = 0.0;
  double t = k == 0.0 ? first : platform::RoundToMillisecond(first + k * step);
  // A few steps at most, unless the values are too large for the step to move them.
  for (int n = 0; n < 64 && more(t); ++n) {
    k += 1.0;
    const double next = platform::RoundToMillisecond(first + k * step);
    if (next == t) break;
    t = next;
  }
  return t;
}

void NextMonth(int* year, int* month) {
  if (++*month > 12) {
    *month = 1;
    ++*year;
  }
}

double Periodic(double rate, double offset, const SystemTime& now, double n) {
  if (rate <= 0.0) return 0.0;
  SystemTime r;
  const int rateHour = platform::OleDateToSystemTime(rate, &r) ? r.hour : 0;
  const bool subHour = std::trunc(rate) < 1.0 && rateHour < 1;
  double base = 0;
  bool ok;
  if (std::trunc(rate) >= 1.0)
    ok = platform::MakeDate(now.year, now.month, 1, 0, 0, 0, &base);
  else if (!subHour)
    ok = platform::MakeDate(now.year, now.month, now.day, 0, 0, 0, &base);
  else
    ok = platform::MakeDate(now.year, now.month, now.day, now.hour, 0, 0, &base);
  if (!ok) return 0.0;
  if (subHour) return StepWhile(base + offset, rate, n, [n](double t) { return t < n; });
  return StepWhile(base + offset, rate, n, [n](double t) { return t <= n; });
}

double Weekly(double offset, long dayOfWeek, const SystemTime& now, double n) {
  if (dayOfWeek < 1 || dayOfWeek > 7) return 0.0;
  double day = 0;
  if (!platform::MakeDate(now.year, now.month, now.day, 0, 0, 0, &day)) return 0.0;
  double t = platform::RoundToMillisecond(day - platform::OleWeekday(day) + static_cast<double>(dayOfWeek) + offset);
  if (t < n) t = platform::RoundToMillisecond(t + 7.0);
  return t;
}

double Monthly(double offset, long dayOfMonth, const SystemTime& now, double n) {
  int year = now.year, month = now.month;
  for (int i = 0; i < 13; ++i, NextMonth(&year, &month)) {
    double d = 0;
    if (platform::MakeDate(year, month, static_cast<int>(dayOfMonth), 0, 0, 0, &d) &&
        platform::RoundToMillisecond(d + offset) > n)
      return platform::RoundToMillisecond(d + offset);
  }
  return 0.0;
}

double LastDayOfMonth(double offset, const SystemTime& now, double n) {
  int year = now.year, month = now.month, day = now.day;
  for (int i = 0; i < 13; ++i) {
    double d = 0;
    if (!platform::MakeDate(year, month, day, 0, 0, 0, &d)) return 0.0;
    const double t = platform::RoundToMillisecond(d - 1.0 + offset);
    if (t > n) return t;
    day = 1;
    NextMonth(&year, &month);
  }
  return 0.0;
}

template <class T>
T Read(IZrScheduleGroup* g, com::HRESULT (IZrScheduleGroup::*get)(T*)) {
  T v{};
  if (com::FAILED((g->*get)(&v))) return T{};
  return v;
}

// The next time stepped from `base` by `rate` (at least one second): the first step after
// `u` plus half a second, jumping over the whole steps up to `u` first.
double StepFromBase(double base, double rate, double u) {
  const double step = rate < kOneSecondDays ? kOneSecondDays : rate;
  double t = base;
  if (base <= u) {
    double k = std::trunc((u - base) / step);
    if (k == 0.0) k = 1.0;
    t = base + k * step;
  }
  return StepWhile(t, step, u + kHalfSecondDays, [u](double x) { return x < u + kHalfSecondDays; });
}

double ToUtcWhenSet(const platform::LocalTime& time, double t) { return t > 0.0 ? time.LocalToUtc(t) : t; }

}  // namespace

double ComputeNextStartTime(double rate, double offset, long dayOfMonth, long dayOfWeek, double now) {
  if (!std::isfinite(rate) || !std::isfinite(offset)) return 0.0;
  SystemTime st;
  if (!platform::OleDateToSystemTime(now, &st)) return 0.0;
  if (dayOfMonth >= 1) return Monthly(offset, dayOfMonth, st, now);
  if (dayOfMonth < 0) return LastDayOfMonth(offset, st, now);
  if (dayOfWeek != 0) return Weekly(offset, dayOfWeek, st, now);
  return Periodic(rate, offset, st, now);
}

bool IsCalendarAligned(IZrScheduleGroup* group) {
  const double rate = Read(group, &IZrScheduleGroup::GetRate);
  const long cls = Read(group, &IZrScheduleGroup::GetScheduleClass);
  return cls == kAlignedScheduleClass || (std::trunc(rate) >= 1.0 && cls < 2);
}

bool SyncNextRunTimeUtc(const platform::LocalTime& time, IZrScheduleGroup* group) {
  const double utc = Read(group, &IZrScheduleGroup::GetNextRunTimeUtc);
  const double u = time.LocalToUtc(Read(group, &IZrScheduleGroup::GetNextRunTime));
  if (u == utc) return true;
  group->PutNextRunTimeUtc(u);
  return false;
}

double ComputeRunTimes(const platform::LocalTime& time, IZrScheduleGroup* g, bool firstPass, long* priority,
                       bool* due) {
  *due = false;
  *priority = Read(g, &IZrScheduleGroup::GetPriority);
  const double n = time.LocalNow();
  const double u = time.NowUtc();
  double next = Read(g, &IZrScheduleGroup::GetNextRunTimeUtc);

  if (firstPass) {
    if (next > 0.0 && next < u) {
      const double t = ComputeNextStartTime(Read(g, &IZrScheduleGroup::GetRate), Read(g, &IZrScheduleGroup::GetOffset),
                                            Read(g, &IZrScheduleGroup::GetDayOfMonth),
                                            Read(g, &IZrScheduleGroup::GetDayOfWeek), n);
      g->PutNextRunTime(t);
      next = ToUtcWhenSet(time, t);
      g->PutComputedRunTime(next);
      g->PutNextRunTimeUtc(next);
    }
    return next;
  }
  if (!(next > 0.0)) return 0.0;

  if (IsCalendarAligned(g) && !SyncNextRunTimeUtc(time, g)) next = Read(g, &IZrScheduleGroup::GetNextRunTimeUtc);
  double result = next;
  if (u >= next - kHalfSecondDays) {
    double base = Read(g, &IZrScheduleGroup::GetComputedRunTime);
    if (!std::isfinite(base)) base = 0.0;
    const double prev = Read(g, &IZrScheduleGroup::GetLastRunTimeUtc);
    const double rate = Read(g, &IZrScheduleGroup::GetRate);
    const double offset = Read(g, &IZrScheduleGroup::GetOffset);
    const long dayOfMonth = Read(g, &IZrScheduleGroup::GetDayOfMonth);
    const long dayOfWeek = Read(g, &IZrScheduleGroup::GetDayOfWeek);
    const bool aligned = IsCalendarAligned(g);
    double t = 0.0;
    if (rate > 0.0 || dayOfMonth != 0 || dayOfWeek != 0 || aligned) {
      if (base == 0.0 || dayOfMonth != 0 || dayOfWeek != 0 || aligned) {
        t = ToUtcWhenSet(time, ComputeNextStartTime(rate, offset, dayOfMonth, dayOfWeek, n));
        // A rule may keep a candidate equal to now, and now is read in whole seconds while the
        // thread wakes just after the due time: the time just served would come back and run
        // again until the second changed. A group runs once per due time, so ask from past it.
        if (t > 0.0 && t <= next)
          t = ToUtcWhenSet(time, ComputeNextStartTime(rate, offset, dayOfMonth, dayOfWeek,
                                                      time.UtcToLocal(next) + kOneMillisecondDays));
      } else
        t = StepFromBase(base, rate, u);
      g->PutComputedRunTime(t);
    }
    result = t;
    g->PutNextRunTimeUtc(t);
    g->PutNextRunTime(t > 0.0 ? time.UtcToLocal(t) : t);
    g->PutLastRunTimeUtc(u);
    g->PutLastRunTime(time.UtcToLocal(u));
    if (prev > 0.0) g->PutRunRate(u - prev);
    *due = true;
  }
  if (result > 0.0 && Read(g, &IZrScheduleGroup::GetFirstRunTime) == 0.0)
    g->PutFirstRunTime(Read(g, &IZrScheduleGroup::GetNextRunTime));
  return result;
}

double TransitionDate(int year, int month, int week, int weekday, int hour, int minute, int second) {
  if (month < 1 || month > 12) return 0.0;
  int64_t day;
  if (week >= 5) {
    int nextYear = year, nextMonth = month;
    NextMonth(&nextYear, &nextMonth);
    day = platform::DaysFromCivil(nextYear, nextMonth, 1) - 1;
    for (int i = 0; i < 7 && platform::WeekdayFromDays(day) + 1 != weekday; ++i) --day;
  } else {
    const int64_t first = platform::DaysFromCivil(year, month, 1);
    const int w1 = platform::WeekdayFromDays(first) + 1;
    day = first + (week - 1) * 7 + ((weekday - w1 + 7) % 7);
  }
  // From the calendar fields, as a date made from fields is, so that a local date equal to the
  // transition compares equal with it.
  const int64_t seconds = day * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
  return platform::OleDateFromUnixMs(seconds * 1000);
}

double GmtOffsetDays(const platform::TimeZone& zone, double localDate) {
  const platform::TimeZoneInfo& info = zone.Info();
  int minutes = info.bias + info.standardBias;
  SystemTime st;
  if (zone.HasDaylight() && platform::OleDateToSystemTime(localDate, &st)) {
    auto when = [&](const platform::TransitionRule& r) {
      return TransitionDate(st.year, r.month, r.week, r.weekday + 1, r.hour, r.minute, r.second);
    };
    const double stdStart = when(info.standardDate);
    const double dstStart = when(info.daylightDate);
    const bool daylight = stdStart <= dstStart ? (localDate >= dstStart || localDate < stdStart)
                                               : (localDate >= dstStart && localDate < stdStart);
    if (daylight) minutes += info.daylightBias;
  }
  return minutes / 1440.0;
}

}  // namespace kv::scheduler
