#include "commands/method_table.h"

#include <gtest/gtest.h>

#include <set>

namespace kv {
namespace {

TEST(MethodTable, SizesAndNumbering) {
  const auto& main = ICalcCommandsTable();
  const auto& app = ICalcAppCommandsTable();
  EXPECT_EQ(main.methods.size(), 131u);
  EXPECT_EQ(app.methods.size(), 113u);
  struct Case {
    const InterfaceTable* table;
    const char* name;
    com::DISPID id;
  } cases[] = {
      {&main, "CalcExecute", 1},
      {&main, "calcexecute", 1},
      {&main, "CheckAccess", 2},
      {&main, "GetLastCommandError", 4},
      {&main, "CalculationCrossReferenceEx", 131},
      {&app, "CalcExecute", 1},
      {&app, "GetLastCommandError", 3},
      {&app, "NoSuchMethod", com::DISPID_UNKNOWN},
      {&main, "SetBaseDirectory", com::DISPID_UNKNOWN},
      {&main, "FindReferences", com::DISPID_UNKNOWN},
  };
  for (const auto& c : cases) EXPECT_EQ(c.table->DispIdByName(c.name), c.id) << c.name;
  EXPECT_NE(app.DispIdByName("SetBaseDirectory"), com::DISPID_UNKNOWN);
  EXPECT_EQ(main.ByDispId(131)->name, "CalculationCrossReferenceEx");
  EXPECT_EQ(main.ByDispId(0), nullptr);
  EXPECT_EQ(main.ByDispId(132), nullptr);
  EXPECT_EQ(main.iid.ToString(), "{665D06DC-D538-11D1-A6DD-00E02900BE0C}");
  EXPECT_EQ(app.clsid.ToString(), "{CA2C4C34-11E1-11D2-A739-00E02900BE0C}");
}

TEST(MethodTable, EveryMethodIsWellFormed) {
  for (const InterfaceTable* t : {&ICalcCommandsTable(), &ICalcAppCommandsTable()}) {
    std::set<std::string> names;
    for (const auto& m : t->methods) {
      EXPECT_TRUE(names.insert(m.name).second) << "duplicate " << m.name;
      int retvals = 0;
      for (size_t i = 0; i < m.params.size(); ++i) {
        if (m.params[i].dir == ParamDir::Retval) {
          ++retvals;
          EXPECT_EQ(i, m.params.size() - 1) << m.name << ": the result is the last parameter";
        }
      }
      bool noResult = m.name == "FreeUnusedComLibraries" || m.name == "SetOdmWorkSpace" || m.name == "SetStoreAndForwardEnabled";
      EXPECT_EQ(retvals, noResult ? 0 : 1) << m.name;
      for (const auto& in : m.inLogs) EXPECT_LT(static_cast<size_t>(in.param), m.params.size()) << m.name;
      EXPECT_FALSE(m.command.empty()) << m.name;
    }
  }
}

TEST(MethodTable, BehavioursOfNotableMethods) {
  const auto& main = ICalcCommandsTable();
  const auto& app = ICalcAppCommandsTable();
  auto method = [](const InterfaceTable& t, const char* n) { return t.ByDispId(t.DispIdByName(n)); };
  EXPECT_EQ(method(main, "GetLastErrorText")->command, "GetLastCommandError");
  EXPECT_EQ(method(main, "GetLastErrorText")->behaviour, Behaviour::ForwardNoReset);
  EXPECT_EQ(method(main, "GetLibraryObjectEx")->command, "GetLibraryObject");
  EXPECT_EQ(method(main, "AdoExecuteQuery")->behaviour, Behaviour::FixedFalse);
  EXPECT_EQ(method(main, "FormulaLookup")->behaviour, Behaviour::FixedEmpty);
  EXPECT_EQ(method(main, "GetComServerErrors")->behaviour, Behaviour::FixedComServerErrors);
  for (const char* n : {"SaveCalculationObject", "SaveCalculationEditObject", "SaveCalculationObjectAs"})
    EXPECT_TRUE(method(main, n)->nullCheck) << n;
  EXPECT_FALSE(method(app, "SaveCalculationObject")->nullCheck);
  EXPECT_EQ(method(app, "AddScheduleGroup")->behaviour, Behaviour::RefusedSchedule);
  EXPECT_EQ(method(app, "GetScheduleObject")->behaviour, Behaviour::RefusedSchedule);
  EXPECT_EQ(method(app, "SetBaseDirectory")->behaviour, Behaviour::SetBaseDirectory);
  const MethodSpec* del = method(main, "DeleteCalculationObject");
  ASSERT_EQ(del->inLogs.size(), 2u);
  EXPECT_EQ(del->inLogs[0].label, "Name");
  EXPECT_EQ(del->params[static_cast<size_t>(del->inLogs[0].param)].name, "ObjectName");
  const MethodSpec* obj = method(main, "GetCalculationObject");
  EXPECT_EQ(obj->resultLog, ResultLog::Object);
  EXPECT_EQ(obj->objectKind, "Object");
}

}  // namespace
}  // namespace kv
