#include "commands/shared_objects.h"

#include "platform/env.h"

namespace kv {

com::ComPtr<components::IZrCalcEnvironment> g_pEnvironment;
com::ComPtr<components::IZrCollection> g_pScheduleObject;
com::ComPtr<components::IZrCollection> g_pUnitConversionObject;

components::IServerObjects& SharedServerObjects() {
  struct Objects : components::IServerObjects {
    com::ComPtr<components::IZrCalcEnvironment> Environment() override { return g_pEnvironment; }
    platform::Env& Platform() override { return platform::Env::Current(); }
  };
  static Objects objects;
  return objects;
}

platform::TrackedLock& ScheduleLock() {
  static platform::TrackedLock lock("Schedule Threads");
  return lock;
}

platform::TrackedLock& UnitsLock() {
  static platform::TrackedLock lock("Eng Units Lock");
  return lock;
}

}  // namespace kv
