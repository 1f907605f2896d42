// The server's Run in this process, on a private socket in a scratch folder, watched step by step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/service_module.h"
#include "com/class_registry.h"
#include "command_object/shared_objects.h"
#include "components/calc_components.h"
#include "log/debug_log.h"
#include "log/log_file.h"
#include "platform/path.h"
#include "support/test_env.h"

namespace kv::app {
namespace {

// The calculation environment cannot be made: start-up logs it, still loads the schedule and
// the units, serves, and on the way out saves the schedule before the supervisor is told to
// stop.
TEST(RunSteps, StartsInOrderAndServesWithoutAnEnvironment) {
  testing::TestEnv env;
  env.system().vars["MORVANE_CALC_BASE"] = env.Path("store");
  std::ostringstream out;
  ServiceOutputs outputs;
  outputs.out = &out;
  outputs.journal = [](int, const std::string&) {};
  outputs.notify = [](const std::string&) {};
  CServiceModule module(env.env(), outputs);
  module.Init();

  std::vector<std::string> steps;
  bool scheduleAtRegistration = false, unitsAtRegistration = false, scheduleSavedBeforeStop = false;
  const std::string scheduleFile = env.Path("store") + "/bin/Schedules.zrc";
  module.onStep = [&](const std::string& step) {
    steps.push_back(step);
    if (step == "CreateEnvironment") com::ClassRegistry::Instance().Unregister(components::CLSID_ZrCalcEnvironment);
    if (step == "RegisterClassObjects") {
      scheduleAtRegistration = g_pScheduleObject != nullptr;
      unitsAtRegistration = g_pUnitConversionObject != nullptr;
    }
    if (step == "MessageLoop") {
      std::filesystem::remove(scheduleFile);
      module.Handler(CServiceModule::kControlStop);
    }
    if (step == "SignalStop") scheduleSavedBeforeStop = std::filesystem::exists(scheduleFile);
  };
  ServerOptions options;
  options.transport.socketPath = env.Path("bus");
  EXPECT_EQ(module.Start(options), 0);

  EXPECT_THAT(steps, ::testing::ElementsAre(
                         "RecordRunThread", "InitDiagnosticLog", "InitCom", "LogStarting", "InitSecurity",
                         "CreateLocks", "ReadSettings", "QueryVersion", "CreateEvents", "RefreshAuthorization",
                         "CreateEnvironment", "LookupBasePath", "MoveAfterUpgrade", "CleanStore", "LoadSchedule", "LoadUnits",
                         "HandUnitsToEnvironment", "RegisterClassObjects", "ReportStarted", "StartSupervisor",
                         "MessageLoop", "SaveSchedule", "SignalStop", "WaitForSupervisor", "StopServing",
                         "ReleaseObjects", "Pause", "DeleteLocksAndEvents", "RevokeClassObjects", "UninitCom"));
  EXPECT_TRUE(scheduleAtRegistration);
  EXPECT_TRUE(unitsAtRegistration);
  EXPECT_TRUE(scheduleSavedBeforeStop);
  EXPECT_EQ(g_pScheduleObject, nullptr);
  EXPECT_THAT(out.str(), ::testing::HasSubstr("Service started\n"));
  bool logged = false;
  for (const std::string& line : testing::ReadLogLines(platform::ToFsPath(g_DebugLog.FilePath())))
    logged = logged || line.find("Kelvarin::Run: Failed to create ZrCalcEnvironment") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_FALSE(std::filesystem::exists(env.Path("bus")));  // the socket is closed
}

}  // namespace
}  // namespace kv::app
