#pragma once
// Shared pieces of the scheduler tests: calendar times as OLE dates, and a fixture with a store
// directory, the engine classes, a fixed clock in the zone "EST5EDT,M3.2.0,M11.1.0" and no
// schedule.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "com/class_registry.h"
#include "command_object/shared_objects.h"
#include "components/schedule_components.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "platform/ole_date.h"
#include "scheduler/schedule_threads.h"
#include "support/test_env.h"

namespace kv::scheduler::testing {

using com::Bstr;
using com::ComPtr;
using components::IZrCollection;
using components::IZrScheduleGroup;

inline constexpr double kSecond = 1.0 / 86400.0;
inline constexpr double kMinute = 60 * kSecond;
inline constexpr double kHour = 3600 * kSecond;
// Comparisons of times built by repeated additions: well under a millisecond.
inline constexpr double kTolerance = 1e-9;

// The OLE date of a calendar time plus `seconds` (which may carry a fraction).
inline double At(int year, int month, int day, int hour = 0, int minute = 0, double seconds = 0) {
  double date = 0;
  EXPECT_TRUE(platform::MakeDate(year, month, day, hour, minute, 0, &date));
  return date + seconds * kSecond;
}

// Every property of a group, read through IZrScheduleGroup.
struct GroupState {
  std::string name;
  long scheduleClass = 0, dayOfMonth = 0, dayOfWeek = 0, executionTime = 0, priority = 0;
  double rate = 0, offset = 0, lastRunTime = 0, nextRunTime = 0, runRate = 0, computedRunTime = 0,
         nextRunTimeUtc = 0, lastRunTimeUtc = 0, firstRunTime = 0, changeStamp = 0;
};

inline GroupState ReadGroup(components::IZrScheduleGroup* g) {
  GroupState s;
  com::Bstr name;
  g->GetName(&name);
  s.name = name.ToUtf8();
  g->GetScheduleClass(&s.scheduleClass);
  g->GetDayOfMonth(&s.dayOfMonth);
  g->GetDayOfWeek(&s.dayOfWeek);
  g->GetExecutionTime(&s.executionTime);
  g->GetPriority(&s.priority);
  g->GetRate(&s.rate);
  g->GetOffset(&s.offset);
  g->GetLastRunTime(&s.lastRunTime);
  g->GetNextRunTime(&s.nextRunTime);
  g->GetRunRate(&s.runRate);
  g->GetComputedRunTime(&s.computedRunTime);
  g->GetNextRunTimeUtc(&s.nextRunTimeUtc);
  g->GetLastRunTimeUtc(&s.lastRunTimeUtc);
  g->GetFirstRunTime(&s.firstRunTime);
  g->GetChangeStamp(&s.changeStamp);
  return s;
}

inline int64_t UnixMs(double oleDate) { return std::llround(platform::OleDateToUnixSeconds(oleDate) * 1000.0); }

class ScheduleFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_BasePath = env_.root() + "/store";
    std::filesystem::create_directories(g_BasePath);
    engine::RegisterEngineClasses(&SharedServerObjects());
    g_pScheduleObject = nullptr;
  }
  void TearDown() override {
    g_pScheduleObject = nullptr;
    g_ScheduleThreads.clear();
  }

  // Winter (UTC-5) unless a test moves the clock.
  void SetNowUtc(double utc) { env_.clock().Set(UnixMs(utc)); }

  ComPtr<IZrScheduleGroup> NewGroup(const char* name = "G") {
    ComPtr<IZrScheduleGroup> group;
    EXPECT_EQ(com::CreateInstance(components::CLSID_ZrScheduleGroup, &group), com::S_OK);
    group->PutName(Bstr::FromUtf8(name));
    return group;
  }

  std::string BinPath(const std::string& file) const { return g_BasePath + "/bin/" + file; }

  kv::testing::TestEnv env_{"EST5EDT,M3.2.0,M11.1.0", 1736935200000 /* 2025-01-15 10:00 UTC */};
};

}  // namespace kv::scheduler::testing
