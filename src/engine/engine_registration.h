#pragma once
// Makes the calculation, schedule and units components creatable through the class registry.

namespace kv::engine {

// Registers ZrCalcEnvironment, ZrCalculation, ZrLibrary, ZrCollection, ZrScheduleGroup and
// ZrUnitType under their class identifiers and the ProgIDs "Kelvarin.<class name>", each also
// with ".1". Calling it again replaces the registrations.
void RegisterEngineClasses();

}  // namespace kv::engine
