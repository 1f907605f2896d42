// The execution commands on the command object: runs by object, by name and from XML text, the
// private copy of ExecuteCalculationXML, the script-parameter pass-throughs, and the gate.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "base/rights.h"
#include "engine/calc_environment.h"
#include "exchange/exchange_fixture.h"
#include "tags/sqlite_tag_store.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler_supervisor.h"
#include "exchange/exchange_commands.h"
#include "execution/execution_commands.h"
#include "store/store_commands.h"
#include "units/units_table.h"

namespace kv::testing {
namespace {

class ExecutionTest : public ExchangeFixture {
 protected:
  static std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static timespec MTime(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtim;
  }
  static engine::ZrCalcEnvironment* Engine() { return dynamic_cast<engine::ZrCalcEnvironment*>(g_pEnvironment.Get()); }
  // The engine's tag store with `tag` on `server` set to `value`; null, and a failure, when it
  // cannot be had.
  static std::shared_ptr<tags::SqliteTagStore> SeedTag(const std::string& server, const std::string& tag,
                                                       double value, const std::string& units = "") {
    auto store = Engine() ? std::dynamic_pointer_cast<tags::SqliteTagStore>(Engine()->Tags()) : nullptr;
    std::string error;
    if (!store || !store->Set(server, tag, tags::TagValue(value), tags::kQualityGood, 0, units, &error)) {
      ADD_FAILURE() << "cannot seed " << server << "/" << tag << ": " << error;
      return nullptr;
    }
    return store;
  }
  static std::string ChildText(const std::string& xml, const char* name) {
    pugi::xml_document doc;
    doc.load_string(xml.c_str());
    return doc.document_element().child(name).text().get();
  }
};

// A run on demand takes store-and-forward from the server's configuration as it is now: with it
// on, a write to an offline tag server is spooled (a warning); with it off, the run fails and
// nothing is spooled. Every execution command that runs a calculation follows it.
TEST_F(ExecutionTest, OnDemandRunsSpoolWhileStoreAndForwardIsOn) {
  auto store = SeedTag("Plant", "Out", 0.0);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->SetServerOnline("Plant", false));
  StoreWithParameters("Flow1",
                      "<Parameter><Name>Out</Name><Direction>1</Direction><Kind>1</Kind><ServerName>Plant</ServerName>"
                      "<TagName>Out</TagName><Value type=\"0\"/></Parameter>",
                      "Out = 5");
  const std::string xml = "<Calculation><Name>Flow1</Name></Calculation>";
  struct Case {
    const char* command;
    std::function<void()> run;
  } cases[] = {
      {"CalcExecute", [&] { EXPECT_TRUE(execution::CalcExecute(*cmd, store::GetCalculationObject(*cmd, B("Flow1")).Get())); }},
      {"ExecuteItem", [&] { execution::ExecuteItem(*cmd, B("Flow1"), nullptr); }},
      {"ExecuteCalculationXML", [&] { execution::ExecuteCalculationXML(*cmd, B(xml)); }},
  };
  size_t spooled = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    for (const bool on : {false, true}) {
      g_bStoreAndForwardEnabled = on ? com::VARIANT_TRUE : com::VARIANT_FALSE;
      c.run();
      if (on) ++spooled;
      EXPECT_EQ(store->Spool().size(), spooled) << (on ? "on" : "off");
    }
  }
  g_bStoreAndForwardEnabled = 0;
  ComPtr<IDispatch> calc = store::GetCalculationObject(*cmd, B("Flow1"));
  Variant level;
  ASSERT_EQ(com::GetProperty(calc.Get(), "Level", &level), com::S_OK);
  EXPECT_EQ(level.i4(), components::kLevelWarning);
}

