#pragma once
// Process-wide objects that commands share, created by the service host at start-up. Each may
// be null when its creation failed; commands that need it then fail with their error code.
#include "com/unknown.h"
#include "components/calc_components.h"
#include "components/schedule_components.h"
#include "components/server_objects.h"
#include "platform/sync.h"

namespace kv {

// The calculation environment that loads and holds calculations and libraries.
extern com::ComPtr<components::IZrCalcEnvironment> g_pEnvironment;
// The schedule: a collection of schedule groups keyed by group name (scheduler/schedule.h).
// Written only before the group threads start and after they end.
extern com::ComPtr<components::IZrCollection> g_pScheduleObject;
// The units table: a collection of measurement types keyed by type name (units/units_table.h).
// Written only at start-up and shutdown; changed in place under UnitsLock.
extern com::ComPtr<components::IZrCollection> g_pUnitConversionObject;

// The process-wide objects as the outside components see them (handed to the engine);
// CallerMayChange asks the access gate.
components::IServerObjects& SharedServerObjects();

// Guards the schedule structure, the group-thread table and the workspace settings.
platform::TrackedLock& ScheduleLock();
// Guards the units table.
platform::TrackedLock& UnitsLock();

// Holder site numbers recorded in the locks.
inline constexpr int32_t kSiteScheduleCommand = 211;
inline constexpr int32_t kSiteUnitsCommand = 208;
// The schedule supervisor: start-up probe, building the thread table, groups changed, wake all,
// shutdown; and the scheduler status command.
inline constexpr int32_t kSiteSupervisorProbe = 212;
inline constexpr int32_t kSiteSupervisorBuild = 213;
inline constexpr int32_t kSiteSupervisorGroupsChanged = 214;
inline constexpr int32_t kSiteSupervisorWakeAll = 215;
inline constexpr int32_t kSiteSupervisorShutdown = 216;
inline constexpr int32_t kSiteSchedulerStatus = 113;

}  // namespace kv
