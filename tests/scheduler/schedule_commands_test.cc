// The run-time commands, their bindings through the dispatch wrappers, and the schedule data of
// the calculation summary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include <fstream>
#include <functional>

#include "command_object/calc_cmd_base.h"
#include "dispatch/calc_commands.h"
#include "base/error_codes.h"
#include "scheduler/schedule.h"
#include "schedule_test_util.h"
#include "scheduler/schedule_commands.h"
#include "store/store_commands.h"

namespace kv::scheduler::testing {
namespace {

using ::testing::ElementsAre;

class ScheduleCommandsTest : public ScheduleFixture {
 protected:
  void SetUp() override {
    ScheduleFixture::SetUp();
    GetScheduleObject();
    SetNowUtc(At(2025, 1, 15, 10, 17, 3));  // 05:17:03 local
    cmd_.m_accessMode = CCalcCmdBase::kAccessApplication;  // the gate has its own tests
  }
  ComPtr<IZrScheduleGroup> Group(const char* name) {
    ComPtr<IZrScheduleGroup> g;
    EXPECT_EQ(FindGroup(Bstr::FromUtf8(name), &g), com::S_OK);
    return g;
  }
  // The group as the schedule file holds it.
  ComPtr<IZrScheduleGroup> SavedGroup(const char* name) {
    ComPtr<IZrCollection> saved;
    EXPECT_EQ(LoadCollection(ScheduleFilePath(), &saved), com::S_OK);
    ComPtr<IZrScheduleGroup> g;
    if (saved) ItemAs(saved.Get(), Bstr::FromUtf8(name), &g);
    return g;
  }

  ZrCalcCmdObject cmd_;
};

TEST_F(ScheduleCommandsTest, ScheduleAndGroupChecks) {
  const std::function<bool(const char*)> commands[] = {
      [&](const char* g) {
        double t = 0;
        return scheduler::ComputeNewRunTime(cmd_, Bstr::FromUtf8(g), &t);
      },
      [&](const char* g) { return scheduler::SetComputedRunTime(cmd_, Bstr::FromUtf8(g), 45000.0); },
      [&](const char* g) {
        long ms = 0;
        return scheduler::GetScheduleExecutionTime(cmd_, Bstr::FromUtf8(g), &ms);
      },
  };
  for (size_t i = 0; i < std::size(commands); ++i) {
    SCOPED_TRACE(i);
    cmd_.SetCommandError(CMDERR_INVALID_PASSWORD);
    EXPECT_TRUE(commands[i]("OneHour"));
    EXPECT_EQ(cmd_.m_lastError, 0);
    EXPECT_FALSE(commands[i]("onehour"));
    EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_SCHEDULE_GROUP);
    auto schedule = g_pScheduleObject;
    g_pScheduleObject = nullptr;
    EXPECT_FALSE(commands[i]("OneHour"));
    EXPECT_EQ(cmd_.m_lastError, CMDERR_SCHEDULE_NOT_FOUND);
    g_pScheduleObject = schedule;
  }
}

TEST_F(ScheduleCommandsTest, ComputeNewRunTimeSetsOnlyTheComputedTime) {
  double local = 0;
  ASSERT_TRUE(scheduler::ComputeNewRunTime(cmd_, Bstr::FromUtf8("FiveSec"), &local));
  EXPECT_NEAR(local, At(2025, 1, 15, 5, 17, 5), kTolerance);
  const GroupState s = ReadGroup(Group("FiveSec").Get());
  EXPECT_NEAR(s.computedRunTime, At(2025, 1, 15, 10, 17, 5), kTolerance);
  EXPECT_EQ(s.nextRunTime, 1.0);
  EXPECT_EQ(s.nextRunTimeUtc, 1.0);
  auto saved = SavedGroup("FiveSec");
  ASSERT_TRUE(saved);
  EXPECT_EQ(ReadGroup(saved.Get()).computedRunTime, s.computedRunTime);

  // No output wanted; a group without a time gets none.
  EXPECT_TRUE(scheduler::ComputeNewRunTime(cmd_, Bstr::FromUtf8("OneHour"), nullptr));
  ASSERT_EQ(CreateScheduleGroup(g_pScheduleObject.Get(), Bstr::FromUtf8("Idle"), 0, 0, 0, 0, 0), com::S_OK);
  EXPECT_TRUE(scheduler::ComputeNewRunTime(cmd_, Bstr::FromUtf8("Idle"), &local));
  EXPECT_EQ(local, 0.0);
  EXPECT_EQ(ReadGroup(Group("Idle").Get()).computedRunTime, 0.0);
}

TEST_F(ScheduleCommandsTest, SetComputedRunTimeConvertsPositiveTimes) {
  struct Case {
    double local, utc;
  } cases[] = {{At(2025, 1, 16, 6, 0), At(2025, 1, 16, 11, 0)}, {0.0, 0.0}, {-2.5, -2.5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.local);
    ASSERT_TRUE(scheduler::SetComputedRunTime(cmd_, Bstr::FromUtf8("OneDay"), c.local));
    EXPECT_NEAR(ReadGroup(Group("OneDay").Get()).computedRunTime, c.utc, kTolerance);
    EXPECT_NEAR(ReadGroup(SavedGroup("OneDay").Get()).computedRunTime, c.utc, kTolerance);
  }
}

TEST_F(ScheduleCommandsTest, ExecutionTime) {
  Group("OneMinute")->PutExecutionTime(1234);
  long ms = 0;
  EXPECT_TRUE(scheduler::GetScheduleExecutionTime(cmd_, Bstr::FromUtf8("OneMinute"), &ms));
  EXPECT_EQ(ms, 1234);
  ms = 99;
  EXPECT_FALSE(scheduler::GetScheduleExecutionTime(cmd_, Bstr::FromUtf8("TwoMinutes"), &ms));
  EXPECT_EQ(ms, -1);
}

// The calendar commands read the clock and the zone of the Env the command object was made with.
TEST_F(ScheduleCommandsTest, CalendarCommandsUseTheCommandObjectsEnv) {
  platform::TimeZone tokyo;
  ASSERT_TRUE(platform::TimeZone::FromPosixRule("JST-9", &tokyo));
  platform::FixedClock clock(UnixMs(At(2025, 1, 15, 22, 30)));  // 07:30 on the 16th in Tokyo
  platform::Env elsewhere = env_.env();
  elsewhere.zone = &tokyo;
  elsewhere.clock = &clock;
  ZrCalcCmdObject cmd(elsewhere);
  EXPECT_DOUBLE_EQ(scheduler::GetServerGmtOffset(cmd, 0.0), -540 / 1440.0);
  EXPECT_NEAR(scheduler::ComputeNextStartTime(cmd, 1.0 / 24, 0, 0, 0), At(2025, 1, 16, 8, 0), kTolerance);
}

TEST_F(ScheduleCommandsTest, CalendarCommandsLeaveTheLastError) {
  cmd_.SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_NEAR(scheduler::ComputeNextStartTime(cmd_, 1.0 / 24, 0, 0, 0), At(2025, 1, 15, 6, 0), kTolerance);
  EXPECT_DOUBLE_EQ(scheduler::GetServerGmtOffset(cmd_, 0.0), 300 / 1440.0);  // now, in winter
  EXPECT_DOUBLE_EQ(scheduler::GetServerGmtOffset(cmd_, At(2025, 7, 1, 12, 0)), 240 / 1440.0);
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_PASSWORD);
}