// Validate2 with the unit check reaches the engine's parameters: units that do not convert to
// the tag's, and units the table lacks, fail validation before a run could fail on them.
TEST_F(ExecutionTest, Validate2ChecksUnitsAgainstTheTag) {
  auto store = SeedTag("Plant", "T", 20.0, "C");
  ASSERT_NE(store, nullptr);
  units::GetUnitConversionObject();  // the default table
  ASSERT_TRUE(g_pUnitConversionObject);
  Engine()->SetUnitConversionObject(com::QueryInterface<com::IDispatch>(g_pUnitConversionObject).Get());
  struct Case {
    const char* units;
    bool checkUnits;
    const char* message;  // a part of it; "" for valid
  } cases[] = {
      {"F", true, ""},
      {"kg", true, "do not convert to the tag's units C"},
      {"nosuchunit", true, "are not in the units table"},
      {"kg", false, ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.units) + (c.checkUnits ? " checked" : " unchecked"));
    const std::string name = "V" + std::to_string(++n);
    StoreWithParameters(name,
                        std::string("<Parameter><Name>In</Name><Direction>0</Direction><Kind>1</Kind>"
                                    "<ServerName>Plant</ServerName><TagName>T</TagName><Units>") +
                            c.units + "</Units><Value type=\"0\"/></Parameter>",
                        "return In");
    long count = 0;
    const std::string message =
        execution::Validate2(*cmd, store::GetCalculationObject(*cmd, B(name)).Get(), c.checkUnits, &count).ToUtf8();
    if (*c.message == 0) {
      EXPECT_EQ(message, "");
    } else {
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
  }
  Engine()->SetUnitConversionObject(nullptr);
  g_pUnitConversionObject = nullptr;
}

TEST_F(ExecutionTest, CalcExecuteRunsWhatTheObjectAnswersAndChecksTheGate) {
  EXPECT_FALSE(execution::CalcExecute(*cmd, nullptr));
  EXPECT_EQ(Code(), CMDERR_GET_CALCULATION_OBJECT);

  ComPtr<IDispatch> calc = execution::CreateTemporaryCalc(*cmd, B("return 6 * 7"));
  ASSERT_TRUE(calc);
  EXPECT_EQ(Text(calc.Get(), "Script"), "return 6 * 7");
  EXPECT_FALSE(Exists("Calc/.zrc"));
  EXPECT_TRUE(execution::CalcExecute(*cmd, calc.Get()));
  Variant value;
  ASSERT_EQ(com::GetProperty(calc.Get(), "Value", &value), com::S_OK);
  EXPECT_EQ(value, Variant::I4(42));  // a Lua integer stays an integer
  // A library runs nothing and still answers true.
  EXPECT_TRUE(execution::CalcExecute(*cmd, New(components::CLSID_ZrLibrary).Get()));
  EXPECT_EQ(Code(), 0);

  service->heldRights = 0;
  EXPECT_FALSE(execution::CalcExecute(*cmd, calc.Get()));
  EXPECT_EQ(Code(), CMDERR_DENIED_EXECUTE);
  // A run writes the tags every client shares: an application object with its own store asks
  // too.
  fs::create_directories(g_BasePath + "/Apps/Plant");
  ZrCalcAppCmdObject app;
  app.SetBaseDirectory("Plant");
  EXPECT_FALSE(execution::CalcExecute(app, calc.Get()));
  EXPECT_EQ(app.m_lastError, CMDERR_DENIED_EXECUTE);
  service->heldRights = security::kRightExecute;
  EXPECT_TRUE(execution::CalcExecute(app, calc.Get()));
}

