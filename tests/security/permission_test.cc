// The permission step of the command prologue, the two-right rule and the CheckAccess command.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "command_object/calc_cmd_base.h"
#include "config/config.h"
#include "engine/authorization_service.h"
#include "com/call_context.h"
#include "security/fake_authorization.h"
#include "base/rights.h"

namespace kv::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Grant = CCalcCmdBase::Grant;

class PermissionTest : public GateFixture {
 protected:
  void SetUp() override {
    GateFixture::SetUp();
    g_BasePath = env.root() + "/store";
  }
  std::vector<uint32_t> Asked() const {
    std::vector<uint32_t> rights;
    for (const auto& c : service->checks) rights.push_back(c.right);
    return rights;
  }
};

TEST_F(PermissionTest, CheckPermission) {
  struct Case {
    int32_t accessMode;
    uint32_t held;
    uint32_t right;
    long refusal;
    bool allowed;
    long error;
    bool asked;
    CCalcCmdBase::StoreScope scope = CCalcCmdBase::StoreScope::Own;
  } cases[] = {
      {0, security::kRightExecute, security::kRightExecute, security::kRefusedExecute, true, 0, true},
      {0, security::kRightCalc, security::kRightSchedule, security::kRefusedSchedule, false, 197, true},
      {0, 0, security::kRightUnits, security::kRefusedUnits, false, 198, true},
      {9, 0, security::kRightUnits, security::kRefusedUnits, true, 0, false},
      // A shared store is asked about whatever the access mode.
      {9, 0, security::kRightUnits, security::kRefusedUnits, false, 198, true, CCalcCmdBase::StoreScope::Shared},
      {9, security::kRightUnits, security::kRightUnits, security::kRefusedUnits, true, 0, true,
       CCalcCmdBase::StoreScope::Shared},
      {0, 0, security::kRightUnits, security::kRefusedUnits, false, 198, true, CCalcCmdBase::StoreScope::Shared},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.right);
    service->checks.clear();
    service->heldRights = c.held;
    ZrCalcAppCmdObject obj;
    obj.m_accessMode = c.accessMode;
    EXPECT_EQ(obj.CheckPermission(c.right, c.refusal, c.scope), c.allowed);
    EXPECT_EQ(obj.m_lastError, c.error);
    EXPECT_EQ(service->checks.size(), c.asked ? 1u : 0u);
    if (c.error != 0) {
      EXPECT_EQ(obj.m_lastErrorText, CommandErrorText(c.error));
    }
  }
}

TEST_F(PermissionTest, TwoRightsAskTheWiderOneFirst) {
  struct Case {
    int32_t accessMode;
    uint32_t held;
    Grant grant;
    long error;
    std::vector<uint32_t> asked;
    CCalcCmdBase::StoreScope scope = CCalcCmdBase::StoreScope::Own;
  } cases[] = {
      {0, 0x10, Grant::Full, 0, {0x10}},
      {0, 0x30, Grant::Full, 0, {0x10}},
      {0, 0x20, Grant::ScriptOnly, 0, {0x10, 0x20}},
      {0, 0x40, Grant::Refused, 192, {0x10, 0x20}},
      {9, 0, Grant::Full, 0, {}},
      {9, 0, Grant::Refused, 192, {0x10, 0x20}, CCalcCmdBase::StoreScope::Shared},
      {9, 0x20, Grant::ScriptOnly, 0, {0x10, 0x20}, CCalcCmdBase::StoreScope::Shared},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    service->checks.clear();
    service->heldRights = c.held;
    ZrCalcAppCmdObject obj;
    obj.m_accessMode = c.accessMode;
    EXPECT_EQ(obj.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc, c.scope),
              c.grant);
    EXPECT_EQ(obj.m_lastError, c.error);
    EXPECT_THAT(Asked(), ElementsAreArray(c.asked));
  }
}

