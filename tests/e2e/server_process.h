#pragma once
// The real server binary, started on a temporary socket, store, registry and data folder.
//
// The harness must never hang or crash the run: the server is ready when it says so on stdout
// (not when its socket file appears, which happens at bind(), before listen()); its output
// goes to a file in the test's folder, never to the runner's pipes, and is printed when the
// test fails; it runs in a process group of its own, killed on every way out, and dies with
// the test process if that crashes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/server_host.h"
#include "support/temp_dir.h"

extern char** environ;

namespace kv::testing {

// What `cmd` writes to standard output when run by the shell ("" when it cannot be started).
inline std::string Shell(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
  }
  return out;
}

class ServerProcess {
 public:
  // A loaded machine starts a server slowly; this only bounds a server that never gets there.
  static constexpr std::chrono::seconds kStartLimit{60};

  explicit ServerProcess(std::vector<std::string> extraArgs = {}) : extraArgs_(std::move(extraArgs)) {}
  ~ServerProcess() {
    Stop();
    if (::testing::Test::HasFailure())
      std::cout << "--- server output (" << OutputFile() << ") ---\n" << Output() << "--- end of server output ---\n";
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::string Socket() const { return dir_ / "bus"; }
  std::string Address() const { return "unix:path=" + Socket(); }
  std::string Store() const { return dir_ / "store"; }
  std::string RegistryDir() const { return dir_ / "reg"; }
  std::string DataDir() const { return dir_ / "data"; }
  std::string OutputFile() const { return dir_ / "server.out"; }
  // Everything the server wrote to stdout and stderr so far.
  std::string Output() const {
    std::ifstream in(OutputFile(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Starts the binary and waits until it reports that it serves.
  ::testing::AssertionResult Start(const std::map<std::string, std::string>& env = {}) {
    if (auto launched = Launch(env); !launched) return launched;
    return WaitReady();
  }

  // Starts the binary without waiting; `env` adds to or replaces the test's environment.
  ::testing::AssertionResult Launch(const std::map<std::string, std::string>& env = {}) {
    if (pid_ > 0) return ::testing::AssertionFailure() << "already started";
    // Everything the child needs is made here: between fork and exec only async-signal-safe
    // calls are allowed, and the test process may have threads.
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      size_t eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    vars.erase("NOTIFY_SOCKET");  // the runner's service manager is not ours to notify
    vars.erase("KELVARIN_SOCKET");
    vars["KELVARIN_REGISTRY_DIR"] = RegistryDir();
    vars["KELVARIN_PROGRAMDATA"] = DataDir();
    vars["MORVANE_CALC_BASE"] = Store();
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<std::string> args = {KELVARIN_BINARY, "--socket", Socket()};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out = ::open(OutputFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
      if (out >= 0) close(out);
      if (in >= 0) close(in);
      return ::testing::AssertionFailure() << "cannot open " << OutputFile() << " or /dev/null";
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      // A test process that crashes skips the destructor: the server dies with it. (The signal
      // comes when the forking thread ends; tests start servers from their main thread.)
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);  // the test process died before prctl
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      close_range(3, UINT_MAX, 0);  // no inherited pipe may outlive the test through the server
      execve(KELVARIN_BINARY, argv.data(), envp.data());
      _exit(127);
    }
    int forkErr = errno;
    close(out);
    close(in);
    if (pid_ < 0) return ::testing::AssertionFailure() << "fork: " << std::strerror(forkErr);
    setpgid(pid_, pid_);  // as the child does: whichever runs first, kill(-pid) reaches it
    return ::testing::AssertionSuccess();
  }

  // Waits for the ready line; on failure the server is killed and its output is in the message.
  ::testing::AssertionResult WaitReady() {
    const std::string ready = std::string(app::kReadyLine) + "\n";
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    for (;;) {
      std::string out = Output();
      if (out.compare(0, ready.size(), ready) == 0 || out.find("\n" + ready) != std::string::npos)
        return ::testing::AssertionSuccess();
      if (ExitedWithin(std::chrono::milliseconds(0)))
        return ::testing::AssertionFailure() << "the server ended (status " << exitStatus_ << ") before it was ready:\n"
                                             << Output();
      if (std::chrono::steady_clock::now() > deadline) {
        Kill();
        return ::testing::AssertionFailure() << "the server was not ready within " << kStartLimit.count()
                                             << " s:\n" << Output();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // True when the process ended by itself within `timeout`; its status is then ExitStatus().
  bool WaitExit(std::chrono::milliseconds timeout) { return ExitedWithin(timeout); }
  bool Alive() const { return pid_ > 0 && kill(pid_, 0) == 0; }
  int ExitStatus() const { return exitStatus_; }

  // SIGTERM, then SIGKILL for the whole group when the server does not end in time.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!ExitedWithin(std::chrono::seconds(10))) Kill();
  }

 private:
  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) exitStatus_ = status;
    pid_ = -1;
  }

  bool ExitedWithin(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      siginfo_t info{};
      // WNOWAIT leaves the leader a zombie, so its group id cannot be reused while the group is
      // killed below.
      if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
        Kill();  // the rest of its group, if any, then reaps it
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  TempDir dir_;
  std::vector<std::string> extraArgs_;
  pid_t pid_ = -1;
  int exitStatus_ = 0;
};

}  // namespace kv::testing
