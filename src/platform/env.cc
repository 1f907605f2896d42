#include "platform/env.h"

#include <atomic>

namespace kv::platform {
namespace {
std::atomic<Env*> g_current{nullptr};

Env& RealEnv() {
  static TimeZone zone = TimeZone::FromSystem();
  static Env env{&RegistryStore::Default(), &RealFileSystem(), &RealClock(), &zone, &RealSystemInfo()};
  return env;
}
}  // namespace

Env& Env::Current() {
  Env* e = g_current.load(std::memory_order_acquire);
  return e ? *e : RealEnv();
}

void Env::SetCurrent(Env* env) { g_current.store(env == &RealEnv() ? nullptr : env, std::memory_order_release); }

}  // namespace kv::platform
