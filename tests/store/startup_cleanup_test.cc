// The start-up clean-up: leftover temporaries go, edit copies nobody owns move to Recycle, and
// nothing else is touched.
#include "store/startup_cleanup.h"

#include <gmock/gmock.h>

#include <chrono>

#include "store/lifecycle_fixture.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

TEST(LeftoverTemporaryName, OnlyTheServersOwnPatterns) {
  struct Case {
    const char* name;
    bool temporary;
  } cases[] = {
      {"Flow1.zrc.tmp-4242-0", true},
      {"Schedules.zrc.tmp-1-18446744073709551615", true},
      {"user.reg.tmp-77-3", true},
      {"recycle.4242-7.tmp", true},
      {"Flow1.zrc.4242-7.tmp", true},  // what earlier versions wrote into Recycle
      {"Flow1.zrc", false},
      {"Flow1.3.zrc", false},
      {"Flow1.zrc.last", false},
      {"notes.tmp", false},
      {"a.tmp-12", false},
      {"a.tmp-12-", false},
      {"a.tmp--3", false},
      {"a.tmp-1x-3", false},
      {".tmp-1-2", false},
      {"x.1-2.tmp.zrc", false},
      {".1-2.tmp", false},
      {"tmp-1-2", false},
  };
  for (const Case& c : cases) EXPECT_EQ(store::IsLeftoverTemporaryName(c.name), c.temporary) << c.name;
}

class StartupCleanupTest : public LifecycleFixture {
 protected:
  void Plant(const std::string& rel, const std::string& content = "x") {
    fs::create_directories(fs::path(g_BasePath + "/" + rel).parent_path());
    std::ofstream(g_BasePath + "/" + rel) << content;
  }
  // Sets the environment's clock to the real time, so files written by now count as older.
  void ClockToNow(int64_t plusMs = 1000) {
    env.clock().Set(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count() +
                    plusMs);
  }
};

TEST_F(StartupCleanupTest, RemovesLeftoverTemporariesAndRecyclesEditCopiesNobodyOwns) {
  fs::create_directories(g_BasePath + "/Calc/Area3");
  fs::create_directories(g_BasePath + "/Calc/Edit/Area3");
  StoreCalculation("Flow1", "stored");
  StoreCalculation("Area3\\Pump", "stored");
  // Edit copies: one owned, one created with a blank user id by a client that went away, one
  // in a folder whose owner string a crash left empty.
  ASSERT_TRUE(store::CreateCalculationObject(*cmd, B("Owned"), B("HOST7"), B("editor1")));
  ASSERT_TRUE(store::CreateCalculationObject(*cmd, B("Blank"), B(""), B("editor1")));
  fs::copy_file(g_BasePath + "/Calc/Area3/Pump.zrc", g_BasePath + "/Calc/Edit/Area3/Pump.zrc");
  ASSERT_TRUE(store::CreateLibraryObject(*cmd, B("LibX"), B("HOST7"), B("")));  // a node, but no editor

  const std::vector<std::string> temporaries = {
      "Calc/Flow1.zrc.tmp-999999-0", "Calc/Area3/Pump.zrc.tmp-999999-1", "Calc/Edit/Owned.zrc.tmp-999999-2",
      "Calc/Recycle/recycle.999999-3.tmp", "Calc/Recycle/Flow1.zrc.999999-4.tmp", "Lib/Lib1.zrc.tmp-9-9",
      "bin/Schedules.zrc.tmp-1-1", "Apps/Line2/Calc/Flow9.zrc.tmp-5-5"};
  for (const auto& t : temporaries) Plant(t);
  Plant("Calc/notes.tmp", "keep");
  Plant("Calc/Area3/readme.txt", "keep");
  ClockToNow();
  // A temporary written after the start belongs to a writer still at work.
  env.clock().Set(env.clock().NowUnixMs() - 60000);
  Plant("Calc/Flow2.zrc.tmp-1-2");
  fs::last_write_time(g_BasePath + "/Calc/Flow2.zrc.tmp-1-2", fs::file_time_type::clock::now() + std::chrono::hours(1));
  ClockToNow();

  const store::StartupCleanup done = store::CleanStoreAtStartup(env.env(), g_BasePath);

  EXPECT_EQ(done.temporaries, static_cast<int>(temporaries.size()));
  EXPECT_EQ(done.orphans, 3);
  for (const auto& t : temporaries) EXPECT_FALSE(Exists(t)) << t;
  EXPECT_TRUE(Exists("Calc/Flow2.zrc.tmp-1-2"));
  EXPECT_TRUE(Exists("Calc/notes.tmp"));
  EXPECT_TRUE(Exists("Calc/Area3/readme.txt"));
  EXPECT_TRUE(Exists("Calc/Flow1.zrc"));
  EXPECT_TRUE(Exists("Calc/Area3/Pump.zrc"));
  EXPECT_TRUE(Exists("Calc/Edit/Owned.zrc"));
  EXPECT_FALSE(Exists("Calc/Edit/Blank.zrc"));
  EXPECT_FALSE(Exists("Calc/Edit/Area3/Pump.zrc"));
  EXPECT_FALSE(Exists("Lib/Edit/LibX.zrc"));
  EXPECT_TRUE(Exists("Calc/Recycle/Blank.zrc"));
  EXPECT_TRUE(Exists("Calc/Recycle/Area3/Pump.zrc"));
  EXPECT_TRUE(Exists("Lib/Recycle/LibX.zrc"));

  // The names answer again: Blank can be created anew, Pump opened for edit.
  EXPECT_TRUE(store::CreateCalculationObject(*cmd, B("Blank"), B("HOST7"), B("editor1"))) << Code();
  EXPECT_TRUE(store::CreateCalculationEditObject(*cmd, B("Area3\\Pump"), B("HOST7"), B("editor1"), B(""), B(""))) << Code();

  // A second run finds nothing to do.
  const store::StartupCleanup again = store::CleanStoreAtStartup(env.env(), g_BasePath);
  EXPECT_EQ(again.temporaries, 0);
  EXPECT_EQ(again.orphans, 0);
}

}  // namespace
}  // namespace kv::testing
