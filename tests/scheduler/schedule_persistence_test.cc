// Loading the schedule at start-up (main file, backup, defaults), saving it with its backup, and
// creating and finding groups.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/engine_test_util.h"
#include "scheduler/schedule.h"
#include "schedule_test_util.h"

namespace kv::scheduler::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::string> GroupNames() {
  com::Variant names;
  g_pScheduleObject->NameList(&names);
  std::vector<std::string> list;
  com::VariantToStringList(names, &list);
  return list;
}

class SchedulePersistenceTest : public ScheduleFixture {
 protected:
  // Saves a schedule of one group "Line1" holding "Flow1" as both files (or only `path`).
  void WriteSchedule(const std::string& path) {
    ComPtr<IZrCollection> schedule;
    ASSERT_EQ(NewCollection(&schedule), com::S_OK);
    ASSERT_EQ(CreateScheduleGroup(schedule.Get(), Bstr::FromUtf8("Line1"), 0.5, 0.1, 0, 3, 0), com::S_OK);
    ComPtr<IZrScheduleGroup> group;
    ASSERT_EQ(ItemAs(schedule.Get(), Bstr::FromUtf8("Line1"), &group), com::S_OK);
    ComPtr<com::IDispatch> item;
    ASSERT_EQ(group->AddItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
    EnsureBinDirectory();
    ASSERT_EQ(SaveCollection(path, schedule.Get()), com::S_OK);
  }
  void WriteDamaged(const std::string& path) {
    std::filesystem::create_directories(g_BasePath + "/bin");
    std::ofstream(path) << "<Collection version=\"1\"><Item name=\"Line1\"><ScheduleGroup";
  }
  void ExpectDefaults() {
    ASSERT_TRUE(g_pScheduleObject);
    EXPECT_THAT(GroupNames(), ElementsAre("FiveSec", "FifteenSec", "OneMinute", "OneHour", "OneDay"));
    const double rates[] = {5.787037037037037e-05, 1.7361111111111112e-04, 6.944444444444445e-04,
                            0.041666666666666664, 1.0};
    for (long i = 1; i <= 5; ++i) {
      SCOPED_TRACE(i);
      ComPtr<IZrScheduleGroup> g;
      ASSERT_EQ(GroupAt(i, &g), com::S_OK);
      const GroupState s = ReadGroup(g.Get());
      EXPECT_DOUBLE_EQ(s.rate, rates[i - 1]);
      EXPECT_EQ(s.offset, 0.0);
      EXPECT_EQ(s.nextRunTime, 1.0);
      EXPECT_EQ(s.nextRunTimeUtc, 1.0);
      EXPECT_EQ(s.dayOfMonth, 0);
      EXPECT_EQ(s.dayOfWeek, 0);
      EXPECT_EQ(s.scheduleClass, 1);
    }
  }

  engine::testing::ErrorCapture errors_;
};

TEST_F(SchedulePersistenceTest, FirstStartCreatesTheDefaultGroupsAndBothFiles) {
  GetScheduleObject();
  ExpectDefaults();
  EXPECT_TRUE(Exists(BinPath("Schedules.zrc")));
  EXPECT_EQ(ReadAll(BinPath("Schedules.zrc")), ReadAll(BinPath("Schedules_Backup.zrc")));
  EXPECT_THAT(errors_.Lines(), IsEmpty());

  // The next start reads them back.
  g_pScheduleObject = nullptr;
  GetScheduleObject();
  ExpectDefaults();
}

TEST_F(SchedulePersistenceTest, StartUpSources) {
  enum File { kMissing, kGood, kDamaged };
  struct Case {
    const char* what;
    File main, backup;
    bool fromSaved;     // the schedule holds "Line1", else the defaults
    bool backupAfter;   // a backup file exists afterwards
    size_t errorLines;  // damaged files each log one line
  } cases[] = {
      {"good main", kGood, kDamaged, true, true, 0},
      {"damaged main, good backup", kDamaged, kGood, true, false, 1},
      {"missing main, good backup", kMissing, kGood, true, false, 0},
      {"both damaged", kDamaged, kDamaged, false, true, 2},
      {"damaged main, no backup", kDamaged, kMissing, false, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(g_BasePath + "/bin");
    g_pScheduleObject = nullptr;
    const std::string main = BinPath("Schedules.zrc"), backup = BinPath("Schedules_Backup.zrc");
    if (c.main == kGood) WriteSchedule(main);
    if (c.main == kDamaged) WriteDamaged(main);
    if (c.backup == kGood) WriteSchedule(backup);
    if (c.backup == kDamaged) WriteDamaged(backup);
    const std::string savedBackup = ReadAll(backup);
    const size_t linesBefore = errors_.Lines().size();

    GetScheduleObject();
    ASSERT_TRUE(g_pScheduleObject);
    if (c.fromSaved) {
      EXPECT_THAT(GroupNames(), ElementsAre("Line1"));
      ComPtr<IZrScheduleGroup> g;
      ASSERT_EQ(FindGroup(Bstr::FromUtf8("Line1"), &g), com::S_OK);
      com::ComPtr<com::IDispatch> item;
      EXPECT_EQ(g->FindItem(Bstr::FromUtf8("Flow1"), &item), com::S_OK);
    } else {
      ExpectDefaults();
    }
    EXPECT_EQ(Exists(backup), c.backupAfter);
    if (c.main != kGood && c.backup == kGood) {
      EXPECT_EQ(ReadAll(main), savedBackup);
    }
    EXPECT_THAT(errors_.Lines(), SizeIs(linesBefore + c.errorLines));
  }
}

// The backup always holds the last schedule the main file took: a failed main save leaves it.
TEST_F(SchedulePersistenceTest, BackupIsWrittenOnlyAfterTheMainFile) {
  GetScheduleObject();
  const std::string backupBefore = ReadAll(BinPath("Schedules_Backup.zrc"));
  ASSERT_EQ(CreateScheduleGroup(g_pScheduleObject.Get(), Bstr::FromUtf8("Line1"), 0.5, 0, 0, 0, 0), com::S_OK);

  std::filesystem::remove(BinPath("Schedules.zrc"));
  std::filesystem::create_directories(BinPath("Schedules.zrc"));  // the main file cannot be written
  EXPECT_LT(SaveScheduleObject(g_pScheduleObject.Get()), 0);
  EXPECT_EQ(ReadAll(BinPath("Schedules_Backup.zrc")), backupBefore);

  std::filesystem::remove(BinPath("Schedules.zrc"));
  EXPECT_EQ(SaveScheduleObject(g_pScheduleObject.Get()), com::S_OK);
  EXPECT_NE(ReadAll(BinPath("Schedules_Backup.zrc")), backupBefore);
  EXPECT_EQ(ReadAll(BinPath("Schedules.zrc")), ReadAll(BinPath("Schedules_Backup.zrc")));
  EXPECT_EQ(SaveScheduleObject(nullptr), com::E_POINTER);
}

TEST_F(SchedulePersistenceTest, NoCollectionClassLeavesNoSchedule) {
  com::ClassRegistry::Instance().Unregister(components::CLSID_ZrCollection);
  GetScheduleObject();
  EXPECT_FALSE(g_pScheduleObject);
  ComPtr<IZrScheduleGroup> g;
  EXPECT_EQ(FindGroup(Bstr::FromUtf8("FiveSec"), &g), com::E_POINTER);
  EXPECT_EQ(GroupAt(1, &g), com::E_POINTER);
  EXPECT_FALSE(g);
}

TEST_F(SchedulePersistenceTest, CreatedGroups) {
  struct Case {
    const char* name;
    double rate;
    double next;  // NextRunTime and NextRunTimeUtc afterwards
  } cases[] = {{"Periodic", 0.5, 1.0}, {"Idle", 0.0, 0.0}, {"Negative", -0.5, 0.0}};
  GetScheduleObject();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CreateScheduleGroup(g_pScheduleObject.Get(), Bstr::FromUtf8(c.name), c.rate, 0.25, -1, 7, 0), com::S_OK);
    ComPtr<IZrScheduleGroup> g;
    ASSERT_EQ(FindGroup(Bstr::FromUtf8(c.name), &g), com::S_OK);
    const GroupState s = ReadGroup(g.Get());
    EXPECT_EQ(s.name, c.name);
    EXPECT_EQ(s.nextRunTime, c.next);
    EXPECT_EQ(s.nextRunTimeUtc, c.next);
    EXPECT_EQ(s.rate, c.rate);
    EXPECT_EQ(s.offset, 0.25);
    EXPECT_EQ(s.dayOfMonth, -1);
    EXPECT_EQ(s.dayOfWeek, 7);
    EXPECT_EQ(s.scheduleClass, 0);
  }
  // A name that is taken: the group is made, the collection keeps the first one.
  ASSERT_EQ(CreateScheduleGroup(g_pScheduleObject.Get(), Bstr::FromUtf8("Idle"), 2.0, 0, 0, 0, 0), com::S_OK);
  ComPtr<IZrScheduleGroup> g;
  ASSERT_EQ(FindGroup(Bstr::FromUtf8("Idle"), &g), com::S_OK);
  EXPECT_EQ(ReadGroup(g.Get()).rate, 0.0);
}

