#include "platform/clock.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/ole_date.h"

namespace kv::platform {
namespace {


int64_t ReadClockMs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

class SystemClock : public Clock {
 public:
  int64_t NowUnixMs() override { return ReadClockMs(CLOCK_REALTIME); }
  int64_t MonotonicMs() override { return ReadClockMs(CLOCK_MONOTONIC); }

  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadlineMs,
                 const std::function<bool()>& ready) override {
    if (deadlineMs == kNoDeadline) {
      cv.wait(lock, ready);
      return true;
    }
    // The condition variable's steady clock is CLOCK_MONOTONIC, which MonotonicMs reads.
    return cv.wait_for(lock, std::chrono::milliseconds(deadlineMs - MonotonicMs()), ready);
  }
};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

Clock& RealClock() {
  static SystemClock clock;
  return clock;
}

bool FixedClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int64_t deadlineMs,
                           const std::function<bool()>& ready) {
  if (ready()) return true;
  if (now_.load() >= deadlineMs) return false;
  Waiter self{lock.mutex(), &cv};
  {
    std::lock_guard guard(mu_);
    waiters_.push_back(&self);
    waiterCount_.fetch_add(1);  // before this waiter reads the time: see WakeWaiters
  }
  bool result = false;
  for (;;) {
    if (ready()) {
      result = true;
      break;
    }
    const int64_t now = now_.load();
    if (now >= deadlineMs) break;
    {
      std::lock_guard guard(mu_);
      self.blocked = true;
      self.seen = now;
    }
    blockedChanged_.notify_all();
    cv.wait(lock);
    std::lock_guard guard(mu_);
    self.blocked = false;
  }
  // Leaving takes wakeMu_, so that no wake-up still holds a pointer to this waiter; it ranks
  // above the caller's mutex, which is let go of meanwhile.
  lock.unlock();
  {
    std::lock_guard wake(wakeMu_);
    std::lock_guard guard(mu_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
    waiterCount_.fetch_sub(1);
  }
  lock.lock();
  return result;
}

void FixedClock::Set(int64_t unixMs) {
  now_.store(unixMs);
  WakeWaiters();
}

void FixedClock::Advance(int64_t ms) {
  now_.fetch_add(ms);
  WakeWaiters();
}

void FixedClock::WakeWaiters() {
  // The time was stored before this load; a waiter counted after it reads the new time itself.
  if (waiterCount_.load() == 0) return;
  std::lock_guard wake(wakeMu_);
  std::vector<Waiter*> waiters;
  {
    std::lock_guard guard(mu_);
    waiters = waiters_;
  }
  for (Waiter* w : waiters) {
    // A waiter holds its mutex from reading the time until it waits: taking the mutex here
    // makes sure it either reads the new time or is already waiting for this notification.
    { std::lock_guard sync(*w->mu); }
    w->cv->notify_all();
  }
  { std::lock_guard guard(mu_); }  // as above, for AwaitBlockedWaiters
  blockedChanged_.notify_all();
}

void FixedClock::AwaitBlockedWaiters(size_t count) {
  std::unique_lock guard(mu_);
  blockedChanged_.wait(guard, [&] {
    const int64_t now = now_.load();
    size_t blocked = 0;
    for (const Waiter* w : waiters_) blocked += w->blocked && w->seen == now;
    return blocked >= count;
  });
}

// Every time here is built from calendar fields (the day plus the fraction of the day), as a
// date made from fields is, so that "a candidate equal to now" compares equal.
double LocalTime::NowUtc() const { return OleDateFromUnixMs(clock_.NowUnixMs()); }

double LocalOleDateAt(const TimeZone& zone, int64_t unixMs) {
  const int64_t secs = FloorDiv(unixMs, 1000);
  return OleDateFromUnixMs((secs + zone.OffsetAtUtc(secs)) * 1000);
}

double LocalTime::LocalNow() const { return LocalOleDateAt(zone_, clock_.NowUnixMs()); }

double LocalTime::LocalNowMs() const {
  const int64_t ms = clock_.NowUnixMs();
  return OleDateFromUnixMs(ms + zone_.OffsetAtUtc(FloorDiv(ms, 1000)) * 1000);
}

// The shifted date is put back on the millisecond, so that whole seconds stay whole seconds.
double LocalTime::UtcToLocal(double date) const {
  const int64_t now = FloorDiv(clock_.NowUnixMs(), 1000);
  return RoundToMillisecond(date + static_cast<double>(zone_.OffsetAtUtc(now)) / 86400.0);
}

double LocalTime::LocalToUtc(double date) const {
  const int64_t now = FloorDiv(clock_.NowUnixMs(), 1000);
  return RoundToMillisecond(date - static_cast<double>(zone_.OffsetAtUtc(now)) / 86400.0);
}

}  // namespace kv::platform
