#pragma once
// Windows-style synchronisation: a critical section whose lock count and holder word can be
// read without entering it, and auto/manual-reset events.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace kv::platform {

// A recursive lock that records, in a holder word, the site number of the last acquisition
// (left unchanged on release). LockCount and Holder are readable at any time without entering.
class TrackedLock {
 public:
  explicit TrackedLock(const char* displayName) : name_(displayName) {}
  TrackedLock(const TrackedLock&) = delete;
  TrackedLock& operator=(const TrackedLock&) = delete;

  void Enter(int32_t site);
  void Leave();
  // Number of Enter calls not yet matched by Leave (recursion counts), 0 when free.
  int32_t LockCount() const { return count_.load(); }
  int32_t Holder() const { return holder_.load(); }
  const char* Name() const { return name_; }

  // RAII guard.
  class Scope {
   public:
    Scope(TrackedLock& lock, int32_t site) : lock_(lock) { lock_.Enter(site); }
    ~Scope() { lock_.Leave(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    TrackedLock& lock_;
  };

 private:
  const char* name_;
  std::recursive_mutex mu_;
  std::atomic<int32_t> count_{0};
  std::atomic<int32_t> holder_{0};
};

class Event {
 public:
  enum class Reset { Auto, Manual };
  // Time-outs of waits are measured on `clock`, which must outlive the event.
  explicit Event(Reset reset, bool initiallySet = false, Clock& clock = RealClock())
      : manual_(reset == Reset::Manual), clock_(clock), set_(initiallySet) {}

  void Set();
  void ResetEvent();
  // Waits up to `timeout` for the event; true when it was set (an auto-reset event is then
  // cleared for this one waiter), false on time-out. A time-out of ten years or more waits
  // without limit (milliseconds::max() is fine); zero only tests and takes the event.
  bool Wait(std::chrono::milliseconds timeout);
  bool IsSet() const;

 private:
  // Takes the event when it is set; call holding mu_.
  bool TakeLocked();

  const bool manual_;
  Clock& clock_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_;
};

// Waits on several events at once; returns the index of the first one set (taking it, as Wait
// does), or -1 on time-out, measured on `clock`. Wakes on Set without polling.
int WaitAny(Event* const* events, int count, std::chrono::milliseconds timeout, Clock& clock = RealClock());

}  // namespace kv::platform
