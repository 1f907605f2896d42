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

#include "platform/env.h"
#include "support/temp_dir.h"

namespace kv::testing {

class FakeSystemInfo : public platform::SystemInfo {
 public:
  std::map<std::string, std::string> vars;
  std::string commonAppData, moduleFolder = "/opt/kelvarin/bin", user = "calcuser", computer = "plant7";

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
};

class TestEnv {
 public:
  explicit TestEnv(const char* tzRule = "UTC0", int64_t nowUnixMs = 1765324800000 /* 2025-12-10 00:00 UTC */)
      : registry_(dir_ / "reg/system.reg", dir_ / "reg/user.reg"), clock_(nowUnixMs) {
    system_.commonAppData = dir_ / "programdata";
    std::filesystem::create_directories(system_.commonAppData);
    platform::TimeZone::FromPosixRule(tzRule, &zone_);
    env_ = platform::Env{&registry_, &platform::RealFileSystem(), &clock_, &zone_, &system_};
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
