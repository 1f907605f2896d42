#include "app/upgrade_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace kv::app {
namespace {

namespace fs = std::filesystem;
using platform::RegHive;

class UpgradeMover : public ::testing::Test {
 protected:
  UpgradeMover() {
    fs::create_directories(Base() + "/Calc");
    fs::create_directories(Base() + "/Lib");
    fs::create_directories(Base() + "/bin");
  }
  std::string Base() const { return env_.Path("store"); }
  std::string Old() const { return env_.Path("old"); }
  void Touch(const std::string& path, const std::string& text = "x") {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
  }
  void SetCalcRoot() {
    env_.registry().SetValue(RegHive::LocalMachine, kDestinationsKey, kCalcRootValue,
                             platform::RegValue::String(Old() + "/"));
  }
  void Move() {
    ZrUpgradeUtils mover(env_.env(), Base(), [this](std::string_view m, std::string_view d) {
      lines_.push_back(std::string(m) + ": " + std::string(d));
    });
    mover.MoveAfterUpgrade();
  }
  bool Marked() { return env_.registry().KeyExists(RegHive::CurrentUser, kUpgradedKey); }

  testing::TestEnv env_;
  std::vector<std::string> lines_;
};

TEST_F(UpgradeMover, WithoutTheDestinationsKeyMarksSilently) {
  Move();
  EXPECT_TRUE(Marked());
  EXPECT_THAT(lines_, ::testing::IsEmpty());
}

TEST_F(UpgradeMover, MovesTheFourFoldersButEditRecycleAndDtx) {
  SetCalcRoot();
  Touch(Old() + "/lib/Steam.zrc");
  Touch(Old() + "/lib/notes.txt");         // not *.zrc
  Touch(Old() + "/Calc/Area3/Flow1.zrc");  // a folder; the table says "calc"
  Touch(Old() + "/Calc/Boiler.zrc");
  Touch(Old() + "/Calc/Edit/Boiler.zrc");
  Touch(Old() + "/Calc/Recycle/Old.zrc");
  Touch(Old() + "/Calc/Boiler.DTX");
  Touch(Old() + "/bin/Schedules.zrc");
  Touch(Old() + "/Apps/OnDemand/Calc/Quick.zrc");
  Move();
  EXPECT_TRUE(Marked());
  EXPECT_THAT(lines_, ::testing::IsEmpty());
  for (const char* moved : {"Lib/Steam.zrc", "Calc/Area3/Flow1.zrc", "Calc/Boiler.zrc", "bin/Schedules.zrc",
                            "Apps/OnDemand/Calc/Quick.zrc"})
    EXPECT_TRUE(fs::exists(Base() + "/" + moved)) << moved;
  for (const char* kept : {"lib/notes.txt", "Calc/Edit/Boiler.zrc", "Calc/Recycle/Old.zrc", "Calc/Boiler.DTX"})
    EXPECT_TRUE(fs::exists(Old() + "/" + kept)) << kept;
  EXPECT_FALSE(fs::exists(Base() + "/Calc/Edit/Boiler.zrc"));
}

TEST_F(UpgradeMover, AnExistingTargetIsKeptLoggedAndTheNextNameMoved) {
  SetCalcRoot();
  Touch(Old() + "/lib/A.zrc", "old");
  Touch(Old() + "/lib/B.zrc", "old");
  Touch(Base() + "/Lib/A.zrc", "current");
  Move();
  std::ifstream in(Base() + "/Lib/A.zrc");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "current");
  EXPECT_TRUE(fs::exists(Old() + "/lib/A.zrc"));
  EXPECT_TRUE(fs::exists(Base() + "/Lib/B.zrc"));
  EXPECT_THAT(lines_, ::testing::ElementsAre("ZrUpgradeUtils::MoveFilesAfterUpgrade: E_FAIL",
                                            "Failed to move files from " + Old() + "/lib\\A.zrc to " + Base() +
                                                "\\Lib\\A.zrc.: E_FAIL"));
  EXPECT_TRUE(Marked());
}

TEST_F(UpgradeMover, MovesNothingWhenTheBaseVariableIsSetOrTheAccountWasHandled) {
  SetCalcRoot();
  Touch(Old() + "/lib/A.zrc");
  env_.system().vars["MORVANE_CALC_BASE"] = Base();
  Move();
  EXPECT_TRUE(Marked());
  EXPECT_FALSE(fs::exists(Base() + "/Lib/A.zrc"));

  env_.system().vars.erase("MORVANE_CALC_BASE");
  Move();  // marked: later files under the old folder stay
  EXPECT_FALSE(fs::exists(Base() + "/Lib/A.zrc"));
}

}  // namespace
}  // namespace kv::app
