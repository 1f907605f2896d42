#pragma once
// What the outside components may reach of the server process. The service host hands one to
// the engine when it registers the engine's classes, so the components never reach into the
// command layers for the process-wide objects.
#include <cstdint>

#include "com/unknown.h"
#include "components/calc_components.h"

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::components {

// Objects every client of the server reaches (the main store's calculations, the libraries, the
// units table with its measurement types and units, the schedule with its groups and items), and
// so may change only with the right the commands that change them ask for.
enum class SharedObject : uint8_t { None, Calculation, Library, Units, Schedule };

// An object that can be marked as shared: its changes through IDispatch (property puts and the
// methods that change it) then need the calling client to hold the right for `kind`. The mark
// reaches the objects it holds, and those it takes in later.
class ISharedObject : public virtual com::IUnknown {
 public:
  virtual void GuardChanges(SharedObject kind) = 0;
  virtual SharedObject Guard() const = 0;
};

class IServerObjects {
 public:
  virtual ~IServerObjects() = default;
  // The calculation environment in force; null when it could not be created. Thread-safe.
  virtual com::ComPtr<IZrCalcEnvironment> Environment() = 0;
  // The platform the components use (files, clock, zone, registry store, system).
  virtual platform::Env& Platform() = 0;
  // Whether the client whose call is being served may change an object of `kind`, as the access
  // gate answers for the rights the store commands ask (either of a two-right pair; the
  // CalcScript-only rule is the commands' to apply when the object is saved). True for None.
  virtual bool CallerMayChange(SharedObject kind) = 0;
  // Whether the client whose call is being served may run calculations (a run writes the process
  // tags every client shares): the execution right, as the execution commands ask it.
  virtual bool CallerMayRun() = 0;
  // The request of a run on demand (Calculate, the execution commands): no context, and
  // store-and-forward as the server is configured now. Thread-safe.
  virtual RunRequest OnDemandRunRequest() = 0;
};

}  // namespace kv::components
