#include "command_object/calc_cmd_base.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/error_codes.h"
#include "config/config.h"
#include "support/test_env.h"
#include "store/store_commands.h"

namespace kv {
namespace {

class CommandObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { g_BasePath = env_.root() + "/store"; }
  testing::TestEnv env_;
};

TEST_F(CommandObjectTest, LastErrorCodesAndTexts) {
  struct Case {
    long code;
    const char* text;
  } cases[] = {
      {129, "Invalid password"},
      {135, "Failed to load object from file.\nSee file MorvaneCalcMessageLog.txt for details."},
      {159, "The Object is currently beiing edited."},
      {176, "Invalid Schedule Priority Value. Valid Numbers: -2, -1, 0, 1, 2"},
      {195, "Not authorized to create, modify, delete, copy or rename of any type of formula/library on this node. "},
      {198, "Not authorized to create, modify, delete of any engineering units on this node. "},
      {199, "Failed to switch user security context!"},
      {200, "Undefined Error Code: 200 (0xC8)"},
      {128, "Undefined Error Code: 128 (0x80)"},
      {0, "Undefined Error Code: 0 (0x0)"},
      {-1, "Undefined Error Code: -1 (0xFFFFFFFF)"},
  };
  ZrCalcCmdObject obj;
  for (const auto& c : cases) {
    obj.SetCommandError(c.code);
    long code = 12345;
    EXPECT_EQ(obj.GetLastCommandError(&code).ToUtf8(), c.text) << c.code;
    EXPECT_EQ(code, c.code);
    // Reading does not clear it.
    EXPECT_EQ(obj.GetLastCommandError(&code).ToUtf8(), c.text);
  }
  for (long code = 129; code <= 199; ++code) EXPECT_NE(CommandErrorText(code), nullptr) << code;
}

TEST_F(CommandObjectTest, FreshObjectHasNoErrorAndCatchAllKeepsItsText) {
  ZrCalcCmdObject obj;
  long code = -7;
  EXPECT_EQ(obj.GetLastCommandError(&code).ToUtf8(), "");
  EXPECT_EQ(code, 0);
  obj.SetCommandError("Folder already exists.", CMDERR_CATCH_ALL);
  EXPECT_EQ(obj.GetLastCommandError(&code).ToUtf8(), "Folder already exists.");
  EXPECT_EQ(code, 186);
  obj.ResetLastError();
  EXPECT_EQ(obj.GetLastCommandError(&code).ToUtf8(), "");
  EXPECT_EQ(code, 0);
}

TEST_F(CommandObjectTest, MainObjectIsRootedAtTheBasePathWithChecksOn) {
  ZrCalcCmdObject obj;
  std::string dir;
  ASSERT_TRUE(obj.GetBaseDirectory(&dir));
  EXPECT_EQ(dir, g_BasePath);
  EXPECT_EQ(obj.m_accessMode, CCalcCmdBase::kAccessChecked);
  EXPECT_FALSE(std::filesystem::exists(g_BasePath));  // rooting creates nothing
  EXPECT_STREQ(obj.GetRuntimeClass()->className, "ZrCalcCmdObject");
}

TEST_F(CommandObjectTest, ApplicationObjectIsUnrootedUntilItsDirectoryIsSet) {
  ZrCalcAppCmdObject obj;
  std::string dir = "x";
  EXPECT_FALSE(obj.GetBaseDirectory(&dir));
  EXPECT_EQ(dir, "");
  Variant list = Variant::I4(3);
  store::GetCalculationList(obj, &list);
  long code;
  obj.GetLastCommandError(&code);
  EXPECT_EQ(code, CMDERR_BASE_DIR_NOT_INITIALIZED);
  EXPECT_TRUE(list.IsEmpty());

  std::string app = g_BasePath + "/Apps/Line2";
  std::filesystem::create_directories(app + "/Calc");
  std::ofstream(app + "/Calc/keep.zrc") << "x";
  EXPECT_TRUE(obj.SetBaseDirectory("Line2"));
  for (const char* sub : {"Calc", "Calc/Edit", "Lib", "Lib/Edit"}) EXPECT_TRUE(std::filesystem::is_directory(app + "/" + sub)) << sub;
  EXPECT_TRUE(std::filesystem::exists(app + "/Calc/keep.zrc"));
  ASSERT_TRUE(obj.GetBaseDirectory(&dir));
  EXPECT_EQ(dir, g_BasePath + "\\Apps\\Line2");
  EXPECT_EQ(obj.m_appName, "Line2");
  EXPECT_EQ(obj.m_accessMode, CCalcCmdBase::kAccessApplication);

  EXPECT_TRUE(obj.SetBaseDirectory(""));  // back to the root, checks on again
  EXPECT_EQ(obj.m_accessMode, CCalcCmdBase::kAccessChecked);
  ASSERT_TRUE(obj.GetBaseDirectory(&dir));
  EXPECT_EQ(dir, g_BasePath);
}

TEST_F(CommandObjectTest, StringArrayToVariantShapes) {
  Variant v;
  CCalcCmdBase::StringArrayToVariant({}, &v);
  EXPECT_TRUE(v.IsEmpty());
  CCalcCmdBase::StringArrayToVariant({"Flow1"}, &v);
  ASSERT_EQ(v.vt(), com::VT_ARRAY | com::VT_VARIANT);
  EXPECT_EQ(v.array().LowerBound(), 0);
  EXPECT_EQ(v.array().UpperBound(), 0);
  EXPECT_EQ(v.array().At(0), Variant::Str("Flow1"));
}

}  // namespace
}  // namespace kv
