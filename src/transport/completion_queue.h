#pragma once
// Hands finished work from apartment threads back to the bus thread: any thread pushes, the
// bus thread watches fd() in its event loop and takes everything queued. The eventfd is written
// only when the queue turns non-empty, so a burst of completions costs one wake-up.
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <deque>
#include <mutex>
#include <utility>

namespace kv::transport {

template <class T>
class CompletionQueue {
 public:
  CompletionQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~CompletionQueue() {
    if (fd_ >= 0) close(fd_);
  }
  CompletionQueue(const CompletionQueue&) = delete;
  CompletionQueue& operator=(const CompletionQueue&) = delete;

  // -1 when the eventfd could not be made.
  int fd() const { return fd_; }

  // Any thread. After Close() the item is destroyed here, on the pushing thread.
  void Push(T item) {
    bool wake;
    {
      std::lock_guard lock(mu_);
      if (closed_) return;
      wake = items_.empty();
      items_.push_back(std::move(item));
      queued_.store(true, std::memory_order_release);
    }
    if (wake) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
    }
  }

  // The consumer: clears the wake-up, then takes everything queued.
  std::deque<T> TakeAll() {
    uint64_t count;
    [[maybe_unused]] ssize_t n = read(fd_, &count, sizeof count);
    std::deque<T> out;
    std::lock_guard lock(mu_);
    out.swap(items_);
    queued_.store(false, std::memory_order_relaxed);
    return out;
  }

  // The consumer, right after handing out short work: waits up to `limit` for something to be
  // queued, without sleeping, so a quick answer skips a trip through the event loop.
  bool SpinUntilQueued(std::chrono::microseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!queued_.load(std::memory_order_acquire)) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::yield();
    }
    return true;
  }

  // Refuses further pushes and returns what is still queued.
  std::deque<T> Close() {
    std::deque<T> out;
    std::lock_guard lock(mu_);
    closed_ = true;
    out.swap(items_);
    return out;
  }

 private:
  const int fd_;
  std::mutex mu_;
  std::deque<T> items_;
  std::atomic<bool> queued_{false};
  bool closed_ = false;
};

}  // namespace kv::transport
