#pragma once
// Wall clock and local time. Tests substitute a fixed clock and a zone from a TZ string.
#include <cstdint>

#include "platform/time_zone.h"

namespace kv::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since 1970-01-01 00:00 UTC.
  virtual int64_t NowUnixMs() = 0;
  // Milliseconds since an arbitrary start, never going back (a tick count).
  virtual int64_t MonotonicMs() = 0;
};

Clock& RealClock();

// A clock that stands still until told to move; MonotonicMs moves with it.
class FixedClock : public Clock {
 public:
  explicit FixedClock(int64_t unixMs) : now_(unixMs) {}
  int64_t NowUnixMs() override { return now_; }
  int64_t MonotonicMs() override { return now_; }
  void Set(int64_t unixMs) { now_ = unixMs; }
  void Advance(int64_t ms) { now_ += ms; }

 private:
  int64_t now_;
};

// Time helpers over a clock and a zone.
class LocalTime {
 public:
  LocalTime(Clock& clock, const TimeZone& zone) : clock_(clock), zone_(zone) {}

  // Current UTC time as an OLE date (milliseconds kept).
  double NowUtc() const;
  // Current local time as an OLE date in whole seconds.
  double LocalNow() const;
  // Current local time as an OLE date with milliseconds (for log stamps).
  double LocalNowMs() const;
  // Convert with the offset in force NOW, not the one in force at `date`, as the platform's
  // file-time conversions do.
  double UtcToLocal(double date) const;
  double LocalToUtc(double date) const;

  const TimeZone& Zone() const { return zone_; }
  Clock& GetClock() const { return clock_; }

 private:
  Clock& clock_;
  const TimeZone& zone_;
};

}  // namespace kv::platform
