#include "engine/engine_registration.h"

#include "com/class_registry.h"
#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/library.h"

namespace kv::engine {

void RegisterEngineClasses() {
  com::RegisterClass<ZrCalcEnvironment>(components::CLSID_ZrCalcEnvironment,
                                        {"Kelvarin.ZrCalcEnvironment", "Kelvarin.ZrCalcEnvironment.1"});
  com::RegisterClass<ZrCalculation>(components::CLSID_ZrCalculation,
                                    {"Kelvarin.ZrCalculation", "Kelvarin.ZrCalculation.1"});
  com::RegisterClass<ZrLibrary>(components::CLSID_ZrLibrary, {"Kelvarin.ZrLibrary", "Kelvarin.ZrLibrary.1"});
}

}  // namespace kv::engine