TEST_F(SchedulePersistenceTest, NamesDifferingInCaseAreDifferentGroups) {
  GetScheduleObject();
  ASSERT_EQ(CreateScheduleGroup(g_pScheduleObject.Get(), Bstr::FromUtf8("fivesec"), 2.0, 0, 0, 0, 0), com::S_OK);
  ComPtr<IZrScheduleGroup> lower, upper, none;
  ASSERT_EQ(FindGroup(Bstr::FromUtf8("fivesec"), &lower), com::S_OK);
  ASSERT_EQ(FindGroup(Bstr::FromUtf8("FiveSec"), &upper), com::S_OK);
  EXPECT_NE(lower.Get(), upper.Get());
  EXPECT_EQ(FindGroup(Bstr::FromUtf8("FIVESEC"), &none), com::S_FALSE);
  EXPECT_FALSE(none);
  EXPECT_EQ(GroupAt(6, &none), com::S_OK);
  EXPECT_EQ(none.Get(), lower.Get());
  EXPECT_EQ(GroupAt(7, &none), com::DISP_E_BADINDEX);
  EXPECT_EQ(GroupAt(0, &none), com::DISP_E_BADINDEX);

  g_ScheduleThreads["fivesec"] = std::make_shared<ScheduleThreadInfo>("fivesec");
  g_ScheduleThreads["FiveSec"] = std::make_shared<ScheduleThreadInfo>("FiveSec");
  EXPECT_EQ(g_ScheduleThreads.size(), 2u);
}

}  // namespace
}  // namespace kv::scheduler::testing
