#include "security/server_security.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <thread>

#include "log/log_file.h"
#include "platform/path.h"
#include "com/call_context.h"
#include "security/fake_authorization.h"
#include "base/rights.h"

namespace kv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using com::CallContext;
using com::ScopedCallContext;
using security::ZrServerSecurity;
using Check = RecordingAuthorization::Check;

const char* const kCreateServiceFailed =
    "ZrServerSecurity::CheckInitialized - CoCreateInstance cannot create "
    "AUTHWRAPPERSVCLib::OrvAuthorization(F4B466E7 - 0001 - 11D4 - 828F - 00C04F12B1D3) ORV Service";
const char* const kNoServerId = "ZrServerSecurity::CheckAccess - server security identifier is empty, access refused!";
const char* const kInitCacheFailed = "ZrServerSecurity::CheckInitialize failed g_spIOrvAuthorizationSvc->InitCache!";

class ServerSecurityTest : public GateFixture {};

// Who the gate says is asking, for each kind of caller, and that the service's answer is the
// gate's answer.
TEST_F(ServerSecurityTest, CallerIdentityIsSplitIntoDomainAndUser) {
  struct Case {
    const char* name;
    std::optional<std::string> identity;  // nullopt: no call context (the server's own account)
    uint32_t right;
    uint32_t held;
    const char* domain;
    const char* user;
    bool answer;
  } cases[] = {
      {"in-process", std::nullopt, security::kRightCalc, 0x10, "", "calcuser", true},
      {"anonymous", "\\", security::kRightExecute, 0x10, "NT AUTHORITY", "ANONYMOUS LOGON", false},
      {"no backslash", "alice", security::kRightUnits, 0x10000, "", "alice", true},
      {"empty domain", "\\bob", security::kRightSchedule, 0x10, "", "bob", false},
      {"last backslash", "CORP\\site\\carol", security::kRightLibrary, 0x100, "CORP\\site", "carol", true},
      {"high bit unchanged", "\\dave", 0x80000000u, 0x80000000u, "", "dave", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service->checks.clear();
    service->heldRights = c.held;
    std::optional<ScopedCallContext> scope;
    if (c.identity) scope.emplace(CallContext::FromIdentity(*c.identity));
    EXPECT_EQ(ZrServerSecurity::CheckAccess(c.right), c.answer);
    EXPECT_THAT(service->checks, ElementsAre(Check{c.domain, c.user, "SID:plant7", c.right}));
  }
  EXPECT_EQ(service->initCalls, 1);
  EXPECT_THAT(lines, IsEmpty());
}

TEST_F(ServerSecurityTest, TransportCallersByUid) {
  // A uid with a name is asked about as "\<name>"; one without a name cannot be identified.
  env.system().accounts[4242] = "alice";
  uid_t unknown = 0x7FFFFFF0;
  while (env.system().UserNameOfUid(unknown)) --unknown;

  service->heldRights = security::kRightCalc;
  {
    ScopedCallContext scope(CallContext::FromUid(4242));
    EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  }
  {
    ScopedCallContext scope(CallContext::FromUid(unknown));
    EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  }
  EXPECT_THAT(service->checks, ElementsAre(Check{"", "alice", "SID:plant7", security::kRightCalc}));
  EXPECT_THAT(lines, ElementsAre(Line{"ZrServerSecurity::CheckAccess - Unabled to query client's info!", "E_FAIL"}));
}

TEST_F(ServerSecurityTest, OnlyAGrantedFlagOfMinusOneCounts) {
  struct Case {
    HRESULT status;
    com::VARIANT_BOOL flag;
    bool answer;
  } cases[] = {
      {com::S_OK, com::VARIANT_TRUE, true},
      {com::E_FAIL, com::VARIANT_TRUE, true},
      {com::S_FALSE, com::VARIANT_TRUE, true},
      {com::S_OK, 1, false},
      {com::S_OK, com::VARIANT_FALSE, false},
  };
  service->heldRights = security::kRightCalc;
  for (const auto& c : cases) {
    service->checkResult = c.status;
    service->grantedValue = c.flag;
    EXPECT_EQ(ZrServerSecurity::CheckAccess(security::kRightCalc), c.answer) << c.status << " " << c.flag;
  }
  EXPECT_THAT(lines, IsEmpty());  // a failed status is no error of its own
}

TEST_F(ServerSecurityTest, ServiceNotInstalledRefusesEveryRightAndRetries) {
  com::ClassRegistry::Instance().Unregister(components::CLSID_OrvAuthorization);
  const uint32_t rights[] = {security::kRightCalc,    security::kRightCalcScriptCalc, security::kRightExecute,
                             security::kRightLibrary, security::kRightCalcScriptLibrary, security::kRightSchedule,
                             security::kRightUnits,   0xFFFFFFFFu};
  for (uint32_t right : rights) EXPECT_FALSE(ZrServerSecurity::CheckAccess(right)) << right;
  ZrServerSecurity::RefreshCache();

  const Line expected{kCreateServiceFailed, DebugLog::HResultText(com::REGDB_E_CLASSNOTREG)};
  EXPECT_EQ(lines, std::vector<Line>(std::size(rights) + 1, expected));

  // Installed later: the next check creates it.
  com::ClassRegistry::Instance().Register(components::CLSID_OrvAuthorization, {},
                                          [s = service] { return com::ComPtr<com::IUnknown>(s); });
  service->heldRights = security::kRightCalc;
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
}

TEST_F(ServerSecurityTest, FailedInitCacheRefusesAndIsRetriedOnTheNextCall) {
  service->initResults = {com::E_OUTOFMEMORY};
  service->heldRights = 0xFFFFFFFFu;

  // The mended rule: no server identifier means nobody is admitted, although our callers never
  // report a server principal name.
  EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_THAT(service->checks, IsEmpty());
  EXPECT_THAT(service->sidNames, IsEmpty());
  EXPECT_THAT(lines, ElementsAre(Line{kInitCacheFailed, "E_OUTOFMEMORY"},
                                 Line{kNoServerId, DebugLog::HResultText(com::E_ACCESSDENIED)}));

  lines.clear();
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_EQ(service->initCalls, 2);
  EXPECT_THAT(service->checks, ElementsAre(Check{"", "calcuser", "SID:plant7", security::kRightCalc}));
  EXPECT_THAT(lines, IsEmpty());

  // Initialised for good: no third InitCache.
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_EQ(service->initCalls, 2);
}

TEST_F(ServerSecurityTest, NoComputerNameLeavesTheServerWithoutIdentifier) {
  env.system().computer = "";
  service->heldRights = 0xFFFFFFFFu;
  EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightExecute));
  EXPECT_THAT(service->checks, IsEmpty());
  // Initialisation got through InitCache, so the identifier is not asked for again.
  EXPECT_THAT(service->sidNames, ElementsAre(""));
  const std::string refused = DebugLog::HResultText(com::E_ACCESSDENIED);
  EXPECT_THAT(lines,
              ElementsAre(Line{"ZrServerSecurity::GetServerID, GetComputerName failed to get server host name!", "E_FAIL"},
                          Line{"ZrServerSecurity::GetServerIDFailed in GetSecurityId for secured object - ", "E_INVALIDARG"},
                          Line{"", "E_INVALIDARG"}, Line{kNoServerId, refused}, Line{kNoServerId, refused}));
}