TEST_F(ExecutionTest, ExecuteItemRunsAStoredCalculationAndFillsTheFiveResults) {
  StoreWithParameters("Flow1", Constant("a", 2), "return a * 2");
  Variant result = Variant::I4(77);
  const Variant status = execution::ExecuteItem(*cmd, B("Flow1"), &result);
  EXPECT_EQ(status, Variant::I4(1));
  ASSERT_EQ(result.vt(), com::VT_ARRAY | com::VT_VARIANT);
  ASSERT_EQ(result.array().Count(), 5u);
  // Element 0 is what the run by name answered, then the results the calculation holds.
  EXPECT_EQ(result.array().At(0), Variant::I4(com::S_OK));
  EXPECT_EQ(result.array().At(1), Variant::R8(4));
  ComPtr<IDispatch> held = store::GetCalculationObject(*cmd, B("Flow1"));
  Variant level, statusText, errorText;
  com::GetProperty(held.Get(), "Level", &level);
  com::GetProperty(held.Get(), "Status", &statusText);
  com::GetProperty(held.Get(), "ErrorText", &errorText);
  EXPECT_EQ(result.array().At(2), level);
  EXPECT_EQ(result.array().At(3), statusText);
  EXPECT_EQ(result.array().At(4), errorText);

  // A refusal is the status alone, on every command object.
  service->heldRights = 0;
  fs::create_directories(g_BasePath + "/Apps/Plant/Calc");
  fs::copy_file(g_BasePath + "/Calc/Flow1.zrc", g_BasePath + "/Apps/Plant/Calc/Flow1.zrc");
  ZrCalcAppCmdObject app;
  app.SetBaseDirectory("Plant");
  for (CCalcCmdBase* object : {static_cast<CCalcCmdBase*>(cmd.get()), static_cast<CCalcCmdBase*>(&app)}) {
    result = Variant();
    object->SetCommandError(CMDERR_CATCH_ALL);
    EXPECT_EQ(execution::ExecuteItem(*object, B("Flow1"), &result), Variant::I4(-4));
    EXPECT_TRUE(result.IsEmpty());
    EXPECT_EQ(object->m_lastError, 0);
  }
}

TEST_F(ExecutionTest, ExecuteItemLooksForAGroupOnlyOnTheMainObjectWithASchedule) {
  Variant result = Variant::I4(77);
  // No schedule: nothing is looked up, the result stays.
  EXPECT_TRUE(execution::ExecuteItem(*cmd, B("Hourly"), &result).IsEmpty());
  EXPECT_EQ(result, Variant::I4(77));

  ASSERT_EQ(com::CreateInstance(components::CLSID_ZrCollection, &g_pScheduleObject), com::S_OK);
  EXPECT_TRUE(execution::ExecuteItem(*cmd, B("NoSuchItem"), &result).IsEmpty());
  EXPECT_EQ(result, Variant::Bool(false));

  // A group is made due now and the group threads are woken; a name that is also a calculation
  // runs the calculation only.
  StoreWithParameters("Flow1", Constant("a", 2), "return a");
  for (const char* name : {"Hourly", "Flow1"}) {
    ASSERT_EQ(scheduler::CreateScheduleGroup(g_pScheduleObject.Get(), B(name), 1.0 / 24, 0, 0, 0, 0), com::S_OK);
    ComPtr<components::IZrScheduleGroup> group;
    ASSERT_EQ(scheduler::FindGroup(B(name), &group), com::S_OK);
    group->PutNextRunTime(1.0);
  }
  scheduler::ExecuteItemEvent().ResetEvent();
  EXPECT_EQ(execution::ExecuteItem(*cmd, B("Hourly"), &result), Variant::I4(2));
  EXPECT_EQ(result, Variant::Bool(true));
  EXPECT_TRUE(scheduler::ExecuteItemEvent().IsSet());
  auto nextRun = [](const char* name) {
    ComPtr<components::IZrScheduleGroup> group;
    double when = 0;
    if (scheduler::FindGroup(B(name), &group) == com::S_OK) group->GetNextRunTime(&when);
    return when;
  };
  EXPECT_GT(nextRun("Hourly"), 1.0);
  EXPECT_EQ(execution::ExecuteItem(*cmd, B("Flow1"), &result), Variant::I4(1));
  EXPECT_EQ(nextRun("Flow1"), 1.0);

  // Making a group due runs it: a caller without the execution right gets -4 and the group
  // stays as it was.
  service->heldRights = 0;
  const double before = nextRun("Hourly");
  scheduler::ExecuteItemEvent().ResetEvent();
  EXPECT_EQ(execution::ExecuteItem(*cmd, B("Hourly"), &result), Variant::I4(-4));
  EXPECT_EQ(result, Variant::Bool(false));
  EXPECT_EQ(Code(), 0);
  EXPECT_EQ(nextRun("Hourly"), before);
  EXPECT_FALSE(scheduler::ExecuteItemEvent().IsSet());
  service->heldRights = 0xFFFFFFFFu;

  fs::create_directories(g_BasePath + "/Apps/Plant");
  ZrCalcAppCmdObject app;
  app.SetBaseDirectory("Plant");
  result = Variant::I4(77);
  EXPECT_TRUE(execution::ExecuteItem(app, B("Hourly"), &result).IsEmpty());
  EXPECT_EQ(result, Variant::I4(77));
  g_pScheduleObject = nullptr;
}

