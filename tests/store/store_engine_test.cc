// The store commands over the real calculation components: objects saved by the components are
// listed and fetched through the command object, and a damaged file fetches as no object.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "log/error_log.h"
#include "support/test_env.h"
#include "store/store_commands.h"

namespace kv {
namespace {

using components::IZrCalcEnvironment;
using components::IZrCalculation;
using components::IZrPersistFile;

class StoreEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_BasePath = env_.root() + "/store";
    for (const char* d : {"Calc/Area3", "Calc/Edit", "Lib/Edit"}) std::filesystem::create_directories(g_BasePath + "/" + d);
    engine::RegisterEngineClasses(&SharedServerObjects());
    ASSERT_EQ(com::CreateInstance(components::CLSID_ZrCalcEnvironment, &g_pEnvironment), com::S_OK);
    g_pEnvironment->SetBasePath(Bstr::FromUtf8(g_BasePath));
  }
  void TearDown() override { g_pEnvironment = nullptr; }

  void SaveCalculation(const std::string& name, const std::string& script) {
    ComPtr<IZrCalculation> calc;
    ASSERT_EQ(com::CreateInstance(components::CLSID_ZrCalculation, &calc), com::S_OK);
    calc->SetName(Bstr::FromUtf8(name));
    ASSERT_EQ(com::PutProperty(com::QueryInterface<IDispatch>(calc).Get(), "Script", Variant::Str(script)), com::S_OK);
    auto file = com::QueryInterface<IZrPersistFile>(calc);
    ASSERT_EQ(file->SaveToFile(Bstr::FromUtf8(g_BasePath + "\\Calc\\" + name + ".zrc")), com::S_OK);
  }

  testing::TestEnv env_;
};

TEST_F(StoreEngineTest, SavedCalculationsAreListedAndFetched) {
  SaveCalculation("Flow1", "return 1");
  SaveCalculation("Area3\\Pump", "");
  ZrCalcCmdObject obj;
  Variant list;
  store::GetCalculationList(obj, &list);
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(list, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"Area3\\Pump", "Flow1"}));

  ComPtr<IDispatch> calc = store::GetCalculationObject(obj, Bstr::FromUtf8("Area3\\Pump"));
  ASSERT_TRUE(calc);
  Variant name;
  ASSERT_EQ(com::GetProperty(calc.Get(), "Name", &name), com::S_OK);
  EXPECT_EQ(name.bstr().ToUtf8(), "Area3\\Pump");
  EXPECT_EQ(store::GetCalculationObject(obj, Bstr::FromUtf8("Area3\\Pump")), calc);  // held by the environment

  Variant summary;
  store::GetCalculationSummary(obj, &summary);
  const auto& states = summary.array().At(1).array();
  EXPECT_EQ(states.At(0), Variant::I2(0));  // no script
  EXPECT_EQ(states.At(1), Variant::I2(1));
}

TEST_F(StoreEngineTest, DamagedObjectFileFetchesAsNoObjectWithALogLine) {
  std::ofstream(g_BasePath + "/Calc/Broken.zrc") << "<Calculation version=\"1\"><Name>Bro";
  std::vector<std::string> lines;
  auto previous = log::SetErrorSink([&](std::string_view m, std::string_view d) { lines.emplace_back(std::string(m) + ": " + std::string(d)); });
  ZrCalcCmdObject obj;
  EXPECT_FALSE(store::GetCalculationObject(obj, Bstr::FromUtf8("Broken")));
  log::SetErrorSink(previous);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Broken.zrc"), std::string::npos) << lines[0];
  long code;
  obj.GetLastCommandError(&code);
  EXPECT_EQ(code, 0);
  Variant list;
  store::GetCalculationList(obj, &list);  // still listed: the file is there
  EXPECT_FALSE(list.IsEmpty());
}

}  // namespace
}  // namespace kv