TEST_F(ScheduleCommandsTest, ThroughTheDispatchWrappers) {
  auto call = [](ICommandObject* obj, const char* name, std::vector<Variant>& args, Variant* result) {
    com::DISPID id;
    EXPECT_EQ(obj->GetIDsOfNames(name, &id), com::S_OK) << name;
    return obj->Invoke(id, com::DISPATCH_METHOD, args, result);
  };
  auto lastError = [](ZrCalcCommandsBase* obj) {
    long code = 0;
    obj->Command().GetLastCommandError(&code);
    return code;
  };
  auto main = com::MakeCom<ZrCalcCommands>();
  main->Command().m_accessMode = CCalcCmdBase::kAccessApplication;  // the gate has its own tests
  auto app = com::MakeCom<ZrCalcAppCommands>();
  Variant result;

  std::vector<Variant> compute{Variant::Str("FiveSec"), Variant::Date(0)};
  ASSERT_EQ(call(main.Get(), "ComputeNewRunTime", compute, &result), com::S_OK);
  EXPECT_EQ(result, Variant::Bool(true));
  ASSERT_EQ(compute[1].vt(), com::VT_DATE);
  EXPECT_NEAR(compute[1].date(), At(2025, 1, 15, 5, 17, 5), kTolerance);

  std::vector<Variant> execution{Variant::Str("Nope"), Variant::I4(5)};
  ASSERT_EQ(call(main.Get(), "GetScheduleExecutionTime", execution, &result), com::S_OK);
  EXPECT_EQ(result, Variant::Bool(false));
  EXPECT_EQ(execution[1], Variant::I4(-1));
  EXPECT_EQ(lastError(main.Get()), CMDERR_INVALID_SCHEDULE_GROUP);

  std::vector<Variant> setComputed{Variant::Str("OneDay"), Variant::Date(At(2025, 1, 16, 6, 0))};
  ASSERT_EQ(call(main.Get(), "SetComputedRunTime", setComputed, &result), com::S_OK);
  EXPECT_EQ(result, Variant::Bool(true));

  for (ICommandObject* obj : {static_cast<ICommandObject*>(main.Get()), static_cast<ICommandObject*>(app.Get())}) {
    std::vector<Variant> next{Variant::Date(5.0 / 86400), Variant::Date(0), Variant::I4(0), Variant::I4(0)};
    ASSERT_EQ(call(obj, "ComputeNextStartTime", next, &result), com::S_OK);
    ASSERT_EQ(result.vt(), com::VT_DATE);
    EXPECT_NEAR(result.date(), At(2025, 1, 15, 5, 17, 5), kTolerance);
    std::vector<Variant> offset{Variant::Date(At(2025, 7, 1, 12, 0))};
    ASSERT_EQ(call(obj, "GetServerGmtOffset", offset, &result), com::S_OK);
    EXPECT_EQ(result, Variant::Date(240 / 1440.0));
  }

  // The application interface refuses the group commands and leaves the in/out argument.
  std::vector<Variant> refused{Variant::Str("FiveSec"), Variant::Date(7)};
  ASSERT_EQ(call(app.Get(), "ComputeNewRunTime", refused, &result), com::S_OK);
  EXPECT_EQ(result, Variant::Bool(false));
  EXPECT_EQ(refused[1], Variant::Date(7));
  EXPECT_EQ(lastError(app.Get()), CMDERR_SCHEDULE_NOT_SUPPORTED);
}