TEST_F(ExecutionTest, ExecuteXMLRunsANewCalculationAndAnswersItsExport) {
  const std::string text = "<Calculation version=\"1\"><Name>Tmp</Name><Script>return a + b</Script><Parameters>" +
                           Constant("a", 1.5) + Constant("b", 2) + "</Parameters></Calculation>";
  const std::string reply = execution::ExecuteXML(*cmd, B(text)).ToUtf8();
  EXPECT_EQ(ChildText(reply, "Value"), "3.5") << reply;
  EXPECT_FALSE(Exists("Calc/Tmp.zrc"));

  struct Case {
    std::string text, reply;
  } cases[] = {
      {"<Calculation", ""},  // a parse-error reply, checked by its form
      {"<Library version=\"1\"><Name>x</Name></Library>", "<ERROR>Error executing LoadXML method</ERROR>"},
  };
  for (const Case& c : cases) {
    const std::string r = execution::ExecuteXML(*cmd, B(c.text)).ToUtf8();
    if (c.reply.empty())
      EXPECT_EQ(r.rfind("<ERROR Line=\"1\" Pos=\"", 0), 0u) << r;
    else
      EXPECT_EQ(r, c.reply);
  }
}

// A script that does not compile is the calculation's own error: it comes back in the results.
TEST_F(ExecutionTest, ExecuteXMLAnswersACompileErrorInTheResults) {
  const std::string reply =
      execution::ExecuteXML(*cmd, B("<Calculation version=\"1\"><Name>Tmp</Name><Script>x = = 1</Script></Calculation>"))
          .ToUtf8();
  EXPECT_EQ(ChildText(reply, "Level"), "2") << reply;
  EXPECT_EQ(ChildText(reply, "Status"), "Compile error") << reply;
  EXPECT_NE(ChildText(reply, "ErrorText").find("unexpected symbol near '='"), std::string::npos) << reply;
}

TEST_F(ExecutionTest, ExecuteCalculationXMLRunsAPrivateCopyAndLeavesTheStoreAlone) {
  StoreWithParameters("Flow1", Constant("a", 2) + Constant("b", 3), "return a + b");
  const std::string file = g_BasePath + "/Calc/Flow1.zrc";
  const std::string bytes = FileBytes(file);
  const timespec mtime = MTime(file);

  const std::string request = "<Calculation><Name>Flow1</Name><Parameters>" + Constant("b", 10) +
                              Constant("nosuch", 100) + "</Parameters></Calculation>";
  const std::string reply = execution::ExecuteCalculationXML(*cmd, B(request)).ToUtf8();
  EXPECT_EQ(ChildText(reply, "Value"), "12") << reply;
  EXPECT_EQ(ChildText(reply, "Name"), "Flow1");

  // The stored calculation, as the environment holds it and as its file has it, is unchanged.
  EXPECT_EQ(FileBytes(file), bytes);
  const timespec after = MTime(file);
  EXPECT_EQ(after.tv_sec, mtime.tv_sec);
  EXPECT_EQ(after.tv_nsec, mtime.tv_nsec);
  ComPtr<IDispatch> held = store::GetCalculationObject(*cmd, B("Flow1"));
  ComPtr<IDispatch> b;
  com::QueryInterface<components::IZrCalculation>(held)->GetParameter(B("b"), &b);
  ASSERT_TRUE(b);
  Variant value;
  com::GetProperty(b.Get(), "Value", &value);
  EXPECT_EQ(value, Variant::R8(3));
  EXPECT_EQ(Text(held.Get(), "Status"), "");

  struct Case {
    std::string text, reply;
  } cases[] = {
      {"<Calculation><Name>NoSuch</Name></Calculation>", "<ERROR>Failed to load calculation</ERROR>"},
      {"<Calculation><Name>..\\..\\x</Name></Calculation>", "<ERROR>Failed to load calculation</ERROR>"},
      {"<Calculation><Title>Flow1</Title></Calculation>", "<ERROR>Failed to get calculation name node</ERROR>"},
  };
  for (const Case& c : cases) EXPECT_EQ(execution::ExecuteCalculationXML(*cmd, B(c.text)).ToUtf8(), c.reply);
  const std::string parseError = execution::ExecuteCalculationXML(*cmd, B("<Calculation>\n<Name>")).ToUtf8();
  EXPECT_EQ(parseError.rfind("<ERROR Line=\"2\" Pos=\"", 0), 0u) << parseError;
  EXPECT_EQ(Entries("Calc"), (std::vector<std::string>{"Edit", "Flow1.zrc"}));
}

