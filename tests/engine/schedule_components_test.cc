// The collection and schedule group components: operations, the file form with every property
// and nested item, damaged files, running the scheduled calculations, and concurrent use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/calculation.h"
#include "engine/collection.h"
#include "engine/schedule_group.h"
#include "engine/unit_type.h"
#include "engine_test_util.h"
#include "store/fake_environment.h"
#include "support/test_env.h"

namespace kv::engine {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using com::ComPtr;
using com::IDispatch;
using testing::ErrorCapture;
using testing::ScopedServerObjects;
using testing::ScratchDir;

std::vector<std::string> Names(components::IZrCollection* c) {
  Variant v;
  EXPECT_EQ(c->NameList(&v), com::S_OK);
  std::vector<std::string> names;
  if (!v.IsEmpty()) {
    EXPECT_TRUE(com::VariantToStringList(v, &names));
  }
  return names;
}

// An object with IDispatch but no file form.
class PlainDispatch : public com::ComObject<IDispatch> {
 public:
  HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return com::DISP_E_MEMBERNOTFOUND; }
};

// A calculation that records the requests it is run with and ends as it is told.
class CalculatingCalc : public kv::testing::FakeCalc {
 public:
  explicit CalculatingCalc(HRESULT result, components::RunOutcome outcome = {})
      : FakeCalc(int16_t{0}), result_(result), outcome_(std::move(outcome)) {}
  HRESULT Run(const components::RunRequest& request, components::RunOutcome* outcome) override {
    requests.push_back(request);
    if (outcome) *outcome = outcome_;
    return result_;
  }
  std::vector<components::RunRequest> requests;

 private:
  HRESULT result_;
  components::RunOutcome outcome_;
};

// An object the environment hands out that is no calculation.
class NotACalc : public com::ComObject<IDispatch> {
 public:
  HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return com::DISP_E_MEMBERNOTFOUND; }
};

class ScheduleComponentsTest : public ::testing::Test {
 protected:
  kv::testing::TestEnv env_{"EST5EDT,M3.2.0,M11.1.0"};
  ScopedServerObjects objects{env_.env()};
  ScratchDir dir_;
  ErrorCapture errors_;
};

