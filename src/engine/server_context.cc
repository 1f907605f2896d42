#include "engine/server_context.h"

#include <atomic>

#include "platform/env.h"

namespace kv::engine {
namespace {
std::atomic<components::IServerObjects*> g_serverObjects{nullptr};
}  // namespace

void SetServerObjects(components::IServerObjects* objects) { g_serverObjects.store(objects); }

components::IServerObjects* ServerObjects() { return g_serverObjects.load(); }

platform::Env* ServerPlatform() {
  components::IServerObjects* objects = ServerObjects();
  return objects ? &objects->Platform() : nullptr;
}

platform::Env& EnginePlatform() {
  platform::Env* env = ServerPlatform();
  return env ? *env : platform::Env::Current();
}

}  // namespace kv::engine