TEST_F(ExecutionTest, ScriptParameterPassThroughs) {
  StoreWithParameters("Flow1", Constant("a", 2));
  ComPtr<IDispatch> calc = store::GetCalculationObject(*cmd, B("Flow1"));
  const Variant details = execution::ListParameterDetails(*cmd, calc.Get());
  ASSERT_TRUE(details.IsArray());
  EXPECT_EQ(details.array().Count(), 1u);
  EXPECT_TRUE(execution::ListParameterDetails(*cmd, New(components::CLSID_ZrLibrary).Get()).IsEmpty());
  EXPECT_TRUE(execution::ListParameterDetails(*cmd, nullptr).IsEmpty());

  Variant unused = Variant::I4(1), unbound = Variant::I4(2);
  EXPECT_FALSE(execution::CreateCalcScriptParams(*cmd, New(components::CLSID_ZrLibrary).Get(), B(""), &unused, &unbound));
  EXPECT_TRUE(unused.IsEmpty());
  EXPECT_TRUE(unbound.IsEmpty());
  ComPtr<components::IZrScriptParameters> script = com::QueryInterface<components::IZrScriptParameters>(calc);
  Variant u2, b2;
  const bool expected = com::SUCCEEDED(script->CreateParams(B("Node1"), &u2, &b2));
  EXPECT_EQ(execution::CreateCalcScriptParams(*cmd, calc.Get(), B("Node1"), &unused, &unbound), expected);
}

// Without the execution right, the commands that run text a client sends run nothing: they
// answer the refusal as an ERROR element with code 194 and write no tag.
TEST_F(ExecutionTest, XmlRunsAskTheExecutionRight) {
  auto store = SeedTag("Plant", "Out", 0.0);
  ASSERT_NE(store, nullptr);
  const std::string out =
      "<Parameter><Name>Out</Name><Direction>1</Direction><Kind>1</Kind><ServerName>Plant</ServerName>"
      "<TagName>Out</TagName><Value type=\"0\"/></Parameter>";
  StoreWithParameters("Flow1", out, "Out = 5");
  service->heldRights = 0;
  const std::string refused = "<ERROR>Not authorized to execute any calculation on this node.</ERROR>";
  const std::string adHoc = "<Calculation version=\"1\"><Name>Tmp</Name><CalcType>4</CalcType><Script>Out = 7</Script>"
                            "<Parameters>" + out + "</Parameters></Calculation>";
  EXPECT_EQ(execution::ExecuteXML(*cmd, B(adHoc)).ToUtf8(), refused);
  EXPECT_EQ(Code(), CMDERR_DENIED_EXECUTE);
  cmd->ResetLastError();
  EXPECT_EQ(execution::ExecuteCalculationXML(*cmd, B("<Calculation><Name>Flow1</Name></Calculation>")).ToUtf8(), refused);
  EXPECT_EQ(Code(), CMDERR_DENIED_EXECUTE);
  tags::TagSample sample;
  ASSERT_EQ(store->Read("Plant", "Out", &sample), tags::TagStatus::kOk);
  EXPECT_EQ(sample.value, tags::TagValue(0.0));

  service->heldRights = security::kRightExecute;
  EXPECT_EQ(ChildText(execution::ExecuteXML(*cmd, B(adHoc)).ToUtf8(), "Name"), "Tmp");
  EXPECT_EQ(Code(), 0);
}

