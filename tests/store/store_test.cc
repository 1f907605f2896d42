#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/store_layout.h"
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "store/fake_environment.h"
#include "store/store_names.h"
#include "support/test_env.h"
#include "store/store_commands.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const Variant& v) {
  std::vector<std::string> out;
  if (!v.IsEmpty()) {
    EXPECT_TRUE(com::VariantToStringList(v, &out));
  }
  return out;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_BasePath = env_.root() + "/store";
    fake_ = com::MakeCom<testing::FakeEnvironment>();
    g_pEnvironment = fake_;
  }
  void TearDown() override { g_pEnvironment = nullptr; }

  void Touch(const std::string& rel) {
    fs::path p = fs::path(g_BasePath) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
  }
  void Dir(const std::string& rel) { fs::create_directories(fs::path(g_BasePath) / rel); }

  testing::TestEnv env_;
  com::ComPtr<testing::FakeEnvironment> fake_;
};

TEST_F(StoreTest, CalculationScanSkipsWhatIsNotAnObject) {
  for (const char* f : {"Calc/Flow1.zrc", "Calc/Area3/Pump.zrc", "Calc/Area3/Valve.zrc", "Calc/Area3/readme.txt",
                        "Calc/Edit/Flow1.zrc", "Calc/Recycle/Gone.zrc", "Calc/notes.txt", "Calc/old.dtx",
                        "Calc/plainfile", "Calc/Area3/sub/Deep.zrc", "Calc/bad.dtx.zrc"})
    Touch(f);
  Dir("Calc/Empty");
  ZrCalcCmdObject obj;
  Variant list;
  store::GetCalculationList(obj, &list);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"Area3\\Pump", "Area3\\Valve", "bad.dtx", "Flow1"}));
  long code;
  obj.GetLastCommandError(&code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(store::ListCalcFolders(obj), (std::vector<std::string>{"Area3", "Empty", "plainfile"}));
}

TEST_F(StoreTest, EmptyStoreListsAsEmptyVariants) {
  ZrCalcCmdObject obj;
  Variant calcs = Variant::I4(1), libs = Variant::I4(1);
  store::GetCalculationList(obj, &calcs);
  store::GetLibraryList(obj, &libs);
  EXPECT_TRUE(calcs.IsEmpty());
  EXPECT_TRUE(libs.IsEmpty());
}

TEST_F(StoreTest, ApplicationObjectListsItsOwnCalculationsAndTheRootLibraries) {
  Touch("Calc/RootCalc.zrc");
  Touch("Apps/Line2/Calc/AppCalc.zrc");
  Touch("Lib/Steam.zrc");
  Touch("Lib/Edit/Steam.zrc");
  Touch("Apps/Line2/Lib/AppLib.zrc");
  ZrCalcAppCmdObject obj;
  obj.SetBaseDirectory("Line2");
  Variant calcs, libs;
  store::GetCalculationList(obj, &calcs);
  store::GetLibraryList(obj, &libs);
  EXPECT_EQ(Names(calcs), std::vector<std::string>{"AppCalc"});
  EXPECT_EQ(Names(libs), std::vector<std::string>{"Steam"});
}

