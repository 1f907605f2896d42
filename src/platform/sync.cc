#include "platform/sync.h"

#include <algorithm>

namespace kv::platform {
namespace {

// Every Set is announced here, so WaitAny can sleep on one condition for any number of events.
struct AnySignal {
  std::mutex mu;
  std::condition_variable cv;
};

AnySignal& Any() {
  static AnySignal signal;
  return signal;
}

// Longer time-outs wait without a deadline, so that milliseconds::max() cannot overflow the clock.
constexpr std::chrono::milliseconds kForever = std::chrono::hours(24 * 365 * 10);

int64_t Deadline(Clock& clock, std::chrono::milliseconds timeout) {
  return timeout >= kForever ? Clock::kNoDeadline : clock.MonotonicMs() + timeout.count();
}

}  // namespace

void TrackedLock::Enter(int32_t site) {
  mu_.lock();
  holder_.store(site);
  count_.fetch_add(1);
}

void TrackedLock::Leave() {
  count_.fetch_sub(1);
  mu_.unlock();
}

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = true;
  }
  cv_.notify_all();
  // Taking the lock orders this notification after a WaitAny that has already scanned the events.
  AnySignal& any = Any();
  std::lock_guard<std::mutex> lock(any.mu);
  any.cv.notify_all();
}

void Event::ResetEvent() {
  std::lock_guard<std::mutex> lock(mu_);
  set_ = false;
}

bool Event::TakeLocked() {
  if (!set_) return false;
  if (!manual_) set_ = false;
  return true;
}

bool Event::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (TakeLocked()) return true;
  if (timeout.count() <= 0) return false;
  return clock_.WaitUntil(lock, cv_, Deadline(clock_, timeout), [this] { return TakeLocked(); });
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return set_;
}

int WaitAny(Event* const* events, int count, std::chrono::milliseconds timeout, Clock& clock) {
  const int64_t deadline = Deadline(clock, std::max(timeout, std::chrono::milliseconds(0)));
  AnySignal& any = Any();
  std::unique_lock<std::mutex> lock(any.mu);
  int taken = -1;
  // Scanned holding any.mu: a Set after the scan is announced only once this waits.
  auto scan = [&] {
    for (int i = 0; i < count; ++i) {
      if (events[i]->Wait(std::chrono::milliseconds(0))) {
        taken = i;
        return true;
      }
    }
    return false;
  };
  return clock.WaitUntil(lock, any.cv, deadline, scan) ? taken : -1;
}

}  // namespace kv::platform
