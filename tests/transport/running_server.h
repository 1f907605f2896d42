#pragma once
// A Server started on its own bus thread for the length of a test, with the fake command
// class registered and the last-object callback counted.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/apartment_pool.h"
#include "transport/fake_commands.h"
#include "transport/server.h"

namespace kv::testing {

// Waits for `done` to hold, giving up after a generous bound so a fault fails instead of
// hanging the suite.
inline bool Eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class RunningServer {
 public:
  RunningServer(transport::Server::Options options, ApartmentPool& pool) {
    RegisterFakeCommands();
    options.onLastObjectReleased = [this] {
      std::lock_guard lock(mu_);
      ++lastReleased_;
      cv_.notify_all();
    };
    server_ = std::make_unique<transport::Server>(std::move(options), pool);
    std::string error;
    started_ = server_->Start(&error) == 0;
    if (!started_) {
      ADD_FAILURE() << "Start: " << error;
      return;
    }
    thread_ = std::thread([this] {
      FakeCounters::busThread = std::this_thread::get_id();
      server_->Run();
    });
  }
  ~RunningServer() {
    server_->Stop();
    if (thread_.joinable()) thread_.join();
  }

  transport::Server& server() { return *server_; }
  bool started() const { return started_; }

  // Waits until the last-object callback has run `count` times in all.
  bool WaitLastReleased(int count = 1) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return lastReleased_ >= count; });
  }
  int LastReleasedCount() {
    std::lock_guard lock(mu_);
    return lastReleased_;
  }

 private:
  std::unique_ptr<transport::Server> server_;
  std::thread thread_;
  bool started_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  int lastReleased_ = 0;
};

}  // namespace kv::testing