TEST_F(StoreTest, NameTests) {
  struct Case {
    const char* name;
    bool calc, lib, white;
  } cases[] = {
      {"Flow1", true, true, true},
      {"Area3\\Flow1", true, false, true},
      {"Flow 1", false, false, false},
      {"Flow\t1", false, false, false},
      {"A\\B\\C", false, false, true},
      {"\\Flow1", false, false, true},
      {"Area3\\", false, false, true},
      {"..", false, false, true},
      {"..\\..\\etc\\passwd", false, false, true},
      {"a..b", false, false, true},
      {".", false, false, true},
      {"/etc/passwd", false, false, true},
      {"Area3/Flow1", false, false, true},
      {"", false, false, true},
      {"Grüße", true, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(store::IsSafeCalculationName(c.name), c.calc) << c.name;
    EXPECT_EQ(store::IsSafeLibraryName(c.name), c.lib) << c.name;
    EXPECT_EQ(store::IsSafeFolderName(c.name), c.lib) << c.name;
    EXPECT_EQ(layout::NameHasNoWhiteSpace(c.name), c.white) << c.name;
  }
  EXPECT_FALSE(store::IsSafeLibraryName(std::string("a\0b", 3)));
}

TEST_F(StoreTest, FetchesGoToTheEnvironmentOnlyForSafeNames) {
  auto calc = com::MakeCom<testing::FakeCalc>(int16_t{5});
  fake_->calcs[{"<null>", "Area3\\Flow1"}] = calc;
  ZrCalcCmdObject obj;
  EXPECT_EQ(store::GetCalculationObject(obj, Bstr::FromUtf8("Area3\\Flow1")).Get(), static_cast<IDispatch*>(calc.Get()));
  EXPECT_FALSE(store::GetCalculationObject(obj, Bstr::FromUtf8("Missing")));
  long code;
  obj.GetLastCommandError(&code);
  EXPECT_EQ(code, 0);  // no object is no error
  fake_->asked.clear();
  for (const char* bad : {"..\\..\\secret", "/etc/passwd", "A\\B\\C"}) {
    EXPECT_FALSE(store::GetCalculationObject(obj, Bstr::FromUtf8(bad)));
    EXPECT_FALSE(store::GetLibraryObject(obj, Bstr::FromUtf8(bad)));
  }
  EXPECT_TRUE(fake_->asked.empty());

  ZrCalcAppCmdObject app;
  app.SetBaseDirectory("Line2");
  fake_->calcs[{g_BasePath + "\\Apps\\Line2", "Flow1"}] = calc;
  EXPECT_TRUE(store::GetCalculationObject(app, Bstr::FromUtf8("Flow1")));  // asked with its own directory
}

TEST_F(StoreTest, FormulaListNeedsALibrary) {
  ZrCalcCmdObject obj;
  auto notLib = com::MakeCom<testing::FakeCalc>(int16_t{0});
  Variant result = Variant::I4(9);
  store::GetFormulaList(obj, notLib.Get(), &result);
  long code;
  EXPECT_EQ(obj.GetLastCommandError(&code).ToUtf8(), "Object is Not a Library.");
  EXPECT_EQ(code, CMDERR_NOT_A_LIBRARY);
  store::GetFormulaList(obj, nullptr, &result);
  obj.GetLastCommandError(&code);
  EXPECT_EQ(code, CMDERR_NOT_A_LIBRARY);
}

TEST_F(StoreTest, SummaryHasSixElementsWithPerCalculationStates) {
  Touch("Calc/Flow1.zrc");
  Touch("Calc/Area3/Pump.zrc");
  fake_->calcs[{"<null>", "Flow1"}] = com::MakeCom<testing::FakeCalc>(int16_t{3});
  ZrCalcCmdObject obj;
  Variant summary;
  store::GetCalculationSummary(obj, &summary);
  ASSERT_EQ(summary.vt(), com::VT_ARRAY | com::VT_VARIANT);
  const auto& a = summary.array();
  ASSERT_EQ(a.Count(), 6u);
  EXPECT_EQ(Names(a.At(0)), (std::vector<std::string>{"Area3\\Pump", "Flow1"}));
  ASSERT_EQ(a.At(1).vt(), com::VT_ARRAY | com::VT_VARIANT);
  ASSERT_EQ(a.At(1).array().Count(), 2u);
  EXPECT_EQ(a.At(1).array().At(0), Variant::I2(-1));  // not held by the environment
  EXPECT_EQ(a.At(1).array().At(1), Variant::I2(3));
  EXPECT_EQ(Names(a.At(4)), std::vector<std::string>{"Area3"});
  for (int i : {2, 3, 5}) EXPECT_TRUE(a.At(i).IsArray()) << i;
  EXPECT_EQ(ScheduleLock().Holder(), kSiteScheduleCommand);
}

TEST_F(StoreTest, OverlongNamesFailCleanly) {
  ZrCalcCmdObject obj;
  std::string longName(5000, 'n');
  EXPECT_TRUE(store::FileIsMissing(obj, g_BasePath + "\\Calc\\" + longName + ".zrc"));
  EXPECT_FALSE(store::GetCalculationObject(obj, Bstr::FromUtf8(longName)));
}

}  // namespace
}  // namespace kv
