#pragma once
// A store under a temporary base directory with the real calculation components, the recording
// authorization service (every right held unless a test says otherwise) and a main command
// object, for the lifecycle, edit-copy and folder commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "security/fake_authorization.h"
#include "store/store_commands.h"

namespace kv::testing {

namespace fs = std::filesystem;

class LifecycleFixture : public GateFixture {
 protected:
  void SetUp() override {
    GateFixture::SetUp();
    service->heldRights = 0xFFFFFFFFu;
    g_BasePath = env.root() + "/store";
    for (const char* d : {"Calc/Edit", "Lib/Edit"}) fs::create_directories(g_BasePath + "/" + d);
    engine::RegisterEngineClasses(&SharedServerObjects());
    ASSERT_EQ(com::CreateInstance(components::CLSID_ZrCalcEnvironment, &g_pEnvironment), com::S_OK);
    g_pEnvironment->SetBasePath(Bstr::FromUtf8(g_BasePath));
    cmd = std::make_unique<ZrCalcCmdObject>();
  }
  void TearDown() override {
    cmd.reset();
    g_pEnvironment = nullptr;
    GateFixture::TearDown();
  }

  static Bstr B(const std::string& s) { return Bstr::FromUtf8(s); }
  static bool Exists(const std::string& rel) { return fs::exists(g_BasePath + "/" + rel); }
  static std::vector<std::string> Entries(const std::string& rel) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(g_BasePath + "/" + rel, ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  long Code() const { return cmd->m_lastError; }

  static std::string Text(IDispatch* obj, const char* property) {
    Variant v;
    EXPECT_EQ(com::GetProperty(obj, property, &v), com::S_OK) << property;
    return v.vt() == com::VT_BSTR ? v.bstr().ToUtf8() : std::string();
  }
  static void Put(IDispatch* obj, const char* property, const Variant& value) {
    ASSERT_EQ(com::PutProperty(obj, property, value), com::S_OK) << property;
  }

  // A new calculation stored under `name` with `script`, through the commands.
  ComPtr<IDispatch> StoreCalculation(const std::string& name, const std::string& script, long calcType = 4) {
    ComPtr<IDispatch> calc = store::CreateCalculationObject(*cmd, B(name), B("HOST7"), B("editor1"));
    EXPECT_TRUE(calc) << name << ": " << Code();
    if (!calc) return calc;
    Put(calc.Get(), "Script", Variant::Str(script));
    Put(calc.Get(), "CalcType", Variant::I4(calcType));
    EXPECT_TRUE(store::SaveCalculationObject(*cmd, calc.Get())) << Code();
    return calc;
  }
  ComPtr<IDispatch> StoreLibrary(const std::string& name) {
    ComPtr<IDispatch> lib = store::CreateLibraryObject(*cmd, B(name), B("HOST7"), B("editor1"));
    EXPECT_TRUE(lib) << name << ": " << Code();
    if (lib) {
      EXPECT_TRUE(store::SaveLibraryObject(*cmd, lib.Get())) << Code();
    }
    return lib;
  }
  // The script of the calculation the environment loads for `name` now.
  std::string StoredScript(const std::string& name) {
    g_pEnvironment->RemoveCalculation(B(name));
    ComPtr<IDispatch> calc = store::GetCalculationObject(*cmd, B(name));
    return calc ? Text(calc.Get(), "Script") : "<missing>";
  }

  std::unique_ptr<ZrCalcCmdObject> cmd;
};

}  // namespace kv::testing
