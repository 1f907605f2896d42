#include "service/apartment_pool.h"

#include <chrono>
#include <future>

#include "service/fault_translator.h"

namespace kv {

Apartment::Apartment(int number) : number_(number), thread_([this] { Loop(); }) {}

Apartment::~Apartment() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Apartment::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mu_);
    queue_.push_back(std::move(work));
    pending_.store(true, std::memory_order_release);
  }
  cv_.notify_one();
}

void Apartment::Run(const std::function<void()>& work) {
  if (IsCurrent()) {
    work();
    return;
  }
  std::promise<void> done;
  Post([&] {
    try {
      work();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  done.get_future().get();
}

void Apartment::Loop() {
  InstallFaultTranslator();
  for (;;) {
    std::function<void()> work;
    // A client that just got an answer often sends its next call within tens of microseconds:
    // look for it briefly before going to sleep.
    const auto spinEnd = std::chrono::steady_clock::now() + std::chrono::microseconds(kIdleSpinMicros);
    while (!pending_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < spinEnd)
      std::this_thread::yield();
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      work = std::move(queue_.front());
      queue_.pop_front();
      pending_.store(!queue_.empty(), std::memory_order_relaxed);
    }
    // Work items contain their own exceptions; one that escapes must not end the apartment.
    try {
      work();
    } catch (...) {
    }
  }
}

ApartmentPool::ApartmentPool(int size) {
  for (int i = 1; i <= size; ++i) apartments_.push_back(std::make_unique<Apartment>(i));
}

ApartmentPool::~ApartmentPool() = default;

Apartment& ApartmentPool::Next() {
  std::lock_guard lock(mu_);
  Apartment& a = *apartments_[next_];
  next_ = (next_ + 1) % apartments_.size();
  return a;
}

Apartment& ApartmentPool::At(int number) { return *apartments_.at(static_cast<size_t>(number - 1)); }

}  // namespace kv
