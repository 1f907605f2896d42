#pragma once
// The local time zone in the shape of the Windows time-zone information, taken from a POSIX
// TZ rule ("EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3", "UTC0", "<+0330>-3:30").
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::platform {

// A transition in the "Mm.w.d/time" form: month 1..12, week 1..5 (5 = last), weekday
// 0 = Sunday .. 6 = Saturday, local wall time of the change. Newer zones put the change at a
// negative hour or one past 23 (counted from midnight of the rule's day); then `hour` carries
// it, and a negative time gives all three time fields the minus sign.
struct TransitionRule {
  int month = 0;  // 0 = no transition
  int week = 0;
  int weekday = 0;
  int hour = 2;
  int minute = 0;
  int second = 0;
};

struct TimeZoneInfo {
  int32_t bias = 0;           // minutes, UTC = local + bias (positive west of Greenwich)
  int32_t standardBias = 0;   // always 0 for POSIX rules
  int32_t daylightBias = 0;   // minutes added to bias in daylight time (-60 for a one-hour DST)
  TransitionRule standardDate;  // when standard time begins (end of daylight time)
  TransitionRule daylightDate;  // when daylight time begins
  std::string standardName, daylightName;
};

class TimeZone {
 public:
  TimeZone() = default;  // UTC
  // Parses a POSIX TZ rule. "Jn" and "n" day forms are not used by any zone database entry we
  // meet; they, and anything unparsable, leave the zone UTC and return false.
  static bool FromPosixRule(std::string_view rule, TimeZone* out);
  // The machine's zone: $TZ when set (a rule, or ":Area/City" / "Area/City" naming a TZif file
  // under /usr/share/zoneinfo), else the rule line at the end of the TZif file /etc/localtime.
  // UTC when nothing can be read.
  static TimeZone FromSystem();

  const TimeZoneInfo& Info() const { return info_; }
  bool HasDaylight() const { return info_.daylightDate.month != 0 && info_.standardDate.month != 0; }

  // Offset (local - UTC) in seconds in force at the UTC instant `unixUtc`.
  int64_t OffsetAtUtc(int64_t unixUtc) const;
  // Offset (local - UTC) in seconds in force at the local wall time `unixLocal` (seconds since
  // 1970 read as local time). In the repeated hour the standard offset wins; in the skipped hour
  // the offset before the change.
  int64_t OffsetAtLocal(int64_t unixLocal) const;

 private:
  TimeZoneInfo info_;
};

}  // namespace kv::platform
