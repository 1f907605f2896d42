#pragma once
// Makes the calculation, schedule and units components creatable through the class registry.
#include "components/server_objects.h"

namespace kv::engine {

// Registers ZrCalcEnvironment, ZrCalculation, ZrLibrary, ZrCollection, ZrScheduleGroup and
// ZrUnitType under their class identifiers and the ProgIDs "Kelvarin.<class name>", each also
// with ".1". Calling it again replaces the registrations. `objects` is what the components reach
// of the process (schedule groups run calculations of its environment); it must outlive every
// component, and null leaves them without one.
void RegisterEngineClasses(components::IServerObjects* objects);

}  // namespace kv::engine
