#pragma once
// A whole platform environment in a temporary directory: registry files, the common application
// data folder and environment variables of its own, a fixed clock and a zone from a TZ string.
// Installed as the current environment for the fixture's lifetime.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "support/temp_dir.h"

namespace kv::testing {

// Identity, folders and variables are the test's. The account and group databases are the
// machine's, so callers known by uid resolve as they would in the server, except for the
// accounts a test enters in `accounts` / `groupsOf`, which take their place.
class FakeSystemInfo : public platform::SystemInfo {
 public:
  std::map<std::string, std::string> vars;
  std::string commonAppData, moduleFolder = "/opt/kelvarin/bin", user = "calcuser", computer = "plant7",
                             home = "/home/calcuser";
  bool superUser = false;
  std::map<uid_t, std::string> accounts;                    // uid -> user name
  std::map<std::string, std::vector<std::string>> groupsOf;  // user name -> group names

  std::optional<std::string> GetEnv(const std::string& name) override {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  }
  std::string CommonAppDataFolder() override { return commonAppData; }
  std::string ModuleFolder() override { return moduleFolder; }
  std::string ModulePath() override { return moduleFolder + "/kelvarin"; }
  std::string UserName() override { return user; }
  std::string ComputerName() override { return computer; }
  std::string HomeFolder() override { return home; }
  bool IsSuperUser() override { return superUser; }
  std::optional<std::string> UserNameOfUid(uid_t uid) override {
    if (auto it = accounts.find(uid); it != accounts.end()) return it->second;
    return platform::RealSystemInfo().UserNameOfUid(uid);
  }
  std::vector<std::string> GroupNamesOfUid(uid_t uid) override {
    if (auto it = accounts.find(uid); it != accounts.end()) return GroupNamesOfUser(it->second);
    return platform::RealSystemInfo().GroupNamesOfUid(uid);
  }
  std::vector<std::string> GroupNamesOfUser(const std::string& name) override {
    if (auto it = groupsOf.find(name); it != groupsOf.end()) return it->second;
    return platform::RealSystemInfo().GroupNamesOfUser(name);
  }
};

class TestEnv {
 public:
  // Everything that touches files, the registry store included, goes through `fs`, which must
  // outlive the environment (a fault-injecting wrapper, say).
  explicit TestEnv(const char* tzRule = "UTC0", int64_t nowUnixMs = 1765324800000 /* 2025-12-10 00:00 UTC */,
                   platform::FileSystem& fs = platform::RealFileSystem())
      : registry_(fs, dir_ / "reg/system.reg", dir_ / "reg/user.reg"), clock_(nowUnixMs) {
    system_.commonAppData = dir_ / "programdata";
    std::filesystem::create_directories(system_.commonAppData);
    platform::TimeZone::FromPosixRule(tzRule, &zone_);
    env_ = platform::Env{&registry_, &fs, &clock_, &zone_, &system_};
    scope_.emplace(&env_);
  }

  const std::string& root() const { return dir_.path(); }
  std::string Path(const std::string& rel) const { return dir_ / rel; }
  platform::RegistryStore& registry() { return registry_; }
  FakeSystemInfo& system() { return system_; }
  platform::FixedClock& clock() { return clock_; }
  platform::Env& env() { return env_; }

 private:
  TempDir dir_;
  platform::RegistryStore registry_;
  platform::FixedClock clock_;
  platform::TimeZone zone_;
  FakeSystemInfo system_;
  platform::Env env_;
  std::optional<platform::ScopedEnv> scope_;
};

}  // namespace kv::testing
