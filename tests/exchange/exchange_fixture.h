#pragma once
// A store with the real components, where a calculation created by class identifier runs: until
// the engine runs scripts itself, a run that it answers E_NOTIMPL is done here by summing the
// parameters' values into "Status" ("sum <n>"), and a check it answers E_NOTIMPL fails only for
// a script holding "@@". Calculations the environment loads are the engine's own.
#include <gtest/gtest.h>

#include <string>

#include "com/class_registry.h"
#include "engine/calculation.h"
#include "store/lifecycle_fixture.h"
#include "units/units_table.h"

namespace kv::testing {

class RunnableCalculation : public engine::ZrCalculation {
 public:
  HRESULT Calculate() override {
    const HRESULT hr = ZrCalculation::Calculate();
    if (hr != com::E_NOTIMPL) return hr;
    double sum = 0;
    for (const auto& p : Parameters()->Items()) {
      Variant v;
      if (com::SUCCEEDED(com::ChangeType(p->Value(), com::VT_R8, &v))) sum += v.r8();
    }
    SetOutcome(components::kLevelOk, "sum " + engine::FormatDouble(sum), "");
    return com::S_OK;
  }
  HRESULT CheckFormula() override {
    const HRESULT hr = ZrCalculation::CheckFormula();
    if (hr != com::E_NOTIMPL) return hr;
    return Script().find("@@") == std::string::npos ? com::S_OK : components::E_FORMULA_INVALID;
  }
};

class ExchangeFixture : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    com::RegisterClass<RunnableCalculation>(components::CLSID_ZrCalculation);
    units::GetUnitConversionObject();  // the default table, unsaved
  }
  void TearDown() override {
    g_pUnitConversionObject = nullptr;
    LifecycleFixture::TearDown();
  }
  ComPtr<IDispatch> New(const com::CLSID& clsid) {
    ComPtr<IDispatch> obj;
    EXPECT_EQ(com::CreateInstance(clsid, &obj), com::S_OK);
    return obj;
  }
  // "<Parameter>" elements of constants named `name` with `value`, and tag parameters on a server.
  static std::string Constant(const std::string& name, double value) {
    return "<Parameter><Name>" + name + "</Name><Value type=\"5\">" + engine::FormatDouble(value) +
           "</Value></Parameter>";
  }
  static std::string Tag(const std::string& name, const std::string& server) {
    return "<Parameter><Name>" + name + "</Name><Kind>1</Kind><ServerName>" + server +
           "</ServerName><TagName>T1</TagName><Value type=\"0\"/></Parameter>";
  }
  // Stores a calculation `name` with `script` and these parameter elements through LoadCalcXML.
  void StoreWithParameters(const std::string& name, const std::string& parameters, const std::string& script = "x = 1") {
    const std::string text = "<Calculation version=\"1\"><Name>" + name + "</Name><CalcType>4</CalcType><Script>" +
                             script + "</Script><Parameters>" + parameters + "</Parameters></Calculation>";
    ASSERT_EQ(cmd->LoadCalcXML(B(text), New(components::CLSID_ZrCalculation).Get()), 1) << cmd->m_lastErrorText;
  }
};

}  // namespace kv::testing
