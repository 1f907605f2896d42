#pragma once
// What RegisterEngineClasses hands the engine's components: the server's objects, and through
// them the platform the components use. The class registry makes components without
// constructor arguments, so they reach both through this one process-wide pointer, set when
// the classes are registered.
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
// The platform the components use: the server objects', or the process's current one before any
// are registered (a component made outside a server, as tools and tests make them).
platform::Env& EnginePlatform();

}  // namespace kv::engine
