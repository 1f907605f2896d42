#pragma once
// Server objects for benchmarks that run the engine without a server: the engine's own
// environment, the process's platform, and every caller allowed.
#include "components/server_objects.h"
#include "engine/calc_environment.h"
#include "platform/env.h"

namespace kv::bench {

class BenchObjects : public components::IServerObjects {
 public:
  com::ComPtr<components::IZrCalcEnvironment> Environment() override { return env; }
  platform::Env& Platform() override { return platform::Env::Current(); }
  bool CallerMayChange(components::SharedObject) override { return true; }
  bool CallerMayRun() override { return true; }
  components::RunRequest OnDemandRunRequest() override { return {}; }
  com::ComPtr<engine::ZrCalcEnvironment> env;
};

}  // namespace kv::bench
