#pragma once
// Makes the calculation, schedule and units components creatable through the class registry.
#include "components/server_objects.h"

namespace kv::engine {

// Registers ZrCalcEnvironment, ZrCalculation, ZrLibrary, ZrCollection, ZrScheduleGroup,
// ZrUnitType and ZrReferenceIndex under their class identifiers and the ProgIDs "Kelvarin.<class name>", each also
// with ".1". Calling it again replaces the registrations. `objects` is what the components reach
// of the process (see server_context.h): the platform their files and clocks come from, and the
// calculation environment whose calculations schedule groups run. It must outlive every
// component; null leaves them without one, and then their files cannot be read or written.
void RegisterEngineClasses(components::IServerObjects* objects);

}  // namespace kv::engine