TEST_F(ServerSecurityTest, LongComputerNameIsCutTo16Characters) {
  env.system().computer = "ip-172-31-22-145.internal";
  service->heldRights = security::kRightCalc;
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_THAT(service->sidNames, ElementsAre("ip-172-31-22-145"));
  EXPECT_EQ(service->checks.at(0).sid, "SID:ip-172-31-22-145");
}

TEST_F(ServerSecurityTest, SecurityLinesOnlyWhenTheCategoryIsOn) {
  service->heldRights = security::kRightCalc;
  ZrServerSecurity::RefreshCache();
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_THAT(lines, IsEmpty());

  security::ZrServerSecurity::ResetForTest();
  ZrServerSecurity::SetLogSinkForTest(
      [this](std::string_view m, std::string_view d) { lines.emplace_back(std::string(m), std::string(d)); });
  g_DebugLog.SetCategory(LogCategory::Security, true);
  service->refreshResult = com::E_FAIL;
  ZrServerSecurity::RefreshCache();
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_THAT(lines, ElementsAre(Line{"CLSID_StdGlobalInterfaceTable - Create", ""},
                                 Line{"AUTHORIZATIONLib::IQLTXAuthorization - Create", ""},
                                 Line{"AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::InitCache", ""},
                                 Line{"AUTHORIZATIONLib::IQLTXAuthorization::InitCache( S_OK )", ""},
                                 Line{"AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::GetSecurityId", ""},
                                 Line{"AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::GetSecurityId( S_OK )", ""},
                                 Line{"GetInterfaceFromGlobal", ""},
                                 Line{"AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::RefreshCache( E_FAIL )", ""},
                                 Line{"ZrServerSecurity::RefreshCache - failed to refresh cache!", "E_FAIL"},
                                 Line{"AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::CheckAccessEx", ""},
                                 Line{"GetInterfaceFromGlobal", ""},
                                 Line{"AUTHWRAPPERSVCLib::IOrvAuthorizationSvc::CheckAccessEx( S_OK )", ""}));
  EXPECT_EQ(service->refreshCalls, 2);
}

// The interface table's failures, injected.
class FailingTable : public security::GlobalInterfaceTable {
 public:
  bool failRegister = false;
  bool failFetch = false;
  HRESULT Register(com::ComPtr<com::IUnknown> object, uint32_t* cookie) override {
    if (failRegister) return com::E_OUTOFMEMORY;
    return GlobalInterfaceTable::Register(std::move(object), cookie);
  }
  HRESULT Fetch(uint32_t cookie, com::ComPtr<com::IUnknown>* object) override {
    if (failFetch) return com::E_FAIL;
    return GlobalInterfaceTable::Fetch(cookie, object);
  }
};

