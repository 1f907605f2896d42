// The commands that belong to no store: object strings, the workspace and store-and-forward
// settings, the embedded workspace service.
#include <gtest/gtest.h>

#include <fstream>

#include "com/object_stream.h"
#include "command_object/workspace_service.h"
#include "engine/workspace_service.h"
#include "platform/registry_store.h"
#include "store/fake_environment.h"
#include "store/lifecycle_fixture.h"
#include "exchange/exchange_commands.h"
#include "execution/execution_commands.h"

namespace kv::testing {
namespace {

using platform::RegHive;
using platform::RegValue;

class MiscCommandsTest : public LifecycleFixture {
 protected:
  void TearDown() override {
    g_pWorkspaceService = nullptr;
    g_bOdmWorkspaceSet = false;
    g_bStoreAndForwardEnabled = 0;
    LifecycleFixture::TearDown();
  }
  std::string XmlOf(IDispatch* obj) {
    Bstr xml;
    EXPECT_EQ(com::QueryInterface<components::IZrPersistXML>(obj)->SaveXML(&xml), com::S_OK);
    return xml.ToUtf8();
  }
  ComPtr<IDispatch> NewCalculation() {
    ComPtr<IDispatch> calc;
    EXPECT_EQ(com::CreateInstance(components::CLSID_ZrCalculation, &calc), com::S_OK);
    Put(calc.Get(), "Name", Variant::Str("Area3\\Flow1"));
    Put(calc.Get(), "Description", Variant::Str("Kesselzulauf \xC3\xA9\xD8\xB3 <&> \"quoted\""));
    Put(calc.Get(), "Script", Variant::Str("Total = Flow * 2\n"));
    return calc;
  }
};

TEST_F(MiscCommandsTest, ObjectStringRoundTripGivesAnEqualObjectOfTheSameClass) {
  ComPtr<IDispatch> calc = NewCalculation();
  const Bstr s = exchange::ObjecttoBSTR(*cmd, calc.Get());
  // Every unit survives the UTF-8 of the wire: no zero unit, no lone surrogate.
  for (char16_t u : s.Wide()) EXPECT_NE(u, 0);
  EXPECT_EQ(Bstr::FromUtf8(s.ToUtf8()), s);

  ComPtr<IDispatch> copy = exchange::BSTRtoObject(*cmd, s);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.Get(), calc.Get());
  EXPECT_TRUE(com::QueryInterface<components::IZrCalculation>(copy));
  EXPECT_EQ(XmlOf(copy.Get()), XmlOf(calc.Get()));

  // The same string in a VARIANT, and with unused block space and an odd byte length after it.
  EXPECT_TRUE(exchange::VarBSTRtoObject(*cmd, Variant::Str(s)));
  Variant held = Variant::Str(s);
  EXPECT_TRUE(exchange::VarBSTRtoObject(*cmd, Variant::ByRef(&held)));
  const Bstr padded = com::BstrOfBytes(com::BytesOfBstr(s) + std::string("\0\0\x55\x66\x77", 5));
  ComPtr<IDispatch> fromPadded = exchange::BSTRtoObject(*cmd, padded);
  ASSERT_TRUE(fromPadded);
  EXPECT_EQ(XmlOf(fromPadded.Get()), XmlOf(calc.Get()));
}

TEST_F(MiscCommandsTest, StringsThatHoldNoLoadableObjectGiveNull) {
  cmd->SetCommandError(CMDERR_INVALID_PASSWORD);
  const Bstr unknownClass = com::BstrOfBytes(com::WriteObjectStream(&components::IID_IZrCalculation, u"<x/>"));
  const Bstr damaged = com::BstrOfBytes(com::WriteObjectStream(&components::CLSID_ZrCalculation, u"<Calculation"));
  const Bstr i4 = com::BstrOfBytes(std::string("\x03\x00\x2A\x00\x00\x00", 6));
  for (const Bstr& s : {Bstr(), Bstr(u""), unknownClass, damaged, i4, exchange::ObjecttoBSTR(*cmd, nullptr)})
    EXPECT_FALSE(exchange::BSTRtoObject(*cmd, s));
  EXPECT_FALSE(exchange::VarBSTRtoObject(*cmd, Variant::I4(9)));
  EXPECT_FALSE(exchange::VarBSTRtoObject(*cmd, Variant()));
  // None of them touches the last error; neither does the library unloading.
  exchange::FreeUnusedComLibraries(*cmd);
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
}

// An automation object with nothing to persist.
class Plain : public com::ComObject<IDispatch> {
 public:
  HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<Variant>&, Variant*) override { return com::DISP_E_MEMBERNOTFOUND; }
};

