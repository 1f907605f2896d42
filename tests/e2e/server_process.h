#pragma once
// The real server binary, started on a temporary socket, store, registry and data folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace kv::testing {

class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> extraArgs = {}) : extraArgs_(std::move(extraArgs)) {}
  ~ServerProcess() { Stop(); }

  std::string Socket() const { return dir_ / "bus"; }
  std::string Address() const { return "unix:path=" + Socket(); }
  std::string Store() const { return dir_ / "store"; }
  std::string RegistryDir() const { return dir_ / "reg"; }
  std::string DataDir() const { return dir_ / "data"; }

  // Starts the binary and waits until its socket exists.
  void Start() {
    pid_ = fork();
    if (pid_ == 0) {
      setenv("KELVARIN_REGISTRY_DIR", RegistryDir().c_str(), 1);
      setenv("KELVARIN_PROGRAMDATA", DataDir().c_str(), 1);
      setenv("MORVANE_CALC_BASE", Store().c_str(), 1);
      std::vector<std::string> args = {KELVARIN_BINARY, "--socket", Socket()};
      args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      int devnull = ::open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      execv(KELVARIN_BINARY, argv.data());
      _exit(127);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(Socket()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(Socket())) << "the server did not start";
  }

  // True when the process ended by itself within `timeout`.
  bool WaitExit(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitStatus_ = status;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid_ <= 0;
  }
  bool Alive() const { return pid_ > 0 && kill(pid_, 0) == 0; }
  int ExitStatus() const { return exitStatus_; }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!WaitExit(std::chrono::seconds(10))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  TempDir dir_;
  std::vector<std::string> extraArgs_;
  pid_t pid_ = -1;
  int exitStatus_ = 0;
};

}  // namespace kv::testing
