// The rights column of the method tables says which commands ask the access gate; a caller who
// holds no right must be refused by every one of them with the code of its wide right, before
// anything else is looked at, through both dispatch classes.
#include "base/rights.h"
#include "com/class_registry.h"
#include "dispatch/calc_commands.h"
#include "dispatch/method_tables.h"
#include "store/lifecycle_fixture.h"

namespace kv::testing {
namespace {

using RightsColumnTest = LifecycleFixture;

// A value of each parameter type; objects are a fresh calculation (every gated command asks the
// gate before it looks at its object).
Variant ArgumentOf(ParamType t) {
  switch (t) {
    case ParamType::Bstr: return Variant::Str("Flow1");
    case ParamType::Long: return Variant::I4(0);
    case ParamType::Double: return Variant::R8(1);
    case ParamType::Date: return Variant::Date(0);
    case ParamType::Bool: return Variant::Bool(false);
    case ParamType::Variant: return Variant::Str("x");
    case ParamType::Dispatch: {
      ComPtr<IDispatch> calc;
      EXPECT_EQ(com::CreateInstance(components::CLSID_ZrCalculation, &calc), com::S_OK);
      return Variant::Dispatch(calc);
    }
  }
  return Variant();
}

// Calls row `i` of the object's table and expects the refusal code of the row's wide right.
void ExpectRefused(ZrCalcCommandsBase& obj, size_t i) {
  const InterfaceTable& table = obj.Table();
  const MethodInfo& m = table.methods[i];
  std::vector<Variant> args;
  for (const ParamInfo& p : m.params)
    if (p.dir != ParamDir::Retval) args.push_back(ArgumentOf(p.type));
  Variant result;
  ASSERT_EQ(obj.Invoke(table.DispIdOf(i), com::DISPATCH_METHOD, args, &result), com::S_OK);
  EXPECT_EQ(obj.Command().m_lastError, security::RefusalCodeOf(m.rights.wide));
}

TEST_F(RightsColumnTest, EveryGatedCommandRefusesACallerWithoutRights) {
  service->heldRights = 0;
  ComPtr<ZrCalcCommandsBase> objects[] = {com::MakeCom<ZrCalcCommands>(), com::MakeCom<ZrCalcAppCommands>()};
  int gated = 0;
  for (const ComPtr<ZrCalcCommandsBase>& obj : objects) {
    // The application object checks rights on the shared stores only when its directory is
    // the main store's; leave it unrooted so it skips nothing it would check.
    const InterfaceTable& table = obj->Table();
    for (size_t i = 0; i < table.methods.size(); ++i) {
      const MethodInfo& m = table.methods[i];
      if (!m.rights.Any()) continue;
      SCOPED_TRACE(table.name + "::" + m.name);
      ++gated;
      ExpectRefused(*obj, i);
    }
  }
  EXPECT_GT(gated, 0);
  // Nothing was written.
  EXPECT_TRUE(Entries("Calc/Edit").empty());
  EXPECT_TRUE(Entries("Lib/Edit").empty());
}

// An application object with its directory set skips the gate for its own store only: the
// library store and the units table are everyone's, so their rows still refuse.
TEST_F(RightsColumnTest, ARootedApplicationObjectIsRefusedOnTheSharedStores) {
  service->heldRights = 0;
  fs::create_directories(g_BasePath + "/Apps/Plant");
  ComPtr<ZrCalcCommandsBase> app = com::MakeCom<ZrCalcAppCommands>();
  ASSERT_TRUE(app->Command().SetBaseDirectory("Plant"));
  const InterfaceTable& table = app->Table();
  int shared = 0;
  for (size_t i = 0; i < table.methods.size(); ++i) {
    const MethodInfo& m = table.methods[i];
    if (m.rights.wide != security::kRightLibrary && m.rights.wide != security::kRightUnits) continue;
    SCOPED_TRACE(m.name);
    ++shared;
    ExpectRefused(*app, i);
  }
  EXPECT_GT(shared, 0);
  EXPECT_TRUE(Entries("Lib/Edit").empty());
  EXPECT_FALSE(Exists("bin"));  // no units table was saved
}

}  // namespace
}  // namespace kv::testing