// A time past the OLE date range cannot be shown by any client: the commands answer 0.0 ("no
// run time") instead.
TEST_F(ScheduleCommandsTest, RunTimesStayInsideTheOleDateRange) {
  struct Case {
    double rate, offset;
    long dayOfMonth, dayOfWeek;
  } cases[] = {
      {0, 1e9, 1, 0},       // monthly, an offset of a billion days
      {0, 1e9, -1, 0},      // last day of the month
      {0, 1e9, 0, 1},       // weekly
      {1e9, 0, 0, 0},       // a rate of a billion days
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rate << " " << c.offset << " " << c.dayOfMonth << " " << c.dayOfWeek);
    EXPECT_EQ(scheduler::ComputeNextStartTime(cmd_, c.rate, c.offset, c.dayOfMonth, c.dayOfWeek), 0.0);
  }
  ASSERT_TRUE(scheduler::SetComputedRunTime(cmd_, Bstr::FromUtf8("OneDay"), std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(ReadGroup(Group("OneDay").Get()).computedRunTime, 0.0);
  ASSERT_TRUE(scheduler::SetComputedRunTime(cmd_, Bstr::FromUtf8("OneDay"), 1e12));
  EXPECT_EQ(ReadGroup(Group("OneDay").Get()).computedRunTime, 0.0);
}

class SummaryTest : public ScheduleCommandsTest {
 protected:
  void SetUp() override {
    ScheduleCommandsTest::SetUp();
    for (const char* f : {"Calc/Flow1.zrc", "Calc/Flow2.zrc", "Calc/Area3/Pump.zrc"}) {
      std::filesystem::create_directories(std::filesystem::path(g_BasePath + "/" + f).parent_path());
      std::ofstream(g_BasePath + "/" + f) << "";
    }
    cmd_.SetBaseDirectory("");  // made before the fixture chose the store
  }
  static std::vector<Variant> Elements(const Variant& v) {
    std::vector<Variant> out;
    if (!v.IsArray()) return out;
    for (size_t i = 0; i < v.array().Count(); ++i) out.push_back(v.array().At(i));
    return out;
  }
};

TEST_F(SummaryTest, ScheduleDataPerCalculation) {
  ComPtr<com::IDispatch> item;
  ASSERT_EQ(Group("FiveSec")->AddItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
  ASSERT_EQ(Group("FiveSec")->AddItem(Bstr::FromUtf8("Area3\\Pump"), &item), com::S_OK);
  ASSERT_EQ(Group("OneHour")->AddItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
  ASSERT_EQ(Group("OneHour")->AddItem(Bstr::FromUtf8("Gone"), &item), com::S_OK);  // no such calculation

  Variant summary;
  store::GetCalculationSummary(cmd_, &summary);
  ASSERT_TRUE(summary.IsArray());
  ASSERT_EQ(summary.array().Count(), 6u);
  const auto& a = summary.array();
  std::vector<std::string> names;
  com::VariantToStringList(a.At(0), &names);
  ASSERT_THAT(names, ElementsAre("Area3\\Pump", "Flow1", "Flow2"));
  EXPECT_THAT(Elements(a.At(2)), ElementsAre(Variant::I4(1), Variant::I4(2), Variant::I4(0)));
  EXPECT_THAT(Elements(a.At(3)), ElementsAre(Variant::Str("FiveSec"), Variant::Str("FifteenSec"),
                                             Variant::Str("OneMinute"), Variant::Str("OneHour"),
                                             Variant::Str("OneDay")));
  EXPECT_THAT(Elements(a.At(5)), ElementsAre(Variant::Str("FiveSec"), Variant::Str("FiveSec"), Variant::Str("")));
  EXPECT_EQ(ScheduleLock().Holder(), kSiteScheduleCommand);

  // The summary leaves the previous error for the client to read.
  cmd_.SetCommandError(CMDERR_INVALID_PASSWORD);
  store::GetCalculationSummary(cmd_, &summary);
  EXPECT_EQ(cmd_.m_lastError, CMDERR_INVALID_PASSWORD);

  g_pScheduleObject = nullptr;
  store::GetCalculationSummary(cmd_, &summary);
  EXPECT_THAT(Elements(summary.array().At(2)), ElementsAre(Variant::I4(0), Variant::I4(0), Variant::I4(0)));
  EXPECT_TRUE(summary.array().At(3).IsArray());
  EXPECT_EQ(summary.array().At(3).array().Count(), 0u);
}

}  // namespace
}  // namespace kv::scheduler::testing
