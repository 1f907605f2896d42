#pragma once
// A running engine in a scratch store: the environment with its root, the embedded tag store,
// a units table with temperatures, a formula library, and limits from the registry store.
#include <gtest/gtest.h>

#include <string>

#include "components/units_components.h"
#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/collection.h"
#include "engine/library.h"
#include "engine/lua_runtime.h"
#include "engine/unit_type.h"
#include "engine_test_util.h"
#include "support/test_env.h"
#include "tags/sqlite_tag_store.h"

namespace kv::engine::testing {

class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLimits(2'000'000, 4096);
    env = com::MakeCom<ZrCalcEnvironment>();
    env->SetBasePath(Bstr::FromUtf8(scratch.Path()));
    objects.environment = env;
    scratch.MakeDir("Calc");
    scratch.MakeDir("Lib");
    env->SetUnitConversionObject(Units().Get());
    auto stats = com::MakeCom<ZrLibrary>();
    stats->SetName(Bstr::FromUtf8("Stats"));
    auto mean = stats->NewFormula("Mean");
    mean->SetScript("m = (x + y) / 2");
    AddParam(mean.Get(), "x", components::kParamIn);
    AddParam(mean.Get(), "y", components::kParamIn);
    AddParam(mean.Get(), "m", components::kParamOut);
    ASSERT_EQ(stats->SaveFile(scratch.W("Lib\\Stats.zrc")), com::S_OK);
  }
  void TearDown() override { DetachThreadRuntime(); }

  // Limits in the registry store; the calling thread's next state takes them.
  void SetLimits(uint32_t instructions, uint32_t memoryKb) {
    auto& reg = testEnv.registry();
    reg.SetValue(platform::RegHive::LocalMachine, kEngineKey, kInstructionLimitValue,
                 platform::RegValue::Dword(instructions));
    reg.SetValue(platform::RegHive::LocalMachine, kEngineKey, kMemoryLimitValue, platform::RegValue::Dword(memoryKb));
    DetachThreadRuntime();
  }

  static com::ComPtr<ZrCollection> Units() {
    auto types = com::MakeCom<ZrCollection>();
    auto temp = com::MakeCom<ZrUnitType>();
    temp->PutName(Bstr::FromUtf8("Temperature"));
    temp->PutStandardUnits(Bstr::FromUtf8("C"));
    com::ComPtr<components::IZrUnit> u;
    temp->CreateUnit(Bstr::FromUtf8("C"), &u);
    temp->CreateUnit(Bstr::FromUtf8("F"), &u);
    u->PutMultiplier(5.0 / 9.0);
    u->PutOffset(-160.0 / 9.0);
    types->Add(Bstr::FromUtf8("Temperature"), temp.Get());
    return types;
  }

  static void AddParam(ZrCalculation* c, const std::string& name, long direction, long kind = 0,
                       const std::string& server = "", const std::string& tag = "", const std::string& units = "",
                       const com::Variant& value = com::Variant(), const std::string& calcName = "") {
    ParameterFields f;
    f.name = name;
    f.direction = static_cast<int32_t>(direction);
    f.kind = static_cast<int32_t>(kind);
    f.serverName = server;
    f.tagName = tag;
    f.units = units;
    f.calcName = calcName;
    ASSERT_TRUE(c->AddParameter(f, value)) << name;
  }

  tags::SqliteTagStore& Store() {
    auto* s = dynamic_cast<tags::SqliteTagStore*>(env->Tags().get());
    EXPECT_NE(s, nullptr) << env->TagStoreError();
    return *s;
  }

  void SetTag(const std::string& server, const std::string& tag, tags::TagValue v, const std::string& units = "") {
    std::string error;
    ASSERT_TRUE(Store().Set(server, tag, v, tags::kQualityGood, 45000, units, &error)) << error;
  }

  kv::testing::TestEnv testEnv;
  ScratchDir scratch;
  ScopedServerObjects objects{testEnv.env()};
  com::ComPtr<ZrCalcEnvironment> env;
};

}  // namespace kv::engine::testing
