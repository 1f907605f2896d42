#pragma once
// Makes the calculation components creatable through the class registry.

namespace kv::engine {

// Registers ZrCalcEnvironment, ZrCalculation and ZrLibrary under their class identifiers and
// the ProgIDs "Kelvarin.ZrCalcEnvironment", "Kelvarin.ZrCalculation" and "Kelvarin.ZrLibrary",
// each also with ".1". Calling it again replaces the registrations.
void RegisterEngineClasses();

}  // namespace kv::engine
