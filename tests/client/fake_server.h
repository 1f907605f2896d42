#pragma once
// A stand-in for kelvarin on a private socket, answering a handful of methods the way the
// server's D-Bus face does, so the client can be driven end to end in-process. It serves one
// connection at a time, in order, on its own thread.
#include <systemd/sd-bus.h>

#include <atomic>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "message_bus.h"

namespace kv::testing {

class FakeServer {
 public:
  static constexpr char kCommandPath[] = "/com/quorlith/Kelvarin/obj/1";
  static constexpr char kCalcPath[] = "/com/quorlith/Kelvarin/obj/2";

  FakeServer();
  ~FakeServer();

  const std::string& address() const { return address_; }

  // Closes the current connection and returns once it is closed.
  void DropClient();

  // What the clients did, in order.
  struct Record {
    std::vector<std::string> created;   // class names given to CreateInstance
    std::vector<std::string> executed;  // object paths given to CalcExecute
    std::vector<std::string> released;  // paths released
    std::vector<std::string> calls;     // every typed member called
  };
  Record record() {
    std::lock_guard<std::mutex> l(mu_);
    return record_;
  }

 private:
  void AcceptLoop();
  void Serve(int fd);
  static int OnMessage(sd_bus_message* m, void* self, sd_bus_error* error);
  int Handle(sd_bus_message* m);

  std::string dir_, address_;
  int listenFd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  bool dropRequested_ = false;
  Record record_;
  std::unique_ptr<FakePaths> paths_;  // used on the server thread only
  std::thread thread_;
};

}  // namespace kv::testing
