#include "engine/server_context.h"

#include <atomic>

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

}  // namespace kv::engine
