#pragma once
// Process-wide objects that commands share, created by the service host at start-up. Each may
// be null when its creation failed; commands that need it then fail with their error code.
#include "com/unknown.h"
#include "components/calc_components.h"
#include "platform/sync.h"

namespace kv {

// The calculation environment that loads and holds calculations and libraries.
extern com::ComPtr<components::IZrCalcEnvironment> g_pEnvironment;

// Guards the schedule structure, the group-thread table and the workspace settings.
platform::TrackedLock& ScheduleLock();
// Guards the units table.
platform::TrackedLock& UnitsLock();

// Holder site numbers recorded in the locks.
inline constexpr int32_t kSiteScheduleCommand = 211;
inline constexpr int32_t kSiteUnitsCommand = 208;

}  // namespace kv
