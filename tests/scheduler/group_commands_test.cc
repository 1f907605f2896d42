// The commands that read and change schedule groups and their items, called by name through the
// dispatch wrappers of both interfaces, as a client's call reaches them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/error_codes.h"
#include "dispatch/calc_commands.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler_supervisor.h"
#include "schedule_test_util.h"

namespace kv::scheduler::testing {
namespace {

using ::testing::ElementsAre;

constexpr double kInf = std::numeric_limits<double>::infinity();

class GroupCommandsTest : public ScheduleFixture {
 protected:
  void SetUp() override {
    ScheduleFixture::SetUp();
    GetScheduleObject();
    main_ = com::MakeCom<ZrCalcCommands>();
    main_->Command().m_accessMode = CCalcCmdBase::kAccessApplication;  // the gate has its own tests
    app_ = com::MakeCom<ZrCalcAppCommands>();
  }

  // Calls `name` on `obj`; the arguments come back with their out values.
  Variant Call(ZrCalcCommandsBase* obj, const char* name, std::vector<Variant> args = {},
               std::vector<Variant>* back = nullptr) {
    com::DISPID id;
    EXPECT_EQ(obj->GetIDsOfNames(name, &id), com::S_OK) << name;
    Variant result;
    EXPECT_EQ(obj->Invoke(id, com::DISPATCH_METHOD, args, &result), com::S_OK) << name;
    if (back) *back = args;
    return result;
  }
  Variant Call(const char* name, std::vector<Variant> args = {}, std::vector<Variant>* back = nullptr) {
    return Call(main_.Get(), name, std::move(args), back);
  }
  long LastError(ZrCalcCommandsBase* obj = nullptr) { return (obj ? obj : main_.Get())->Command().m_lastError; }
  static std::vector<std::string> List(const Variant& v) {
    std::vector<std::string> out;
    com::VariantToStringList(v, &out);
    return out;
  }
  // The schedule file as the next start reads it.
  std::vector<std::string> SavedGroupNames() {
    ComPtr<IZrCollection> saved;
    EXPECT_EQ(LoadCollection(ScheduleFilePath(), &saved), com::S_OK);
    Variant names;
    if (saved) saved->NameList(&names);
    return List(names);
  }

