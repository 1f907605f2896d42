// Which commands ask the access gate, and for which right: a caller who holds no right must be
// refused by every one of them with the code of its wide right, before anything else is looked
// at, through both dispatch classes; and no other command refuses such a caller.
#include <map>
#include <string>

#include "base/rights.h"
#include "com/class_registry.h"
#include "dispatch/calc_commands.h"
#include "dispatch/method_tables.h"
#include "store/lifecycle_fixture.h"

namespace kv::testing {
namespace {

using CommandRightsTest = LifecycleFixture;

// The wide right of every gated command (the CalcScript-only right, where a command has one, is
// asked only when the wide one is refused). A command that names its right in its body but is
// missing here, or listed here but asking nothing, fails the tests below.
const std::map<std::string, uint32_t>& GatedCommands() {
  static const std::map<std::string, uint32_t> rows = {
    {"AddMeasurementType", security::kRightUnits},
    {"AddScheduleGroup", security::kRightSchedule},
    {"AddScheduledItem", security::kRightSchedule},
    {"AddUnit", security::kRightUnits},
    {"CalcExecute", security::kRightExecute},
    {"CancelEdit", security::kRightCalc},
    {"ComputeNewRunTime", security::kRightSchedule},
    {"CreateCalcFolder", security::kRightCalc},
    {"CreateCalculationEditObject", security::kRightCalc},
    {"CreateCalculationObject", security::kRightCalc},
    {"CreateLibraryEditObject", security::kRightLibrary},
    {"CreateLibraryObject", security::kRightLibrary},
    {"DeleteCalcFolder", security::kRightCalc},
    {"DeleteCalculationEditObject", security::kRightCalc},
    {"DeleteCalculationObject", security::kRightCalc},
    {"DeleteLibraryEditObject", security::kRightLibrary},
    {"DeleteLibraryObject", security::kRightLibrary},
    {"DeleteMeasurementType", security::kRightUnits},
    {"DeleteScheduleGroup", security::kRightSchedule},
    {"DeleteScheduledItem", security::kRightSchedule},
    {"DeleteUnit", security::kRightUnits},
    {"ExecuteCalculationXML", security::kRightExecute},
    {"ExecuteXML", security::kRightExecute},
    {"GetCalculationEditObject", security::kRightCalc},
    {"LoadUnitXML", security::kRightUnits},
    {"RenameCalcFolder", security::kRightCalc},
    {"SaveCalculationEditObject", security::kRightCalc},
    {"SaveCalculationObject", security::kRightCalc},
    {"SaveCalculationObjectAs", security::kRightCalc},
    {"SaveLibraryEditObject", security::kRightLibrary},
    {"SaveLibraryFormula", security::kRightLibrary},
    {"SaveLibraryObject", security::kRightLibrary},
    {"SaveLibraryObjectAs", security::kRightLibrary},
    {"SetComputedRunTime", security::kRightSchedule},
    {"SetObjectPassword", security::kRightCalc},
    {"SetOdmWorkSpace", security::kRightSchedule},
    {"SetScheduleGroupNextRunTime", security::kRightSchedule},
    {"SetScheduleGroupOffset", security::kRightSchedule},
    {"SetScheduleGroupPriority", security::kRightSchedule},
    {"SetScheduleGroupRate", security::kRightSchedule},
    {"SetStoreAndForwardEnabled", security::kRightSchedule},
    {"UpdateMeasurementTypeInfo", security::kRightUnits},
    {"UpdateUnitInfo", security::kRightUnits},
  };
  return rows;
}

uint32_t WideRightOf(const MethodInfo& m) {
  auto it = GatedCommands().find(m.name);
  return it == GatedCommands().end() ? 0 : it->second;
}

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

// Calls row `i` of the object's table and expects the refusal code of the command's wide right
// (no error at all for a command that asks nothing).
void ExpectRefused(ZrCalcCommandsBase& obj, size_t i) {
  const InterfaceTable& table = obj.Table();
  const MethodInfo& m = table.methods[i];
  std::vector<Variant> args;
  for (const ParamInfo& p : m.params)
    if (p.dir != ParamDir::Retval) args.push_back(ArgumentOf(p.type));
  Variant result;
  obj.Command().ResetLastError();  // what an earlier row left is not this row's answer
  ASSERT_EQ(obj.Invoke(table.DispIdOf(i), com::DISPATCH_METHOD, args, &result), com::S_OK);
  const uint32_t wide = WideRightOf(m);
  if (wide != 0) {
    EXPECT_EQ(obj.Command().m_lastError, security::RefusalCodeOf(wide));
  } else {
    for (uint32_t right : {security::kRightCalc, security::kRightExecute, security::kRightLibrary,
                           security::kRightSchedule, security::kRightUnits})
      EXPECT_NE(obj.Command().m_lastError, security::RefusalCodeOf(right));
  }
}

TEST_F(CommandRightsTest, EveryGatedCommandRefusesACallerWithoutRights) {
  service->heldRights = 0;
  ComPtr<ZrCalcCommandsBase> objects[] = {com::MakeCom<ZrCalcCommands>(), com::MakeCom<ZrCalcAppCommands>()};
  int gated = 0;
  for (const ComPtr<ZrCalcCommandsBase>& obj : objects) {
    // The application object checks rights on the shared stores only when its directory is
    // the main store's; leave it unrooted so it skips nothing it would check.
    const InterfaceTable& table = obj->Table();
    for (size_t i = 0; i < table.methods.size(); ++i) {
      const MethodInfo& m = table.methods[i];
      if (!m.Forwards()) continue;
      SCOPED_TRACE(table.name + "::" + m.name);
      if (WideRightOf(m) != 0) ++gated;
      ExpectRefused(*obj, i);
    }
  }
  EXPECT_GT(gated, 0);
  // Nothing was written.
  EXPECT_TRUE(Entries("Calc/Edit").empty());
  EXPECT_TRUE(Entries("Lib/Edit").empty());
}

// An application object with its directory set skips the gate for its own store only: the
// library store, the units table and the process tags a run writes are everyone's, so their
// rows still refuse.
TEST_F(CommandRightsTest, ARootedApplicationObjectIsRefusedOnTheSharedStores) {
  service->heldRights = 0;
  fs::create_directories(g_BasePath + "/Apps/Plant");
  ComPtr<ZrCalcCommandsBase> app = com::MakeCom<ZrCalcAppCommands>();
  ASSERT_TRUE(app->Command().SetBaseDirectory("Plant"));
  const InterfaceTable& table = app->Table();
  int shared = 0;
  for (size_t i = 0; i < table.methods.size(); ++i) {
    const MethodInfo& m = table.methods[i];
    const uint32_t right = WideRightOf(m);
    if (right != security::kRightLibrary && right != security::kRightUnits && right != security::kRightExecute)
      continue;
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
