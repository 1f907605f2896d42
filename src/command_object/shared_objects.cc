#include "command_object/shared_objects.h"

#include "base/rights.h"
#include "config/config.h"
#include "platform/env.h"
#include "security/server_security.h"

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

components::IServerObjects& SharedServerObjects() {
  struct Objects : components::IServerObjects {
    com::ComPtr<components::IZrCalcEnvironment> Environment() override { return g_pEnvironment; }
    platform::Env& Platform() override { return platform::Env::Current(); }
    components::RunRequest OnDemandRunRequest() override {
      components::RunRequest request;
      request.storeAndForward = g_bStoreAndForwardEnabled.load() != 0;
      return request;
    }
    bool CallerMayRun() override { return security::ZrServerSecurity::CheckAccess(security::kRightExecute); }
    bool CallerMayChange(components::SharedObject kind) override {
      using security::ZrServerSecurity;
      switch (kind) {
        case components::SharedObject::Calculation:
          return ZrServerSecurity::CheckAccess(security::kRightCalc) ||
                 ZrServerSecurity::CheckAccess(security::kRightCalcScriptCalc);
        case components::SharedObject::Library:
          return ZrServerSecurity::CheckAccess(security::kRightLibrary) ||
                 ZrServerSecurity::CheckAccess(security::kRightCalcScriptLibrary);
        case components::SharedObject::Units: return ZrServerSecurity::CheckAccess(security::kRightUnits);
        case components::SharedObject::Schedule: return ZrServerSecurity::CheckAccess(security::kRightSchedule);
        case components::SharedObject::None: break;
      }
      return true;
    }
  };
  static Objects objects;
  return objects;
}

}  // namespace kv