TEST_F(MiscCommandsTest, AnObjectThatCannotBePersistedGivesItsVartypeAlone) {
  const std::string vartypeOnly("\x09\x00", 2);
  EXPECT_EQ(com::BytesOfBstr(exchange::ObjecttoBSTR(*cmd, com::MakeCom<Plain>().Get())), vartypeOnly);
  // A persistent object whose class is no longer registered cannot name its class either.
  ComPtr<IDispatch> calc = NewCalculation();
  com::ClassRegistry::Instance().Unregister(components::CLSID_ZrCalculation);
  EXPECT_EQ(com::BytesOfBstr(exchange::ObjecttoBSTR(*cmd, calc.Get())), vartypeOnly);
  engine::RegisterEngineClasses(&SharedServerObjects());
  EXPECT_FALSE(exchange::BSTRtoObject(*cmd, com::BstrOfBytes(vartypeOnly)));
}

TEST_F(MiscCommandsTest, WorkspaceSettingWritesTheRegistryTheFlagAndDropsTheService) {
  EXPECT_TRUE(execution::GetOdmWorkSpace(*cmd).IsNull());  // no key yet
  g_pWorkspaceService = CreateWorkspaceService();
  ASSERT_TRUE(g_pWorkspaceService);
  execution::SetOdmWorkSpace(*cmd, B("Plant7"));
  EXPECT_EQ(execution::GetOdmWorkSpace(*cmd), B("Plant7"));
  EXPECT_TRUE(g_bOdmWorkspaceSet);
  EXPECT_FALSE(g_pWorkspaceService);
  EXPECT_EQ(ScheduleLock().Holder(), kSiteScheduleCommand);
  EXPECT_EQ(ScheduleLock().LockCount(), 0);

  execution::SetOdmWorkSpace(*cmd, B(""));  // stores an empty value and clears the flag
  EXPECT_EQ(execution::GetOdmWorkSpace(*cmd), Bstr(u""));
  EXPECT_FALSE(g_bOdmWorkspaceSet);
  execution::SetOdmWorkSpace(*cmd, B("Plant8"));
  execution::SetOdmWorkSpace(*cmd, Bstr());  // a null name writes nothing but clears the flag
  EXPECT_EQ(execution::GetOdmWorkSpace(*cmd), B("Plant8"));
  EXPECT_FALSE(g_bOdmWorkspaceSet);
}

TEST_F(MiscCommandsTest, StoreAndForwardSwitch) {
  EXPECT_FALSE(execution::GetStoreAndForwardEnabled(*cmd));
  execution::SetStoreAndForwardEnabled(*cmd, true);
  EXPECT_TRUE(execution::GetStoreAndForwardEnabled(*cmd));
  EXPECT_EQ(g_bStoreAndForwardEnabled, com::VARIANT_TRUE);
  RegValue v;
  ASSERT_EQ(env.registry().GetValue(RegHive::LocalMachine, config::kStoreAndForwardKey, "Enabled", &v), 0);
  EXPECT_EQ(v.type, platform::REG_DWORD);
  EXPECT_EQ(v.dword, 1u);
  execution::SetStoreAndForwardEnabled(*cmd, false);
  EXPECT_FALSE(execution::GetStoreAndForwardEnabled(*cmd));
  EXPECT_EQ(g_bStoreAndForwardEnabled, com::VARIANT_FALSE);
}

TEST_F(MiscCommandsTest, WorkspaceServiceListsTestsAndGivesRunContexts) {
  EXPECT_TRUE(execution::GetOdmWorkSpaces(*cmd).IsEmpty());
  const std::string db = env.Path("tags.db");
  std::ofstream(db) << std::string("SQLite format 3\0rest", 20);
  const std::string notDb = env.Path("notes.txt");
  std::ofstream(notDb) << "hello";
  const std::string key = std::string(engine::kWorkspacesKey);
  auto& reg = env.registry();
  reg.SetValue(RegHive::LocalMachine, key + "\\North", "TagDatabase", RegValue::String(db));
  reg.SetValue(RegHive::LocalMachine, key + "\\South", "TagDatabase", RegValue::String(notDb));
  reg.SetValue(RegHive::LocalMachine, key + "\\East", "TagDatabase", RegValue::String(env.Path("missing.db")));
  reg.CreateKey(RegHive::LocalMachine, key + "\\West");

  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(execution::GetOdmWorkSpaces(*cmd), &names));
  EXPECT_EQ(names, (std::vector<std::string>{"East", "North", "South", "West"}));

  struct Case {
    const char* workspace;
    std::string report;
  } cases[] = {
      {"North", "Workspace 'North': tag database " + db + " opens"},
      {"South", "Workspace 'South': tag database " + notDb + " is not an SQLite database"},
      {"East", "Workspace 'East': tag database " + env.Path("missing.db") + " cannot be opened (error 2)"},
      {"West", "Workspace 'West': no tag database configured (value \"TagDatabase\")"},
      {"Nowhere", "Workspace 'Nowhere': not configured"},
      {"North\\..", "Workspace 'North\\..': not configured"},
  };
  for (const Case& c : cases) EXPECT_EQ(execution::TestOdmConnection(*cmd, B(c.workspace)).ToUtf8(), c.report);

  ComPtr<components::IZrWorkspaceService> service = CreateWorkspaceService();
  Bstr context;
  EXPECT_EQ(service->RunWorkspace(B("North"), B("Hourly"), B("plant7"), &context), com::S_OK);
  EXPECT_EQ(context.ToUtf8(), "Workspace=North;Group=Hourly;Computer=plant7;TagDatabase=" + db);
  EXPECT_EQ(service->RunWorkspace(B("Nowhere"), B("Hourly"), B("plant7"), &context), com::E_INVALIDARG);
  EXPECT_TRUE(context.IsNull());
}