  ComPtr<ZrCalcCommands> main_;
  ComPtr<ZrCalcAppCommands> app_;
};

const Variant kTrue = Variant::Bool(true);
const Variant kFalse = Variant::Bool(false);

TEST_F(GroupCommandsTest, GroupsAndItemsLifeCycle) {
  EXPECT_THAT(List(Call("GetScheduleGroupList")),
              ElementsAre("FiveSec", "FifteenSec", "OneMinute", "OneHour", "OneDay"));
  EXPECT_EQ(Call("AddScheduleGroup", {Variant::Str("Line1"), Variant::Date(30 * kSecond), Variant::R8(0),
                                      Variant::I4(0), Variant::I4(0)}),
            kTrue);
  EXPECT_EQ(ScheduleLock().Holder(), kSiteScheduleCommand);
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), 0);
    ASSERT_EQ(g_ScheduleThreads.count("Line1"), 1u);
    EXPECT_TRUE(g_ScheduleThreads["Line1"]->startRequested);
  }
  EXPECT_TRUE(GroupsChangedEvent().Wait(std::chrono::milliseconds(0)));

  EXPECT_EQ(Call("AddScheduledItem", {Variant::Str("Line1"), Variant::Str("Area3\\Flow1")}), kTrue);
  EXPECT_EQ(Call("AddScheduledItem", {Variant::Str("OneHour"), Variant::Str("Area3\\Flow1")}), kTrue);
  EXPECT_EQ(Call("AddScheduledItem", {Variant::Str("Line1"), Variant::Str("Area3\\Flow1")}), kFalse);  // twice
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(Call("AddScheduledItem", {Variant::Str("Nope"), Variant::Str("X")}), kFalse);  // silent
  EXPECT_EQ(LastError(), 0);
  EXPECT_THAT(List(Call("GetScheduledItems", {Variant::Str("Line1")})), ElementsAre("Area3\\Flow1"));
  EXPECT_THAT(List(Call("GetScheduledItemsEx", {Variant::Str("Line1")})), ElementsAre("Area3\\Flow1"));
  EXPECT_EQ(Call("GetScheduledItems", {Variant::Str("Nope")}).vt(), com::VT_EMPTY);
  EXPECT_THAT(List(Call("FindScheduledItem", {Variant::Str("Area3\\Flow1")})), ElementsAre("OneHour", "Line1"));
  EXPECT_EQ(Call("FindScheduledItem", {Variant::Str("Nowhere")}).vt(), com::VT_EMPTY);

  EXPECT_EQ(Call("DeleteScheduledItem", {Variant::Str("OneHour"), Variant::Str("Area3\\Flow1")}), kTrue);
  EXPECT_EQ(Call("DeleteScheduledItem", {Variant::Str("OneHour"), Variant::Str("Area3\\Flow1")}), kFalse);
  EXPECT_THAT(List(Call("FindScheduledItem", {Variant::Str("Area3\\Flow1")})), ElementsAre("Line1"));

  // A group with items goes whatever ForceDelete says; its entry is marked for the supervisor.
  EXPECT_EQ(Call("DeleteScheduleGroup", {Variant::Str("Line1"), Variant::Bool(false)}), kTrue);
  {
    platform::TrackedLock::Scope lock(ScheduleLock(), 0);
    EXPECT_TRUE(g_ScheduleThreads["Line1"]->deleteRequested);
  }
  EXPECT_EQ(Call("DeleteScheduleGroup", {Variant::Str("Line1"), Variant::Bool(true)}), kFalse);
  EXPECT_EQ(LastError(), 0);
  EXPECT_THAT(SavedGroupNames(), ElementsAre("FiveSec", "FifteenSec", "OneMinute", "OneHour", "OneDay"));

  const Variant schedule = Call("GetScheduleObject");
  ASSERT_EQ(schedule.vt(), com::VT_DISPATCH);
  EXPECT_EQ(schedule.dispatch().Get(), com::QueryInterface<IDispatch>(g_pScheduleObject).Get());
}

TEST_F(GroupCommandsTest, AnExistingEntryRefusesTheNameAfterSavingTheGroup) {
  g_ScheduleThreads["Twin"] = std::make_shared<ScheduleThreadInfo>("Twin");
  EXPECT_EQ(Call("AddScheduleGroup", {Variant::Str("Twin"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0),
                                      Variant::I4(0)}),
            kFalse);
  EXPECT_EQ(LastError(), CMDERR_NAME_EXISTS);
  EXPECT_THAT(SavedGroupNames(), ::testing::Contains("Twin"));
}

TEST_F(GroupCommandsTest, PropertyCommands) {
  std::vector<Variant> info;
  auto readInfo = [&] {
    return Call("ScheduleGroupInfo",
                {Variant::Str("FiveSec"), Variant::Date(0), Variant::Date(0), Variant::Date(0), Variant::R8(0),
                 Variant::R8(0), Variant::I4(0), Variant::I4(0), Variant::I4(0)},
                &info);
  };
  EXPECT_EQ(Call("SetScheduleGroupRate", {Variant::Str("FiveSec"), Variant::R8(10 * kSecond), Variant::R8(kSecond),
                                          Variant::I4(-1), Variant::I4(3)}),
            kTrue);
  EXPECT_EQ(Call("SetScheduleGroupPriority", {Variant::Str("FiveSec"), Variant::I4(-2)}), kTrue);
  EXPECT_EQ(Call("SetScheduleGroupOffset", {Variant::Str("FiveSec"), Variant::R8(2 * kSecond)}), kTrue);
  const double local = At(2025, 1, 15, 6, 0);
  EXPECT_EQ(Call("SetScheduleGroupNextRunTime", {Variant::Str("FiveSec"), Variant::R8(local)}), kTrue);
  EXPECT_EQ(readInfo(), kTrue);
  EXPECT_EQ(info[2], Variant::Date(local));
  EXPECT_EQ(info[4], Variant::R8(10 * kSecond));
  EXPECT_EQ(info[5], Variant::R8(2 * kSecond));
  EXPECT_EQ(info[6], Variant::I4(-2));
  EXPECT_EQ(info[7], Variant::I4(-1));
  EXPECT_EQ(info[8], Variant::I4(3));
  ComPtr<IZrScheduleGroup> g;
  FindGroup(Bstr::FromUtf8("FiveSec"), &g);
  EXPECT_NEAR(ReadGroup(g.Get()).nextRunTimeUtc, At(2025, 1, 15, 11, 0), kTolerance);

  EXPECT_EQ(Call("SetScheduleGroupMode", {Variant::Str("FiveSec"), Variant::Bool(true)}), kFalse);
  EXPECT_EQ(LastError(), 0);
}

