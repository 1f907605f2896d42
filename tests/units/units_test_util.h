#pragma once
// A fixture for the units tests: a store directory, the engine classes, no units table, and the
// recording authorization service holding the units right.
#include <filesystem>
#include <string>
#include <vector>

#include "command_object/shared_objects.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "security/fake_authorization.h"
#include "base/rights.h"

namespace kv::units::testing {

class UnitsFixture : public kv::testing::GateFixture {
 protected:
  void SetUp() override {
    GateFixture::SetUp();
    g_BasePath = env.root() + "/store";
    std::filesystem::create_directories(g_BasePath);
    engine::RegisterEngineClasses(&SharedServerObjects());
    g_pUnitConversionObject = nullptr;
    service->heldRights = security::kRightUnits;
  }
  void TearDown() override {
    g_pUnitConversionObject = nullptr;
    GateFixture::TearDown();
  }
  std::string ConversionsFile() const { return g_BasePath + "/bin/Conversions.zrc"; }
};

inline std::vector<std::string> ListOf(const com::Variant& v) {
  std::vector<std::string> names;
  com::VariantToStringList(v, &names);
  return names;
}

}  // namespace kv::units::testing
