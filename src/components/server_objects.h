#pragma once
// What the outside components may reach of the server process. The service host hands one to
// the engine when it registers the engine's classes, so the components never reach into the
// command layers for the process-wide objects.
#include "com/unknown.h"
#include "components/calc_components.h"

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::components {

class IServerObjects {
 public:
  virtual ~IServerObjects() = default;
  // The calculation environment in force; null when it could not be created. Thread-safe.
  virtual com::ComPtr<IZrCalcEnvironment> Environment() = 0;
  // The platform the components use (files, clock, zone, registry store, system).
  virtual platform::Env& Platform() = 0;
};

}  // namespace kv::components