// New parameters and moved servers change a calculation in place: on one the environment holds
// for every client they need its rights (asked whatever the object's access mode), on a private
// object nothing is asked.
TEST_F(ExecutionTest, InPlaceChangesOfASharedCalculationAskItsRights) {
  auto store = SeedTag("NodeA", "Out", 0.0);
  ASSERT_NE(store, nullptr);
  StoreWithParameters("Flow1", Tag("In", "NodeA"), "Out = In");
  struct Case {
    const char* name;
    uint32_t rights;
    long code;  // 0: changed
  } cases[] = {
      {"no right", 0, CMDERR_DENIED_CALC},
      {"CalcScript right on a CalcScript calculation", security::kRightCalcScriptCalc, 0},
      {"full right", security::kRightCalc, 0},
  };
  auto server = [](IDispatch* calc) {
    ComPtr<IDispatch> in;
    com::QueryInterface<components::IZrCalculation>(calc)->GetParameter(B("In"), &in);
    Bstr name;
    if (auto p = com::QueryInterface<components::IZrCalcParameter>(in)) p->GetServerName(&name);
    return name.ToUtf8();
  };
  auto parameterCount = [](IDispatch* calc) {
    ComPtr<components::IZrParameters> params;
    long count = 0;
    com::QueryInterface<components::IZrCalculation>(calc)->GetParameters(&params);
    if (params) params->Count(&count);
    return count;
  };
  fs::create_directories(g_BasePath + "/Apps/Plant");
  ZrCalcAppCmdObject app;
  app.SetBaseDirectory("Plant");
  for (const Case& c : cases) {
    for (CCalcCmdBase* object : {static_cast<CCalcCmdBase*>(cmd.get()), static_cast<CCalcCmdBase*>(&app)}) {
      SCOPED_TRACE(std::string(c.name) + (object == &app ? " (application object)" : ""));
      g_pEnvironment->RemoveCalculation(B("Flow1"));
      ComPtr<IDispatch> held = store::GetCalculationObject(*cmd, B("Flow1"));
      ASSERT_TRUE(held);
      service->heldRights = c.rights;
      object->SetCommandError(CMDERR_CATCH_ALL);  // a refusal replaces it, a change clears it
      long count = -1;
      execution::ChangeServerName(*object, held.Get(), B("NodeA"), 0, B("NodeB"), 0, &count);
      EXPECT_EQ(object->m_lastError, c.code);
      EXPECT_EQ(server(held.Get()), c.code ? "NodeA" : "NodeB");
      EXPECT_EQ(count, c.code ? 0 : 1);
      Variant unused, unbound;
      EXPECT_EQ(execution::CreateCalcScriptParams(*object, held.Get(), B("NodeA"), &unused, &unbound), c.code == 0);
      EXPECT_EQ(object->m_lastError, c.code);
      EXPECT_EQ(parameterCount(held.Get()), c.code ? 1 : 2);
    }
  }
  // A private object is the caller's own.
  service->heldRights = 0;
  ComPtr<IDispatch> own = execution::CreateTemporaryCalc(*cmd, B("Out = 1"));
  Variant unused, unbound;
  EXPECT_TRUE(execution::CreateCalcScriptParams(*cmd, own.Get(), B("NodeA"), &unused, &unbound));
  EXPECT_EQ(parameterCount(own.Get()), 1);
}

}  // namespace
}  // namespace kv::testing
