#include "platform/clock.h"

#include <time.h>

#include "platform/ole_date.h"

namespace kv::platform {
namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr double kOleEpochDays = 25569.0;

int64_t ReadClockMs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

class SystemClock : public Clock {
 public:
  int64_t NowUnixMs() override { return ReadClockMs(CLOCK_REALTIME); }
  int64_t MonotonicMs() override { return ReadClockMs(CLOCK_MONOTONIC); }
};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

// Milliseconds since 1970 -> OLE date, keeping the negative-day form before 1899-12-30.
double UnixMsToOleDate(int64_t ms) {
  if (ms >= -static_cast<int64_t>(kOleEpochDays) * 86400000) return static_cast<double>(ms) / kMsPerDay + kOleEpochDays;
  return UnixSecondsToOleDate(static_cast<double>(ms) / 1000.0);
}

}  // namespace

Clock& RealClock() {
  static SystemClock clock;
  return clock;
}

double LocalTime::NowUtc() const { return UnixMsToOleDate(clock_.NowUnixMs()); }

double LocalTime::LocalNow() const {
  const int64_t secs = FloorDiv(clock_.NowUnixMs(), 1000);
  return UnixMsToOleDate((secs + zone_.OffsetAtUtc(secs)) * 1000);
}

double LocalTime::LocalNowMs() const {
  const int64_t ms = clock_.NowUnixMs();
  return UnixMsToOleDate(ms + zone_.OffsetAtUtc(FloorDiv(ms, 1000)) * 1000);
}

double LocalTime::UtcToLocal(double date) const {
  const int64_t now = FloorDiv(clock_.NowUnixMs(), 1000);
  return date + static_cast<double>(zone_.OffsetAtUtc(now)) / 86400.0;
}

double LocalTime::LocalToUtc(double date) const {
  const int64_t now = FloorDiv(clock_.NowUnixMs(), 1000);
  return date - static_cast<double>(zone_.OffsetAtUtc(now)) / 86400.0;
}

}  // namespace kv::platform