TEST_F(MiscCommandsTest, WithoutAWorkspaceServiceTheOdmCommandsAnswerEmpty) {
  com::ClassRegistry::Instance().Unregister(components::CLSID_ZrWorkspaceService);
  cmd->SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_TRUE(execution::GetOdmWorkSpaces(*cmd).IsEmpty());
  EXPECT_TRUE(execution::TestOdmConnection(*cmd, B("North")).IsNull());
  EXPECT_EQ(Code(), CMDERR_INVALID_PASSWORD);
  engine::RegisterEngineClasses(&SharedServerObjects());
}

// An environment whose database operations answer a set value and record their arguments.
class AdoEnvironment : public FakeEnvironment {
 public:
  Variant answer;
  std::string seen;
  HRESULT EnvAdoConnect(const Bstr& c, const Bstr& u, const Bstr& p, long o, Variant* r) override {
    seen = c.ToUtf8() + "|" + u.ToUtf8() + "|" + p.ToUtf8() + "|" + std::to_string(o);
    *r = answer;
    return com::S_OK;
  }
  HRESULT EnvAdoClose(const Bstr& c, Variant* r) override {
    seen = c.ToUtf8();
    *r = answer;
    return com::S_OK;
  }
  HRESULT EnvAdoQueryInfo(const Bstr& c, const Bstr& q, Variant* names, Variant* types, Variant* r) override {
    seen = c.ToUtf8() + "|" + q.ToUtf8();
    *names = com::StringListVariant({"Tag"});
    *types = com::StringListVariant({"TEXT"});
    *r = answer;
    return com::S_OK;
  }
};

TEST_F(MiscCommandsTest, DatabasePassThroughJudgesTheEnvironmentsAnswerByItsType) {
  auto ado = com::MakeCom<AdoEnvironment>();
  g_pEnvironment = ado;
  struct Case {
    Variant answer;
    bool result;
    long code;
    const char* text;
  } cases[] = {
      {Variant::Bool(true), true, 0, ""},
      {Variant::Bool(false), false, 0, ""},
      {Variant::I4(CMDERR_INVALID_SCHEDULE_GROUP), false, CMDERR_INVALID_SCHEDULE_GROUP, "Invalid Schedule Group Name."},
      {Variant::Str("no such table: Tags"), false, CMDERR_CATCH_ALL, "no such table: Tags"},
      {Variant::R8(1), false, 0, ""},
      {Variant(), false, 0, ""},
  };
  for (const Case& c : cases) {
    ado->answer = c.answer;
    cmd->SetCommandError(CMDERR_INVALID_PASSWORD);  // each command clears the previous error
    EXPECT_EQ(execution::AdoClose(*cmd, B("tags")), c.result);
    EXPECT_EQ(Code(), c.code);
    EXPECT_EQ(cmd->m_lastErrorText, c.text);
  }
  ado->answer = Variant::Bool(true);
  EXPECT_TRUE(execution::AdoConnect(*cmd, B("/var/lib/tags.db"), B("op"), B("pw"), 1));
  EXPECT_EQ(ado->seen, "/var/lib/tags.db|op|pw|1");
  Variant names, types;
  EXPECT_TRUE(execution::AdoQueryInfo(*cmd, B("tags"), B("SELECT Tag FROM Tags"), &names, &types));
  EXPECT_EQ(ado->seen, "tags|SELECT Tag FROM Tags");
  EXPECT_EQ(names, com::StringListVariant({"Tag"}));
  g_pEnvironment = nullptr;
  EXPECT_FALSE(execution::AdoClose(*cmd, B("tags")));  // no environment: false, no error
  EXPECT_EQ(Code(), 0);
}

}  // namespace
}  // namespace kv::testing
