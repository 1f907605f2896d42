#include "commands/shared_objects.h"

#include "platform/env.h"

namespace kv {

com::ComPtr<components::IZrCalcEnvironment> g_pEnvironment;
com::ComPtr<components::IZrCollection> g_pScheduleObject;
com::ComPtr<components::IZrCollection> g_pUnitConversionObject;

platform::TrackedLock& ScheduleLock() {
  static platform::TrackedLock lock("Schedule Threads");
  return lock;
}

platform::TrackedLock& UnitsLock() {
  static platform::TrackedLock lock("Eng Units Lock");
  return lock;
}

}  // namespace kv