TEST_F(PermissionTest, CheckAccessCommandClearsTheErrorAndIgnoresTheAccessMode) {
  service->heldRights = security::kRightCalcScriptLibrary;
  ZrCalcAppCmdObject obj;
  ASSERT_TRUE(obj.SetBaseDirectory("Plant"));
  ASSERT_EQ(obj.m_accessMode, CCalcCmdBase::kAccessApplication);

  obj.SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_FALSE(obj.CheckAccess(security::kRightLibrary));
  EXPECT_EQ(obj.m_lastError, 0);
  EXPECT_EQ(obj.m_lastErrorText, "");

  obj.SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_TRUE(obj.CheckAccess(security::kRightCalcScriptLibrary));
  EXPECT_EQ(obj.m_lastError, 0);

  // The task number travels bit for bit.
  obj.CheckAccess(-1);
  EXPECT_THAT(Asked(), ElementsAre(0x100u, 0x200u, 0xFFFFFFFFu));
}

TEST_F(PermissionTest, ServiceNotInstalledRefusesProtectedCommandsOnly) {
  engine::UnregisterAuthorizationService();
  ZrCalcCmdObject main;
  EXPECT_FALSE(main.CheckPermission(security::kRightSchedule, security::kRefusedSchedule));
  EXPECT_EQ(main.m_lastError, 197);
  EXPECT_EQ(main.CheckTwoRights(security::kRightLibrary, security::kRightCalcScriptLibrary, security::kRefusedLibrary),
            Grant::Refused);
  EXPECT_EQ(main.m_lastError, 195);
  EXPECT_FALSE(main.CheckAccess(security::kRightCalc));

  // An application object with its directory set does not ask.
  ZrCalcAppCmdObject app;
  app.SetBaseDirectory("Plant");
  EXPECT_TRUE(app.CheckPermission(security::kRightSchedule, security::kRefusedSchedule));
  EXPECT_EQ(app.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc), Grant::Full);
  EXPECT_EQ(app.m_lastError, 0);
}

// The gate over the real service and its registry policy.
class GatePolicyTest : public PermissionTest {
 protected:
  void SetUp() override {
    PermissionTest::SetUp();
    engine::RegisterAuthorizationService(env.env());
    engine::AuthorizationService::SetGroupResolver([](const std::string&) { return std::vector<std::string>(); });
  }
  void TearDown() override {
    engine::AuthorizationService::SetGroupResolver(nullptr);
    PermissionTest::TearDown();
  }
  void SetUserRights(const char* user, uint32_t mask) {
    env.registry().SetValue(platform::RegHive::LocalMachine, engine::kAuthorizationUsersKey, user,
                            platform::RegValue::Dword(mask));
  }
};

TEST_F(GatePolicyTest, DefaultPolicyAdmitsOnlyTheServerAccount) {
  ZrCalcCmdObject obj;
  for (uint32_t right : {security::kRightCalc, security::kRightExecute, security::kRightUnits}) {
    EXPECT_TRUE(obj.CheckPermission(right, security::RefusalCodeOf(right))) << right;
  }
  com::ScopedCallContext alice(com::CallContext::FromIdentity("\\alice"));
  EXPECT_FALSE(obj.CheckPermission(security::kRightExecute, security::kRefusedExecute));
  EXPECT_EQ(obj.m_lastError, 194);
  com::ScopedCallContext anonymous(com::CallContext::Anonymous());
  EXPECT_FALSE(obj.CheckAccess(security::kRightExecute));
}

TEST_F(GatePolicyTest, ScriptOnlyUserAndAPolicyChangeAfterRefresh) {
  SetUserRights("alice", security::kRightCalcScriptCalc);
  ZrCalcCmdObject obj;
  com::ScopedCallContext alice(com::CallContext::FromIdentity("\\alice"));
  EXPECT_EQ(obj.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc),
            Grant::ScriptOnly);
  EXPECT_EQ(obj.m_lastError, 0);

  SetUserRights("alice", security::kRightCalc | security::kRightSchedule);
  EXPECT_FALSE(obj.CheckPermission(security::kRightSchedule, security::kRefusedSchedule));
  security::ZrServerSecurity::RefreshCache();
  EXPECT_TRUE(obj.CheckPermission(security::kRightSchedule, security::kRefusedSchedule));
  EXPECT_EQ(obj.CheckTwoRights(security::kRightCalc, security::kRightCalcScriptCalc, security::kRefusedCalc),
            Grant::Full);
}

}  // namespace
}  // namespace kv::testing