TEST_F(ServerSecurityTest, GlobalInterfaceTableFailuresFailClosed) {
  service->heldRights = 0xFFFFFFFFu;
  struct Case {
    const char* name;
    HRESULT createStatus;  // of the table factory
    bool makeTable, failRegister, failFetch;
    std::vector<Line> expected;
  } cases[] = {
      {"table not created", com::E_OUTOFMEMORY, false, false, false,
       {{"ZrServerSecurity::CheckInitialized - CoCreateInstance CLSID_StdGlobalInterfaceTable - Create", "E_OUTOFMEMORY"}}},
      {"null table", com::S_OK, false, false, false,
       {{"ZrServerSecurity::CheckInitialized - CoCreateInstance CLSID_StdGlobalInterfaceTable - Create", "E_POINTER"}}},
      {"register fails", com::S_OK, true, true, false,
       {{"ZrServerSecurity::CheckInitialize - failed to register interface g_pGIT->RegisterInterfaceInGlobal",
         "E_OUTOFMEMORY"},
        {"ZrServerSecurity::GetAuthorizationInterface - GetInterfaceFromGlobal failed!", "E_INVALIDARG"}}},
      {"fetch fails", com::S_OK, true, false, true,
       {{"ZrServerSecurity::GetAuthorizationInterface - GetInterfaceFromGlobal failed!", "E_FAIL"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZrServerSecurity::ResetForTest();
    lines.clear();
    ZrServerSecurity::SetLogSinkForTest(
        [this](std::string_view m, std::string_view d) { lines.emplace_back(std::string(m), std::string(d)); });
    ZrServerSecurity::SetTableFactoryForTest([&c](std::unique_ptr<security::GlobalInterfaceTable>* table) {
      if (c.makeTable) {
        auto t = std::make_unique<FailingTable>();
        t->failRegister = c.failRegister;
        t->failFetch = c.failFetch;
        *table = std::move(t);
      }
      return c.createStatus;
    });
    EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightCalc));
    EXPECT_EQ(lines, c.expected);
  }
  EXPECT_THAT(service->checks, IsEmpty());
}

TEST_F(ServerSecurityTest, AFaultInsideTheServiceIsContained) {
  service->heldRights = 0xFFFFFFFFu;
  service->throwInCheck = true;
  EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  EXPECT_THAT(lines, ElementsAre(Line{"ZrServerSecurity::CheckAccess", "E_UNEXPECTED"}));
  service->throwInCheck = false;
  EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
}

TEST_F(ServerSecurityTest, ConcurrentCallersAreAskedAboutOneAtATime) {
  // The recording service is not thread-safe itself: the gate's lock must serialise the calls.
  service->heldRights = security::kRightCalc;
  constexpr int kThreads = 4, kChecks = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      ScopedCallContext scope(CallContext::FromIdentity("\\user" + std::to_string(t)));
      for (int i = 0; i < kChecks; ++i) EXPECT_TRUE(ZrServerSecurity::CheckAccess(security::kRightCalc));
    });
  }
  for (auto& th : threads) th.join();
  std::map<std::string, int> perUser;
  for (const auto& c : service->checks) ++perUser[c.user];
  EXPECT_EQ(perUser, (std::map<std::string, int>{{"user0", kChecks}, {"user1", kChecks}, {"user2", kChecks}, {"user3", kChecks}}));
  EXPECT_FALSE(service->overlapped);
  EXPECT_EQ(service->initCalls, 1);
}

TEST_F(ServerSecurityTest, LinesGoToTheDiagnosticLogFile) {
  g_DebugLog.ResetForTest();
  g_DebugLog.Init(env.env(), static_cast<int>(LogKind::Kelvarin), "", "");
  g_DebugLog.SetCategory(LogCategory::Security, true);
  ZrServerSecurity::SetLogSinkForTest(nullptr);
  com::ClassRegistry::Instance().Unregister(components::CLSID_OrvAuthorization);

  EXPECT_FALSE(ZrServerSecurity::CheckAccess(security::kRightCalc));
  std::vector<std::string> messages;
  for (const auto& line : ReadLogLines(platform::ToFsPath(g_DebugLog.FilePath()))) messages.push_back(MessageOf(line));
  g_DebugLog.ResetForTest();
  EXPECT_THAT(messages, ElementsAre("CLSID_StdGlobalInterfaceTable - Create", "AUTHORIZATIONLib::IQLTXAuthorization - Create",
                                    std::string(kCreateServiceFailed) + ": REGDB_E_CLASSNOTREG: class not registered"));
}

}  // namespace
}  // namespace kv::testing
