#pragma once
// One environment object bundles the platform facilities. Env::Current() is the one default:
// the real environment, unless a test installed its own (a registry in a temp dir, a fixed
// clock, a TZ string) with ScopedEnv. Only the top chooses it (the server's entry, tests, the
// process-wide objects of command_object/shared_objects.h); the services below are handed the Env
// they use when they are made, so what a test puts in one (a fault-injecting FileSystem, a
// fixed clock) reaches everything built on it.
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/registry_store.h"
#include "platform/system_info.h"
#include "platform/time_zone.h"

namespace kv::platform {

struct Env {
  RegistryStore* registry = nullptr;
  FileSystem* fs = nullptr;
  Clock* clock = nullptr;
  const TimeZone* zone = nullptr;
  SystemInfo* system = nullptr;

  LocalTime Time() const { return LocalTime(*clock, *zone); }

  // The environment in force. Until something is installed, the real one (built on first use).
  static Env& Current();
  static void SetCurrent(Env* env);  // nullptr restores the real one
};

// Installs an environment for the lifetime of the object (tests).
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env) : prev_(&Env::Current()) { Env::SetCurrent(env); }
  ~ScopedEnv() { Env::SetCurrent(prev_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* prev_;
};

}  // namespace kv::platform
