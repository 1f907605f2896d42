#include "platform/sync.h"

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

bool Event::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (timeout >= kForever) {
    cv_.wait(lock, [this] { return set_; });
  } else if (!set_ && timeout.count() > 0) {
    cv_.wait_for(lock, timeout, [this] { return set_; });
  }
  if (!set_) return false;
  if (!manual_) set_ = false;
  return true;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return set_;
}

int WaitAny(Event* const* events, int count, std::chrono::milliseconds timeout) {
  const bool forever = timeout >= kForever;
  const auto deadline = std::chrono::steady_clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
  AnySignal& any = Any();
  std::unique_lock<std::mutex> lock(any.mu);
  for (;;) {
    for (int i = 0; i < count; ++i) {
      if (events[i]->Wait(std::chrono::milliseconds(0))) return i;
    }
    if (forever) {
      any.cv.wait(lock);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return -1;
    } else {
      any.cv.wait_until(lock, deadline);
    }
  }
}

}  // namespace kv::platform
