#pragma once
// A store with the real components: calculations created by class identifier or loaded by the
// environment are the engine's own and run their scripts.
#include <gtest/gtest.h>

#include <string>

#include "com/class_registry.h"
#include "engine/calculation.h"
#include "store/lifecycle_fixture.h"
#include "units/units_table.h"
#include "exchange/exchange_commands.h"
#include "units/units_commands.h"

namespace kv::testing {

class ExchangeFixture : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
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
    ASSERT_EQ(exchange::LoadCalcXML(*cmd, B(text), New(components::CLSID_ZrCalculation).Get()), 1) << cmd->m_lastErrorText;
  }
};

}  // namespace kv::testing
