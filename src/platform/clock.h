#pragma once
// Wall clock and local time, and the time-outs of waits. Tests substitute a fixed clock, which
// also decides when their waits time out, and a zone from a TZ string.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/time_zone.h"

namespace kv::platform {

class Clock {
 public:
  // A deadline that never comes.
  static constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

  virtual ~Clock() = default;
  // Milliseconds since 1970-01-01 00:00 UTC.
  virtual int64_t NowUnixMs() = 0;
  // Milliseconds since an arbitrary start, never going back (a tick count).
  virtual int64_t MonotonicMs() = 0;

  // Waits on `cv`, whose mutex `lock` holds (and may release meanwhile, as a condition wait
  // does), until `ready()` returns true or MonotonicMs() reaches `deadlineMs`. `ready` is called
  // with the lock held, and never again once it has returned true, so it may take what it
  // waited for. True when it did.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadlineMs,
                         const std::function<bool()>& ready) = 0;
};

Clock& RealClock();

// A clock that stands still until told to move; MonotonicMs moves with it. Waits on it time out
// only when Set or Advance carries it to their deadline, never by real time passing, so a test
// decides exactly when a wait ends. Thread-safe.
class FixedClock : public Clock {
 public:
  explicit FixedClock(int64_t unixMs) : now_(unixMs) {}
  int64_t NowUnixMs() override { return now_.load(); }
  int64_t MonotonicMs() override { return now_.load(); }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadlineMs,
                 const std::function<bool()>& ready) override;

  // Move the clock and wake every wait on it to compare its deadline with the new time.
  void Set(int64_t unixMs);
  void Advance(int64_t ms);

  // Blocks until at least `count` waits are blocked on this clock having seen its current
  // time: a wait started before this returns will time out only when the clock moves.
  void AwaitBlockedWaiters(size_t count);

 private:
  struct Waiter {
    std::mutex* mu;
    std::condition_variable* cv;
    bool blocked = false;  // guarded by mu_
    int64_t seen = 0;      // the time it last compared with its deadline; guarded by mu_
  };
  void WakeWaiters();

  std::atomic<int64_t> now_;
  std::atomic<size_t> waiterCount_{0};  // so that moving a clock nobody waits on costs no lock
  // Lock order: wakeMu_, then a waiter's own mutex, then mu_. A waiter takes mu_ under its own
  // mutex to come, to record what it saw, and wakeMu_ holding no other lock, to leave.
  std::mutex wakeMu_;  // held while waking waiters, so none leaves (and is destroyed) meanwhile
  std::mutex mu_;
  std::condition_variable blockedChanged_;
  std::vector<Waiter*> waiters_;  // guarded by mu_
};

// Time helpers over a clock and a zone.
// The local time in `zone` at `unixMs` (UTC) as an OLE date in whole seconds.
double LocalOleDateAt(const TimeZone& zone, int64_t unixMs);

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