TEST_F(ScheduleComponentsTest, CollectionOperations) {
  auto c = com::MakeCom<ZrCollection>();
  auto a = com::MakeCom<ZrScheduleGroup>();
  auto lower = com::MakeCom<ZrScheduleGroup>();
  EXPECT_EQ(c->Add(Bstr::FromUtf8("A"), a.Get()), com::S_OK);
  EXPECT_EQ(c->Add(Bstr::FromUtf8("A"), lower.Get()), kNameTaken);
  EXPECT_EQ(c->Add(Bstr::FromUtf8("a"), lower.Get()), com::S_OK);  // names compare exactly
  EXPECT_EQ(c->Add(Bstr::FromUtf8("null"), nullptr), com::E_POINTER);
  EXPECT_EQ(c->Add(Bstr::FromUtf8("plain"), com::MakeCom<PlainDispatch>().Get()), com::DISP_E_TYPEMISMATCH);
  // Nothing may hold itself, directly or through a group's items: saving would never end.
  EXPECT_EQ(c->Add(Bstr::FromUtf8("self"), c.Get()), com::E_INVALIDARG);
  EXPECT_EQ(a->ItemCollection()->Add(Bstr::FromUtf8("cycle"), c.Get()), com::E_INVALIDARG);
  EXPECT_EQ(a->ItemCollection()->Add(Bstr::FromUtf8("cycle"), a.Get()), com::E_INVALIDARG);

  long count = 0;
  EXPECT_EQ(c->Count(&count), com::S_OK);
  EXPECT_EQ(count, 2);
  EXPECT_THAT(Names(c.Get()), ElementsAre("A", "a"));
  ComPtr<IDispatch> item;
  EXPECT_EQ(c->ItemAt(2, &item), com::S_OK);
  EXPECT_EQ(item.Get(), static_cast<IDispatch*>(lower.Get()));
  EXPECT_EQ(c->ItemAt(3, &item), com::DISP_E_BADINDEX);
  EXPECT_FALSE(item);
  EXPECT_EQ(c->Item(Bstr::FromUtf8("A"), &item), com::S_OK);
  EXPECT_EQ(item.Get(), static_cast<IDispatch*>(a.Get()));
  EXPECT_EQ(c->Item(Bstr::FromUtf8("B"), &item), com::S_FALSE);
  EXPECT_FALSE(item);
  EXPECT_EQ(c->Remove(Bstr::FromUtf8("A")), com::S_OK);
  EXPECT_EQ(c->Remove(Bstr::FromUtf8("A")), kNameNotFound);
  EXPECT_EQ(c->Remove(Bstr::FromUtf8("a")), com::S_OK);
  Variant empty = Variant::I4(1);
  c->NameList(&empty);
  EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(ScheduleComponentsTest, CollectionByName) {
  auto c = com::MakeCom<ZrCollection>();
  std::vector<Variant> args{Variant::Str("G1"), Variant::Dispatch(com::MakeCom<ZrScheduleGroup>())};
  ASSERT_EQ(com::CallMethod(c.Get(), "Add", args, nullptr), com::S_OK);
  Variant v;
  ASSERT_EQ(com::GetProperty(c.Get(), "Count", &v), com::S_OK);
  EXPECT_EQ(v, Variant::I4(1));
  std::vector<Variant> byName{Variant::Str("G1")}, byIndex{Variant::I4(1)}, missing{Variant::Str("G2")};
  Variant a, b;
  ASSERT_EQ(c->Invoke(com::DISPID_VALUE, com::DISPATCH_PROPERTYGET, byName, &a), com::S_OK);
  ASSERT_EQ(c->Invoke(com::DISPID_VALUE, com::DISPATCH_PROPERTYGET, byIndex, &b), com::S_OK);
  EXPECT_EQ(a.vt(), com::VT_DISPATCH);
  EXPECT_EQ(a, b);
  EXPECT_EQ(c->Invoke(com::DISPID_VALUE, com::DISPATCH_PROPERTYGET, missing, &a), com::DISP_E_BADINDEX);
  std::vector<Variant> remove{Variant::Str("G1")};
  EXPECT_EQ(com::CallMethod(c.Get(), "Remove", remove, nullptr), com::S_OK);
  EXPECT_EQ(c->Size(), 0u);
}

TEST_F(ScheduleComponentsTest, GroupPropertiesByName) {
  auto g = com::MakeCom<ZrScheduleGroup>();
  struct Case {
    const char* name;
    Variant put;
    HRESULT putResult;
    Variant read;
  } cases[] = {
      {"Rate", Variant::Str("0.5"), com::S_OK, Variant::R8(0.5)},
      {"Rate", Variant::Str("fast"), com::DISP_E_TYPEMISMATCH, Variant::R8(0.5)},
      {"Offset", Variant::I4(2), com::S_OK, Variant::R8(2.0)},
      {"NextRunTime", Variant::R8(45000.25), com::S_OK, Variant::Date(45000.25)},
      {"Priority", Variant::R8(-2), com::S_OK, Variant::I4(-2)},
      {"ScheduleClass", Variant::I4(864000), com::S_OK, Variant::I4(864000)},
      {"Name", Variant::Str("Line 1"), com::S_OK, Variant::Str("Line 1")},
      {"RefreshCount", Variant::I4(5), com::DISP_E_MEMBERNOTFOUND, Variant::I4(0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(com::PutProperty(g.Get(), c.name, c.put), c.putResult);
    Variant v;
    ASSERT_EQ(com::GetProperty(g.Get(), c.name, &v), com::S_OK);
    EXPECT_EQ(v, c.read);
  }
  double rate = 0;
  g->GetRate(&rate);
  EXPECT_EQ(rate, 0.5);

  std::vector<Variant> args{Variant::Str("Flow1")};
  Variant item;
  ASSERT_EQ(com::CallMethod(g.Get(), "AddItem", args, &item), com::S_OK);
  ASSERT_EQ(item.vt(), com::VT_DISPATCH);
  Variant name;
  ASSERT_EQ(com::GetProperty(item.dispatch().Get(), "Name", &name), com::S_OK);
  EXPECT_EQ(name, Variant::Str("Flow1"));
  EXPECT_EQ(com::CallMethod(g.Get(), "AddItem", args, &item), kNameTaken);
}

TEST_F(ScheduleComponentsTest, ItemsMoveTheChangeStamp) {
  auto g = com::MakeCom<ZrScheduleGroup>();
  const double now = env_.env().Time().NowUtc();
  double stamp = -1;
  g->GetChangeStamp(&stamp);
  EXPECT_EQ(stamp, 0.0);
  ComPtr<IDispatch> item;
  ASSERT_EQ(g->AddItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
  g->GetChangeStamp(&stamp);
  EXPECT_EQ(stamp, now);
  // The clock stands still: the stamp still moves.
  ASSERT_EQ(g->AddItem(Bstr::FromUtf8("Flow2"), &item), com::S_OK);
  double second = 0;
  g->GetChangeStamp(&second);
  EXPECT_GT(second, stamp);
  EXPECT_EQ(g->AddItem(Bstr::FromUtf8("Flow2"), &item), kNameTaken);
  EXPECT_EQ(g->RemoveItem(Bstr::FromUtf8("Flow9")), kNameNotFound);
  double unchanged = 0;
  g->GetChangeStamp(&unchanged);
  EXPECT_EQ(unchanged, second);
  EXPECT_EQ(g->RemoveItem(Bstr::FromUtf8("Flow1")), com::S_OK);
  g->GetChangeStamp(&stamp);
  EXPECT_GT(stamp, second);

  long count = 0;
  EXPECT_EQ(g->ItemCount(&count), com::S_OK);
  EXPECT_EQ(count, 1);
  Bstr name;
  EXPECT_EQ(g->ItemName(1, &name), com::S_OK);
  EXPECT_EQ(name.ToUtf8(), "Flow2");
  EXPECT_EQ(g->ItemName(2, &name), com::DISP_E_BADINDEX);
}

// Groups read the clock of the server objects they were handed, not the environment in force.
TEST_F(ScheduleComponentsTest, ChangeStampFollowsTheServerObjectsClock) {
  platform::FixedClock later(1765324800000 + 86400000);
  platform::Env elsewhere = env_.env();
  elsewhere.clock = &later;
  ScopedServerObjects handed(elsewhere);
  auto g = com::MakeCom<ZrScheduleGroup>();
  ComPtr<IDispatch> item;
  ASSERT_EQ(g->AddItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
  double stamp = 0;
  g->GetChangeStamp(&stamp);
  EXPECT_EQ(stamp, elsewhere.Time().NowUtc());
  EXPECT_NE(stamp, env_.env().Time().NowUtc());
}

TEST_F(ScheduleComponentsTest, RefreshAndStoreAndForwardAreRecorded) {
  auto g = com::MakeCom<ZrScheduleGroup>();
  g->Refresh(com::VARIANT_TRUE, 1);
  g->Refresh(com::VARIANT_FALSE, 0);
  g->SetStoreAndForward(com::VARIANT_TRUE);
  Variant v;
  com::GetProperty(g.Get(), "RefreshCount", &v);
  EXPECT_EQ(v, Variant::I4(2));
  com::GetProperty(g.Get(), "ForcedRefreshCount", &v);
  EXPECT_EQ(v, Variant::I4(1));
  com::GetProperty(g.Get(), "StoreAndForward", &v);
  EXPECT_EQ(v, Variant::Bool(true));
}

// A schedule of two groups, every property distinct, with items that have run; a unit type and
// a calculation in the same collection: all come back from the file.
TEST_F(ScheduleComponentsTest, FileRoundTripKeepsEveryPropertyAndItem) {
  const char* const kProperties[] = {"Name",       "ScheduleClass",   "DayOfMonth",     "DayOfWeek",
                                     "Rate",       "Offset",          "LastRunTime",    "NextRunTime",
                                     "RunRate",    "ExecutionTime",   "Priority",       "ComputedRunTime",
                                     "NextRunTimeUtc", "LastRunTimeUtc", "FirstRunTime", "ChangeStamp"};
  auto schedule = com::MakeCom<ZrCollection>();
  for (int n = 0; n < 2; ++n) {
    auto g = com::MakeCom<ZrScheduleGroup>();
    g->PutName(Bstr::FromUtf8(n == 0 ? "Line <1> & \"x\"" : "Grüße"));
    g->PutScheduleClass(n + 1);
    g->PutDayOfMonth(-1);
    g->PutDayOfWeek(7 - n);
    g->PutRate(1.0 / 3.0 + n);
    g->PutOffset(-1e-300);
    g->PutLastRunTime(45000.1 + n);
    g->PutNextRunTime(45000.2 + n);
    g->PutRunRate(1.0 / 7.0);
    g->PutExecutionTime(123456 + n);
    g->PutPriority(-2 + n);
    g->PutComputedRunTime(45000.3);
    g->PutNextRunTimeUtc(45000.4);
    g->PutLastRunTimeUtc(45000.5);
    g->PutFirstRunTime(45000.6);
    ComPtr<IDispatch> item;
    ASSERT_EQ(g->AddItem(Bstr::FromUtf8("Area3\\Flow1"), &item), com::S_OK);
    ASSERT_EQ(g->AddItem(Bstr::FromUtf8("Flow2"), &item), com::S_OK);
    dynamic_cast<ZrScheduledItem*>(item.Get())->RecordRun(kItemFailed, "calculation not found", components::RunOutcome{}, 45000.7);
    ASSERT_EQ(schedule->AddNamed("key" + std::to_string(n), g), com::S_OK);
  }
  auto type = com::MakeCom<ZrUnitType>();
  type->PutName(Bstr::FromUtf8("Temperature"));
  ASSERT_EQ(schedule->AddNamed("Temperature", type), com::S_OK);
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetName(Bstr::FromUtf8("Flow1"));
  ASSERT_EQ(schedule->AddNamed("Flow1", calc), com::S_OK);

  const Bstr path = Bstr::FromUtf8(dir_.W("Schedules.zrc"));
  ASSERT_EQ(schedule->SaveToFile(path), com::S_OK);
  auto loaded = com::MakeCom<ZrCollection>();
  ASSERT_EQ(loaded->LoadFromFile(path), com::S_OK);
  EXPECT_THAT(Names(loaded.Get()), ElementsAre("key0", "key1", "Temperature", "Flow1"));

  const auto before = schedule->Entries(), after = loaded->Entries();
  for (int n = 0; n < 2; ++n) {
    for (const char* p : kProperties) {
      SCOPED_TRACE(p);
      Variant a, b;
      ASSERT_EQ(com::GetProperty(before[n].item.Get(), p, &a), com::S_OK);
      ASSERT_EQ(com::GetProperty(after[n].item.Get(), p, &b), com::S_OK);
      EXPECT_EQ(a, b);
    }
    auto* g = dynamic_cast<ZrScheduleGroup*>(after[n].item.Get());
    ASSERT_TRUE(g);
    EXPECT_THAT(Names(g->ItemCollection().Get()), ElementsAre("Area3\\Flow1", "Flow2"));
    auto* item = dynamic_cast<ZrScheduledItem*>(g->ItemCollection()->Find("Flow2").Get());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->Status(), kItemFailed);
    EXPECT_EQ(item->ErrorText(), "calculation not found");
  }
  EXPECT_TRUE(dynamic_cast<ZrUnitType*>(after[2].item.Get()));
  auto* back = dynamic_cast<ZrCalculation*>(after[3].item.Get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Name(), "Flow1");
  EXPECT_THAT(errors_.Lines(), IsEmpty());
}

TEST_F(ScheduleComponentsTest, DamagedFilesFailToLoadWithOneLogLine) {
  std::string deep;
  for (int i = 0; i < 40; ++i) deep = "<Collection version=\"1\"><Item name=\"n\">" + deep + "</Item></Collection>";
  const std::string group = "<ScheduleGroup version=\"1\"><Name>G</Name>";
  const std::string cases[] = {
      "",
      "<Collection version=\"1\"><Item name=\"G\">",
      "<Schedule version=\"1\"/>",
      "<Collection version=\"2\"/>",
      "<Collection version=\"1\"><Item>" + group + "</ScheduleGroup></Item></Collection>",
      "<Collection version=\"1\"><Item name=\"G\">" + group + "</ScheduleGroup></Item><Item name=\"G\">" + group +
          "</ScheduleGroup></Item></Collection>",
      "<Collection version=\"1\"><Item name=\"G\"><Gadget version=\"1\"/></Item></Collection>",
      "<Collection version=\"1\"><Item name=\"G\">" + group + "</ScheduleGroup>" + group +
          "</ScheduleGroup></Item></Collection>",
      "<Collection version=\"1\"><Item name=\"G\"/></Collection>",
      "<Collection version=\"1\"><Item name=\"G\"><ScheduleGroup version=\"1\"/></Item></Collection>",
      "<Collection version=\"1\"><Item name=\"G\">" + group + "<Rate>fast</Rate></ScheduleGroup></Item></Collection>",
      "<Collection version=\"1\"><Item name=\"G\">" + group +
          "<Items><Collection version=\"1\"><Item name=\"F\"><ScheduledItem version=\"1\"/></Item></Collection>"
          "</Items></ScheduleGroup></Item></Collection>",
      deep,
  };
  auto c = com::MakeCom<ZrCollection>();
  ASSERT_EQ(c->AddNamed("Kept", com::MakeCom<ZrScheduleGroup>()), com::S_OK);
  const std::string path = dir_.W("Schedules.zrc");
  size_t lines = 0;
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 120));
    dir_.Write("Schedules.zrc", text);
    EXPECT_LT(c->LoadFromFile(Bstr::FromUtf8(path)), 0);
    ASSERT_EQ(errors_.Lines().size(), ++lines);
    EXPECT_THAT(errors_.Lines().back(), HasSubstr("Schedules.zrc"));
    EXPECT_THAT(Names(c.Get()), ElementsAre("Kept"));
  }
  EXPECT_LT(c->LoadFromFile(Bstr::FromUtf8(dir_.W("missing.zrc"))), 0);
  EXPECT_EQ(errors_.Lines().size(), lines);  // a missing file is not damage
}

class ExecuteTest : public ScheduleComponentsTest {
 protected:
  void SetUp() override {
    env = com::MakeCom<kv::testing::FakeEnvironment>();
    env->calcs[{"<null>", "Good"}] = good;
    env->calcs[{"<null>", "Broken"}] = com::MakeCom<CalculatingCalc>(com::E_FAIL);
    env->calcs[{"<null>", "Failing"}] =
        com::MakeCom<CalculatingCalc>(com::S_OK, components::RunOutcome{components::kLevelError, "Run error", "boom"});
    env->calcs[{"<null>", "Warned"}] =
        com::MakeCom<CalculatingCalc>(com::S_OK, components::RunOutcome{components::kLevelWarning, "Warning", "spooled"});
    env->calcs[{"<null>", "NoMethod"}] = com::MakeCom<NotACalc>();
    objects.environment = env;
    for (const char* name : {"Good", "Broken", "Failing", "Warned", "NoMethod", "Missing"}) {
      ComPtr<IDispatch> item;
      ASSERT_EQ(group->AddItem(Bstr::FromUtf8(name), &item), com::S_OK);
    }
  }
  ZrScheduledItem* Item(const char* name) {
    return dynamic_cast<ZrScheduledItem*>(group->ItemCollection()->Find(name).Get());
  }

  ComPtr<kv::testing::FakeEnvironment> env;
  ComPtr<CalculatingCalc> good = com::MakeCom<CalculatingCalc>(com::S_OK);
  ComPtr<ZrScheduleGroup> group = com::MakeCom<ZrScheduleGroup>();
};

TEST_F(ExecuteTest, EveryItemRunsAndRecordsItsOutcome) {
  ASSERT_EQ(group->SetStoreAndForward(com::VARIANT_TRUE), com::S_OK);
  EXPECT_EQ(group->Execute(Bstr::FromUtf8("workspace-context")), com::S_FALSE);
  // The pass hands every calculation the same request: the group's context and switch, and
  // the one instant the pass stands for.
  ASSERT_EQ(good->requests.size(), 1u);
  EXPECT_EQ(good->requests[0].context, "workspace-context");
  EXPECT_TRUE(good->requests[0].storeAndForward);
  EXPECT_EQ(good->requests[0].slotUnixMs, env_.env().clock->NowUnixMs());
  struct Case {
    const char* name;
    int32_t status;
    const char* error;
  } cases[] = {
      {"Good", kItemRan, ""},
      {"Broken", kItemFailed, "Calculate failed (0x80004005)"},
      {"Failing", kItemFailed, "boom"},
      {"Warned", kItemRan, ""},
      {"NoMethod", kItemFailed, "the calculation cannot be run (no Calculate method)"},
      {"Missing", kItemFailed, "calculation not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Item(c.name));
    EXPECT_EQ(Item(c.name)->Status(), c.status);
    EXPECT_EQ(Item(c.name)->ErrorText(), c.error);
    Variant when;
    com::GetProperty(Item(c.name), "LastRunTime", &when);
    EXPECT_EQ(when, Variant::Date(env_.env().Time().LocalNow()));
  }
  EXPECT_THAT(env->asked, ElementsAre("Good", "Broken", "Failing", "Warned", "NoMethod", "Missing"));
  Variant context;
  com::GetProperty(group.Get(), "LastContext", &context);
  EXPECT_EQ(context, Variant::Str("workspace-context"));

  for (const char* name : {"Broken", "Failing", "Warned", "NoMethod", "Missing"})
    ASSERT_EQ(group->RemoveItem(Bstr::FromUtf8(name)), com::S_OK);
  ASSERT_EQ(group->SetStoreAndForward(com::VARIANT_FALSE), com::S_OK);
  std::vector<Variant> none;
  EXPECT_EQ(com::CallMethod(group.Get(), "Execute", none, nullptr), com::S_OK);
  ASSERT_EQ(good->requests.size(), 2u);
  EXPECT_FALSE(good->requests[1].storeAndForward);
}

TEST_F(ExecuteTest, WithoutAnEnvironmentEveryItemFails) {
  objects.environment = nullptr;
  EXPECT_EQ(group->Execute(Bstr()), com::S_FALSE);
  EXPECT_EQ(Item("Good")->Status(), kItemFailed);
  EXPECT_EQ(Item("Good")->ErrorText(), "no calculation environment");
  EXPECT_TRUE(good->requests.empty());
}

// Several threads change one group's items and properties while another saves and runs it;
// afterwards the group holds exactly what the threads left and the file reads back.
TEST_F(ScheduleComponentsTest, ConcurrentUse) {
  auto schedule = com::MakeCom<ZrCollection>();
  auto g = com::MakeCom<ZrScheduleGroup>();
  g->PutName(Bstr::FromUtf8("Shared"));
  ASSERT_EQ(schedule->AddNamed("Shared", g), com::S_OK);
  constexpr int kThreads = 4, kRounds = 100;
  std::atomic<bool> stop{false};
  const Bstr path = Bstr::FromUtf8(dir_.W("Schedules.zrc"));
  std::thread saver([&] {
    while (!stop) {
      EXPECT_EQ(schedule->SaveToFile(path), com::S_OK);
      g->Execute(Bstr());
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const Bstr name = Bstr::FromUtf8("T" + std::to_string(t) + "-" + std::to_string(i));
        ComPtr<IDispatch> item;
        EXPECT_EQ(g->AddItem(name, &item), com::S_OK);
        g->PutRate(i);
        long count;
        g->ItemCount(&count);
        Variant names;
        g->ItemCollection()->NameList(&names);
        if (i % 2 == 0) {
          EXPECT_EQ(g->RemoveItem(name), com::S_OK);
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  stop = true;
  saver.join();
  EXPECT_EQ(g->ItemCollection()->Size(), static_cast<size_t>(kThreads * kRounds / 2));
  ASSERT_EQ(schedule->SaveToFile(path), com::S_OK);
  auto loaded = com::MakeCom<ZrCollection>();
  ASSERT_EQ(loaded->LoadFromFile(path), com::S_OK);
  auto* back = dynamic_cast<ZrScheduleGroup*>(loaded->Find("Shared").Get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ItemCollection()->Size(), static_cast<size_t>(kThreads * kRounds / 2));
}

}  // namespace
}  // namespace kv::engine
