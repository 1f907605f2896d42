#pragma once
// What RegisterEngineClasses hands the engine's components: the server's objects, and through
// them the platform the components use. The class registry makes components without
// constructor arguments, so they reach both here, never through a global environment.
#include "components/server_objects.h"

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::engine {

// Replaces the objects (null for none); they must outlive every component that may use them.
void SetServerObjects(components::IServerObjects* objects);
components::IServerObjects* ServerObjects();
// The platform of the server objects; null when there are none.
platform::Env* ServerPlatform();

}  // namespace kv::engine
