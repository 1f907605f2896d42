#pragma once
// Single-threaded apartments: each object lives on one worker thread and every call to it runs
// there, one at a time, so an object needs no lock. New objects are bound round robin (the
// first to apartment 1, the eleventh to the same apartment as the first). Work posted to an
// apartment runs in posting order. Threads that run calls translate machine faults into
// exceptions (see FaultTranslator), so a fault ends the call, not the process.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class Apartment {
 public:
  explicit Apartment(int number);
  ~Apartment();  // finishes queued work, then joins
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

  // Queues `work` to run on this apartment's thread. Never blocks on the work itself.
  void Post(std::function<void()> work);
  // Runs `work` on the apartment and waits for it (runs inline when called from the apartment).
  void Run(const std::function<void()>& work);
  bool IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
  int Number() const { return number_; }

 private:
  void Loop();

  static constexpr int kIdleSpinMicros = 50;

  const int number_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::atomic<bool> pending_{false};  // work is queued (read without the lock while spinning)
  std::thread thread_;
};

class ApartmentPool {
 public:
  static constexpr int kDefaultSize = 10;
  explicit ApartmentPool(int size = kDefaultSize);
  ~ApartmentPool();

  // The apartment for the next new object (round robin, starting with apartment 1).
  Apartment& Next();
  Apartment& At(int number);  // 1-based
  int Size() const { return static_cast<int>(apartments_.size()); }

 private:
  std::vector<std::unique_ptr<Apartment>> apartments_;
  std::mutex mu_;
  size_t next_ = 0;
};

}  // namespace kv
