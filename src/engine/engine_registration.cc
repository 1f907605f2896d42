#include "engine/engine_registration.h"

#include "com/class_registry.h"
#include "components/units_components.h"
#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/collection.h"
#include "engine/library.h"
#include "engine/reference_index.h"
#include "engine/schedule_group.h"
#include "engine/server_context.h"
#include "engine/unit_type.h"
#include "engine/workspace_service.h"

namespace kv::engine {

void RegisterEngineClasses(components::IServerObjects* objects) {
  SetServerObjects(objects);
  com::RegisterClass<ZrCalcEnvironment>(components::CLSID_ZrCalcEnvironment,
                                        {"Kelvarin.ZrCalcEnvironment", "Kelvarin.ZrCalcEnvironment.1"});
  com::RegisterClass<ZrCalculation>(components::CLSID_ZrCalculation,
                                    {"Kelvarin.ZrCalculation", "Kelvarin.ZrCalculation.1"});
  com::RegisterClass<ZrLibrary>(components::CLSID_ZrLibrary, {"Kelvarin.ZrLibrary", "Kelvarin.ZrLibrary.1"});
  com::RegisterClass<ZrCollection>(components::CLSID_ZrCollection,
                                   {"Kelvarin.ZrCollection", "Kelvarin.ZrCollection.1"});
  com::RegisterClass<ZrScheduleGroup>(components::CLSID_ZrScheduleGroup,
                                      {"Kelvarin.ZrScheduleGroup", "Kelvarin.ZrScheduleGroup.1"});
  com::RegisterClass<ZrUnitType>(components::CLSID_ZrUnitType, {"Kelvarin.ZrUnitType", "Kelvarin.ZrUnitType.1"});
  com::RegisterClass<ZrWorkspaceService>(components::CLSID_ZrWorkspaceService, {"Kelvarin.ZrWorkspaceService"});
  com::RegisterClass<ZrReferenceIndex>(components::CLSID_ZrReferenceIndex,
                                       {"Kelvarin.ZrReferenceIndex", "Kelvarin.ZrReferenceIndex.1"});
}

}  // namespace kv::engine
