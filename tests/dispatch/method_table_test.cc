#include "dispatch/method_tables.h"

#include <gtest/gtest.h>

#include <set>

#include "dispatch/command_binding.h"
#include "store/store_commands.h"

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
      // A forwarding row runs a handler (perhaps the not-built marker); a fixed answer has none.
      EXPECT_EQ(m.handler != nullptr, m.Forwards()) << m.name;
    }
  }
}

TEST(MethodTable, ClientsSeeTheSameRowsWithoutHandlers) {
  const InterfaceTable* pairs[][2] = {{&ICalcCommandsTable(), &ICalcCommandsInterface()},
                                      {&ICalcAppCommandsTable(), &ICalcAppCommandsInterface()}};
  for (const auto& [server, client] : pairs) {
    EXPECT_EQ(server->name, client->name);
    EXPECT_EQ(server->iid, client->iid);
    ASSERT_EQ(server->methods.size(), client->methods.size());
    for (size_t i = 0; i < server->methods.size(); ++i) {
      const MethodInfo& s = server->methods[i];
      const MethodInfo& c = client->methods[i];
      EXPECT_EQ(s.name, c.name);
      ASSERT_EQ(s.params.size(), c.params.size()) << s.name;
      for (size_t k = 0; k < s.params.size(); ++k) {
        EXPECT_EQ(s.params[k].name, c.params[k].name) << s.name;
        EXPECT_EQ(s.params[k].type, c.params[k].type) << s.name;
        EXPECT_EQ(s.params[k].dir, c.params[k].dir) << s.name;
      }
      EXPECT_EQ(c.handler, nullptr) << s.name;
    }
  }
}

// Every row of both tables is bound to its command.
TEST(MethodTable, EveryCommandIsBuilt) {
  const std::set<std::string> none;
  auto notBuilt = [](const InterfaceTable& t) {
    std::set<std::string> names;
    for (const MethodInfo& m : t.methods)
      if (m.handler == &NotBuilt) names.insert(m.name);
    return names;
  };
  EXPECT_EQ(notBuilt(ICalcCommandsTable()), none);
  EXPECT_EQ(notBuilt(ICalcAppCommandsTable()), none);
}

TEST(MethodTable, BehavioursOfNotableMethods) {
  const auto& main = ICalcCommandsTable();
  const auto& app = ICalcAppCommandsTable();
  auto method = [](const InterfaceTable& t, const char* n) { return t.ByDispId(t.DispIdByName(n)); };
  EXPECT_EQ(method(main, "GetLastErrorText")->handler, &Command<&CCalcCmdBase::GetLastErrorText>);
  EXPECT_EQ(method(main, "GetLastErrorText")->behaviour, Behaviour::ForwardNoReset);
  EXPECT_EQ(method(main, "GetLibraryObjectEx")->handler, &Command<&store::GetLibraryObjectEx>);
  EXPECT_EQ(method(main, "AdoExecuteQuery")->behaviour, Behaviour::FixedFalse);
  EXPECT_EQ(method(main, "FormulaLookup")->behaviour, Behaviour::FixedEmpty);
  EXPECT_EQ(method(main, "GetComServerErrors")->behaviour, Behaviour::FixedComServerErrors);
  for (const char* n : {"SaveCalculationObject", "SaveCalculationEditObject", "SaveCalculationObjectAs"})
    EXPECT_TRUE(method(main, n)->nullCheck) << n;
  EXPECT_FALSE(method(app, "SaveCalculationObject")->nullCheck);
  EXPECT_EQ(method(app, "AddScheduleGroup")->behaviour, Behaviour::RefusedSchedule);
  EXPECT_EQ(method(app, "GetScheduleObject")->behaviour, Behaviour::RefusedSchedule);
  EXPECT_EQ(method(app, "SetBaseDirectory")->behaviour, Behaviour::Forward);
  const MethodInfo* del = method(main, "DeleteCalculationObject");
  ASSERT_EQ(del->inLogs.size(), 2u);
  EXPECT_EQ(del->inLogs[0].label, "Name");
  EXPECT_EQ(del->params[static_cast<size_t>(del->inLogs[0].param)].name, "ObjectName");
  const MethodInfo* obj = method(main, "GetCalculationObject");
  EXPECT_EQ(obj->resultLog, ResultLog::Object);
  EXPECT_EQ(obj->objectKind, "Object");
}

}  // namespace
}  // namespace kv