// Each refused input gets its code, nothing is created, and the schedule file stays loadable.
TEST_F(GroupCommandsTest, BadInput) {
  const std::string longName(10000, 'n');
  struct Case {
    const char* command;
    std::vector<Variant> args;
    bool ok;
    long code;
  } cases[] = {
      {"AddScheduleGroup", {Variant::Str("A B"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduleGroup", {Variant::Str("A\tB"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduleGroup", {Variant::Str("A\x01" "B"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduleGroup", {Variant::Str(""), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduleGroup", {Variant::Str("A\u0085B"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduleGroup", {Variant::Str("A\u2028B"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduleGroup", {Variant::Str("M"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(32), Variant::I4(0)}, false, CMDERR_INVALID_DAY_OF_MONTH},
      {"AddScheduleGroup", {Variant::Str("M"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(-2), Variant::I4(0)}, false, CMDERR_INVALID_DAY_OF_MONTH},
      {"AddScheduleGroup", {Variant::Str("W"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(-1)}, false, CMDERR_INVALID_DAY_OF_WEEK},
      {"AddScheduleGroup", {Variant::Str("W"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(8)}, false, CMDERR_INVALID_DAY_OF_WEEK},
      {"AddScheduleGroup", {Variant::Str("N"), Variant::Date(std::nan("")), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_CATCH_ALL},
      {"AddScheduleGroup", {Variant::Str("N"), Variant::Date(kSecond), Variant::R8(kInf), Variant::I4(0), Variant::I4(0)}, false, CMDERR_CATCH_ALL},
      {"AddScheduleGroup", {Variant::Str("Neg"), Variant::Date(-kSecond), Variant::R8(-1e9), Variant::I4(0), Variant::I4(0)}, true, 0},
      {"AddScheduleGroup", {Variant::Str("Huge"), Variant::Date(1e300), Variant::R8(1e300), Variant::I4(-1), Variant::I4(7)}, true, 0},
      {"AddScheduleGroup", {Variant::Str("..\\..\\etc"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, true, 0},
      {"AddScheduleGroup", {Variant::Str(longName), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, true, 0},
      {"AddScheduledItem", {Variant::Str("OneHour"), Variant::Str("a b")}, false, CMDERR_NAME_HAS_SPACES},
      {"AddScheduledItem", {Variant::Str("OneHour"), Variant::Str("../x/y")}, true, 0},
      {"SetScheduleGroupPriority", {Variant::Str("Nope"), Variant::I4(3)}, false, CMDERR_INVALID_PRIORITY},
      {"SetScheduleGroupPriority", {Variant::Str("OneHour"), Variant::I4(-3)}, false, CMDERR_INVALID_PRIORITY},
      {"SetScheduleGroupPriority", {Variant::Str("Nope"), Variant::I4(1)}, false, CMDERR_INVALID_SCHEDULE_GROUP},
      {"SetScheduleGroupRate", {Variant::Str("OneHour"), Variant::R8(kSecond), Variant::R8(0), Variant::I4(40), Variant::I4(0)}, false, CMDERR_INVALID_DAY_OF_MONTH},
      {"SetScheduleGroupRate", {Variant::Str("OneHour"), Variant::R8(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(9)}, false, CMDERR_INVALID_DAY_OF_WEEK},
      {"SetScheduleGroupRate", {Variant::Str("OneHour"), Variant::R8(-kInf), Variant::R8(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_CATCH_ALL},
      {"SetScheduleGroupOffset", {Variant::Str("OneHour"), Variant::R8(std::nan(""))}, false, CMDERR_CATCH_ALL},
      {"SetScheduleGroupNextRunTime", {Variant::Str("OneHour"), Variant::R8(kInf)}, false, CMDERR_CATCH_ALL},
      {"SetScheduleGroupNextRunTime", {Variant::Str("Nope"), Variant::R8(1)}, false, CMDERR_INVALID_SCHEDULE_GROUP},
      {"SetScheduleGroupOffset", {Variant::Str("Nope"), Variant::R8(1)}, false, CMDERR_INVALID_SCHEDULE_GROUP},
      {"ScheduleGroupInfo", {Variant::Str("Nope"), Variant::Date(0), Variant::Date(0), Variant::Date(0), Variant::R8(0), Variant::R8(0), Variant::I4(0), Variant::I4(0), Variant::I4(0)}, false, CMDERR_INVALID_SCHEDULE_GROUP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + c.args[0].bstr().ToUtf8().substr(0, 20));
    EXPECT_EQ(Call(c.command, c.args), Variant::Bool(c.ok));
    EXPECT_EQ(LastError(), c.code);
  }
  const std::vector<std::string> saved = SavedGroupNames();
  EXPECT_THAT(saved, ElementsAre("FiveSec", "FifteenSec", "OneMinute", "OneHour", "OneDay", "Neg", "Huge",
                                 "..\\..\\etc", longName));
  ComPtr<IZrCollection> reloaded;
  ASSERT_EQ(LoadCollection(ScheduleFilePath(), &reloaded), com::S_OK);
  ComPtr<IZrScheduleGroup> huge;
  ASSERT_EQ(ItemAs(reloaded.Get(), Bstr::FromUtf8("Huge"), &huge), com::S_OK);
  EXPECT_EQ(ReadGroup(huge.Get()).rate, 1e300);
}

TEST_F(GroupCommandsTest, NoSchedule) {
  g_pScheduleObject = nullptr;
  const std::vector<std::pair<const char*, std::vector<Variant>>> calls = {
      {"AddScheduleGroup", {Variant::Str("G"), Variant::Date(kSecond), Variant::R8(0), Variant::I4(0), Variant::I4(0)}},
      {"DeleteScheduleGroup", {Variant::Str("G"), Variant::Bool(false)}},
      {"AddScheduledItem", {Variant::Str("G"), Variant::Str("I")}},
      {"DeleteScheduledItem", {Variant::Str("G"), Variant::Str("I")}},
      {"FindScheduledItem", {Variant::Str("I")}},
      {"GetScheduledItems", {Variant::Str("G")}},
      {"GetScheduleGroupList", {}},
      {"GetScheduleObject", {}},
      {"SetScheduleGroupPriority", {Variant::Str("G"), Variant::I4(0)}},
      {"SetScheduleGroupOffset", {Variant::Str("G"), Variant::R8(0)}},
  };
  for (const auto& [name, args] : calls) {
    SCOPED_TRACE(name);
    const Variant r = Call(name, args);
    EXPECT_TRUE(r == kFalse || r.vt() == com::VT_EMPTY || (r.vt() == com::VT_DISPATCH && !r.dispatch()));
    EXPECT_EQ(LastError(), CMDERR_SCHEDULE_NOT_FOUND);
  }
}

TEST_F(GroupCommandsTest, SchedulerStatusRows) {
  EXPECT_EQ(Call("GetSchedulerStatus").vt(), com::VT_EMPTY);  // no threads yet
  for (const DefaultGroup& d : kDefaultGroups) g_ScheduleThreads[d.name] = std::make_shared<ScheduleThreadInfo>(d.name);
  g_ScheduleThreads["OneHour"]->lastPassMs = 12;
  g_ScheduleThreads["OneHour"]->passCount = 65535;
  g_ScheduleThreads["OneHour"]->passCount.fetch_add(1);  // wraps
  g_ScheduleThreads["FiveSec"]->passCount = 7;
  UnitsLock().Enter(kSiteUnitsCommand);
  UnitsLock().Leave();
  for (ZrCalcCommandsBase* obj : {static_cast<ZrCalcCommandsBase*>(main_.Get()), static_cast<ZrCalcCommandsBase*>(app_.Get())}) {
    const Variant status = Call(obj, "GetSchedulerStatus");
    ASSERT_TRUE(status.IsArray());
    const com::SafeArray& rows = status.array();
    ASSERT_EQ(rows.Count(), 8u);
    auto row = [&](size_t i) {
      const com::SafeArray& r = rows.At(i).array();
      return std::vector<Variant>{r.At(0), r.At(1), r.At(2), r.At(3)};
    };
    EXPECT_EQ(row(0)[0], Variant::Str("Schedule Threads"));
    EXPECT_EQ(row(0)[1], Variant::I4(0));  // the lock count before the command entered
    EXPECT_EQ(row(0)[2], Variant::Str(""));
    EXPECT_THAT(row(1), ElementsAre(Variant::Str("Eng Units Lock"), Variant::I4(0), Variant::Str(""), Variant::I4(kSiteUnitsCommand)));
    EXPECT_THAT(row(2), ElementsAre(Variant::Str("Object List"), Variant::I4(0), Variant::Str(""), Variant::I4(0)));
    // Map order: names compared exactly.
    EXPECT_THAT(row(3), ElementsAre(Variant::Str("FifteenSec"), Variant::I4(0), Variant::Str(""), Variant::I4(0)));
    EXPECT_THAT(row(4), ElementsAre(Variant::Str("FiveSec"), Variant::I4(0), Variant::Str(""), Variant::I4(7)));
    EXPECT_THAT(row(6), ElementsAre(Variant::Str("OneHour"), Variant::I4(12), Variant::Str(""), Variant::I4(0)));
    EXPECT_EQ(ScheduleLock().Holder(), kSiteSchedulerStatus);
  }
}

TEST_F(GroupCommandsTest, TheApplicationObjectRefusesAllButTheStatus) {
  const char* refused[] = {"AddScheduleGroup",     "DeleteScheduleGroup",      "AddScheduledItem",
                           "DeleteScheduledItem",  "FindScheduledItem",        "GetScheduledItems",
                           "GetScheduledItemsEx",  "GetScheduleGroupList",     "GetScheduleObject",
                           "ScheduleGroupInfo",    "SetScheduleGroupRate",     "SetScheduleGroupPriority",
                           "SetScheduleGroupMode", "SetScheduleGroupNextRunTime", "SetScheduleGroupOffset"};
  const InterfaceTable& table = app_->Table();
  for (const char* name : refused) {
    SCOPED_TRACE(name);
    const MethodInfo* m = table.ByDispId(table.DispIdByName(name));
    ASSERT_NE(m, nullptr);
    std::vector<Variant> args;
    for (const ParamInfo& p : m->params)
      if (p.dir != ParamDir::Retval) args.push_back(p.type == ParamType::Bstr ? Variant::Str("OneHour") : Variant::I4(0));
    Call(app_.Get(), name, args);
    EXPECT_EQ(LastError(app_.Get()), CMDERR_SCHEDULE_NOT_SUPPORTED);
  }
  EXPECT_THAT(List(Call("GetScheduleGroupList")), ::testing::SizeIs(5));  // nothing changed
}

}  // namespace
}  // namespace kv::scheduler::testing
