#pragma once
// When schedule groups run: the calendar rule that aligns a rate, an offset, a day of the month
// or a day of the week to the clock; the per-pass rule with which a group thread decides whether
// its group is due and when it runs next; the conversions between local time and UTC; and the
// server's offset from UTC. Times are OLE dates (days; 1/86400 is one second). The clock and the
// zone are the caller's, passed in. Every routine is safe to call from any thread.
#include <cstdint>

#include "components/schedule_components.h"
#include "platform/clock.h"

namespace kv::scheduler {

// Stepping by the rate: every candidate time is base + k * rate put on the millisecond, so that
// no error builds up and an aligned time lands exactly on its second (a time from the clock is
// built the same way, so a candidate equal to now compares equal). A rate under a millisecond
// cannot be kept on the millisecond: it is added as it is, at most this many times, and the
// adding also stops as soon as an addition no longer moves the time. A rate so small that the
// bound is reached before now yields the time reached,
// which lies before now; ComputeRunTimes then steps from it at its one-second floor, so such a
// group runs at most once a second.
inline constexpr int kMaxRateAdditions = 1 << 20;

// Local times are converted to and from UTC with LocalTime::UtcToLocal / LocalToUtc, which take
// the offset in force now, not the one in force at the date, as the platform's file-time
// conversions do; a calendar-aligned group relies on this to keep its wall-clock time across a
// change of the offset (SyncNextRunTimeUtc).

// The next start time after `now` (all local). The day of the month takes precedence over the
// day of the week, and the day of the week over the rate:
// - dayOfMonth 0, dayOfWeek 0, periodic: the aligned base is the first of now's month when the
//   rate is a day or more, now's midnight when the rate's hour field is 1 or more, else now's
//   whole hour; base + offset, plus the rate added repeatedly while the result is before now (a
//   rate under an hour) or not after now (an hour or more). 0.0 for a rate of 0 or below: a
//   negative rate never reaches now, so it schedules nothing, as a rate of 0 does.
// - dayOfWeek 1..7 (Sunday..Saturday): that weekday of now's week plus the offset, or a week
//   later when that is before now; 0.0 for any other non-zero value.
// - dayOfMonth 1..31: that day plus the offset of the first of the next 13 months (from now's)
//   that has it and where it lies after now; 0.0 when none does.
// - dayOfMonth below 0: the last day of a month plus the offset, the first after now (the first
//   candidate is the day before now's day).
// A non-finite rate or offset, or a now outside the OLE date range, gives 0.0.
double ComputeNextStartTime(double rate, double offset, long dayOfMonth, long dayOfWeek, double now);

// True when the group keeps its local wall-clock time: ScheduleClass 864000, or a rate of a day
// or more with ScheduleClass below 2.
bool IsCalendarAligned(components::IZrScheduleGroup* group);

// Sets NextRunTimeUtc to time.LocalToUtc(NextRunTime) unless it already equals it; true when it
// already did.
bool SyncNextRunTimeUtc(const platform::LocalTime& time, components::IZrScheduleGroup* group);

// One pass of a group thread over `group` at the time `time` tells: whether the group is due
// now (with half a second of tolerance) and its next run time in UTC, which the caller only uses
// to size its wait; 0.0 when the group is not scheduled. *priority receives the group's Priority (0 when unreadable).
//
// On the first pass a stale next time (between 0 and now) is recomputed from the calendar and
// the group is never due. On later passes a due group gets its next time: from the calendar for
// day rules and calendar-aligned groups, else stepped from ComputedRunTime by the rate (raised to
// one second when smaller) to the first step after now plus half a second; a group with no rate
// and no day rule runs this once and is then unscheduled. The run times, LastRunTime(Utc),
// RunRate and, the first time, FirstRunTime are written to the group. A non-finite
// ComputedRunTime is treated as 0.0 (no base: the calendar decides).
double ComputeRunTimes(const platform::LocalTime& time, components::IZrScheduleGroup* group, bool firstPass,
                       long* priority, bool* due);

// The offset of `zone`'s local time from UTC at the local date `localDate`, in days, positive west of
// Greenwich (UTC minus local time): the zone's bias plus its standard bias, plus its daylight
// bias when `localDate` lies in daylight time by the zone's transition rules of that date's
// year. A zone without daylight rules gives its bias alone.
double GmtOffsetDays(const platform::TimeZone& zone, double localDate);

// The local date and time at which a transition rule fires in `year`: the week-th (1..4)
// `weekday` (1 = Sunday .. 7 = Saturday) of `month`, or the last one for week 5, at
// hour:minute:second. An hour outside 0..23 (newer zones put changes at 25:00 or -1:00) moves
// the time off the rule's day, as the rule means. 0.0 for a month outside 1..12.
double TransitionDate(int year, int month, int week, int weekday, int hour, int minute, int second = 0);

}  // namespace kv::scheduler
