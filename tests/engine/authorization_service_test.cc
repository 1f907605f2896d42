#include "engine/authorization_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

#include "com/class_registry.h"
#include "log/error_log.h"
#include "com/call_context.h"
#include "support/test_env.h"

namespace kv::testing {
namespace {

using com::Bstr;
using com::HRESULT;
using com::Variant;
using engine::AuthorizationService;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using platform::RegHive;
using platform::RegValue;

constexpr const char* kSid = "S-KV-Servers-plant7";

class AuthorizationServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AuthorizationService::SetGroupResolver([this](const std::string& user) {
      asked.push_back(user);
      auto it = groups.find(user);
      return it == groups.end() ? std::vector<std::string>() : it->second;
    });
    previousSink = log::SetErrorSink(
        [this](std::string_view m, std::string_view d) { errors.push_back(std::string(m) + ": " + std::string(d)); });
    svc = com::MakeCom<AuthorizationService>(env.env());
  }
  void TearDown() override {
    AuthorizationService::SetGroupResolver(nullptr);
    log::SetErrorSink(previousSink);
  }

  void Set(const char* sub, const char* name, RegValue v) {
    env.registry().SetValue(RegHive::LocalMachine, std::string(engine::kAuthorizationKey) + "\\" + sub, name, v);
  }
  // Granted, with an S_OK status.
  bool Holds(const char* domain, const char* user, uint32_t right) {
    com::VARIANT_BOOL granted = 7;
    HRESULT hr = svc->CheckAccessEx(Bstr::FromUtf8(domain), Bstr::FromUtf8(user), Bstr::FromUtf8(kSid), right, &granted);
    EXPECT_EQ(hr, com::S_OK);
    EXPECT_TRUE(granted == com::VARIANT_TRUE || granted == com::VARIANT_FALSE);
    return granted == com::VARIANT_TRUE;
  }

  TestEnv env;
  com::ComPtr<AuthorizationService> svc;
  std::map<std::string, std::vector<std::string>> groups;
  std::vector<std::string> asked;
  std::vector<std::string> errors;
  log::ErrorSink previousSink;
};

TEST_F(AuthorizationServiceTest, DefaultPolicyGivesTheServerAccountEveryRight) {
  ASSERT_EQ(svc->InitCache(), com::S_OK);
  for (uint32_t right : {0x10u, 0x20u, 0x40u, 0x10000u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_TRUE(Holds("", "calcuser", right)) << right;
    EXPECT_TRUE(Holds("ANYWHERE", "calcuser", right)) << right;  // the domain is not used
    EXPECT_FALSE(Holds("", "alice", right)) << right;
    EXPECT_FALSE(Holds("NT AUTHORITY", "ANONYMOUS LOGON", right)) << right;
  }
  EXPECT_FALSE(Holds("", "calcuser", 0));  // 0 is no right
  EXPECT_FALSE(Holds("", "CalcUser", 0x10));
  EXPECT_FALSE(Holds("", "", 0x10));

  // The default stands only while there is no policy at all.
  Set("Groups", "plantops", RegValue::Dword(0x40));
  ASSERT_EQ(svc->RefreshCache(), com::S_OK);
  EXPECT_FALSE(Holds("", "calcuser", 0x10));
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(AuthorizationServiceTest, UserAndGroupMasksCombine) {
  Set("Users", "alice", RegValue::Dword(0x20));
  Set("Users", "ANONYMOUS LOGON", RegValue::Dword(0x40));
  Set("Groups", "plantops", RegValue::Dword(0x1000));
  Set("Groups", "engineers", RegValue::Dword(0x110));
  groups["alice"] = {"plantops", "users"};
  groups["bob"] = {"engineers"};
  groups["ANONYMOUS LOGON"] = {"plantops"};
  ASSERT_EQ(svc->InitCache(), com::S_OK);

  struct Case {
    const char* domain;
    const char* user;
    uint32_t right;
    bool held;
  } cases[] = {
      {"", "alice", 0x20, true},
      {"", "alice", 0x1000, true},
      {"", "alice", 0x1020, true},  // every bit from one source or the other
      {"", "alice", 0x10, false},
      {"", "alice", 0x30, false},  // not all bits held
      {"", "bob", 0x100, true},
      {"", "bob", 0x20, false},
      {"", "Alice", 0x20, false},  // names compare exactly
      {"", "calcuser", 0x10, false},
      {"NT AUTHORITY", "ANONYMOUS LOGON", 0x40, true},
      {"NT AUTHORITY", "ANONYMOUS LOGON", 0x1000, false},  // the anonymous caller has no groups
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Holds(c.domain, c.user, c.right), c.held) << c.user << " " << c.right;
  }
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "ANONYMOUS LOGON"), 0);
}

TEST_F(AuthorizationServiceTest, MalformedEntriesGrantNothingAndAreReported) {
  Set("Users", "alice", RegValue::String("0x10"));
  Set("Users", "bob", RegValue::Dword(0x10));
  Set("Groups", "plantops", RegValue::Binary({0x10, 0, 0, 0}));
  groups["alice"] = {"plantops"};
  ASSERT_EQ(svc->InitCache(), com::S_OK);
  EXPECT_FALSE(Holds("", "alice", 0x10));
  EXPECT_TRUE(Holds("", "bob", 0x10));
  EXPECT_FALSE(Holds("", "calcuser", 0x10));  // a policy exists, malformed or not
  EXPECT_THAT(errors, ElementsAre(HasSubstr("Users\\alice (REG_SZ)"), HasSubstr("Groups\\plantops (REG_BINARY)")));
  EXPECT_THAT(errors[0], HasSubstr("AuthorizationService::LoadPolicy - policy entry is not a REG_DWORD"));
}

TEST_F(AuthorizationServiceTest, PolicyChangesTakeEffectAtTheNextRefresh) {
  com::VARIANT_BOOL granted = com::VARIANT_TRUE;
  EXPECT_EQ(svc->CheckAccessEx(Bstr(u""), Bstr(u"calcuser"), Bstr::FromUtf8(kSid), 0x10, &granted), com::E_UNEXPECTED);
  EXPECT_EQ(granted, com::VARIANT_FALSE);

  Set("Users", "alice", RegValue::Dword(0x10));
  ASSERT_EQ(svc->InitCache(), com::S_OK);
  Set("Users", "alice", RegValue::Dword(0x40));
  EXPECT_TRUE(Holds("", "alice", 0x10));
  EXPECT_FALSE(Holds("", "alice", 0x40));
  ASSERT_EQ(svc->RefreshCache(), com::S_OK);
  EXPECT_FALSE(Holds("", "alice", 0x10));
  EXPECT_TRUE(Holds("", "alice", 0x40));

  env.registry().DeleteKey(RegHive::LocalMachine, engine::kAuthorizationKey);
  ASSERT_EQ(svc->RefreshCache(), com::S_OK);
  EXPECT_FALSE(Holds("", "alice", 0x40));
  EXPECT_TRUE(Holds("", "calcuser", 0x40));
}

TEST_F(AuthorizationServiceTest, SecurityIds) {
  Bstr sid;
  ASSERT_EQ(svc->GetSecurityId(Bstr(u"Morvane Calc"), Bstr(u"Servers"), Bstr(u"plant7"), &sid), com::S_OK);
  EXPECT_EQ(sid.ToUtf8(), kSid);
  Bstr again;
  com::MakeCom<AuthorizationService>(env.env())
      ->GetSecurityId(Bstr(u"Morvane Calc"), Bstr(u"Servers"), Bstr(u"plant7"), &again);
  EXPECT_EQ(again, sid);

  EXPECT_EQ(svc->GetSecurityId(Bstr(u"Morvane Calc"), Bstr(u"Servers"), Bstr(u""), &sid), com::E_INVALIDARG);
  EXPECT_EQ(sid.Length(), 0u);

  ASSERT_EQ(svc->InitCache(), com::S_OK);
  com::VARIANT_BOOL granted = com::VARIANT_TRUE;
  EXPECT_EQ(svc->CheckAccessEx(Bstr(u""), Bstr(u"calcuser"), Bstr(u""), 0x10, &granted), com::E_INVALIDARG);
  EXPECT_EQ(granted, com::VARIANT_FALSE);
}

TEST_F(AuthorizationServiceTest, CallerGroupsComeFromTheCallContext) {
  AuthorizationService::SetGroupResolver(nullptr);
  Set("Groups", "plantops", RegValue::Dword(0x40));
  ASSERT_EQ(svc->InitCache(), com::S_OK);
  com::ScopedCallContext scope(com::CallContext::FromIdentity("\\alice", 4242));
  scope.context().SetGroups({"plantops"});
  EXPECT_TRUE(Holds("", "alice", 0x40));
  EXPECT_FALSE(Holds("", "bob", 0x40));  // not the caller: looked up by name, unknown

  // Others' groups come from the service's own system, not from the machine's database.
  env.system().groupsOf["bob"] = {"plantops"};
  EXPECT_TRUE(Holds("", "bob", 0x40));
}

TEST_F(AuthorizationServiceTest, LateBoundCallsInOrder) {
  struct Member {
    const char* name;
    com::DISPID id;
  } members[] = {{"CheckAccessEx", 1}, {"RefreshCache", 2}, {"InitCache", 3}, {"GetSecurityId", 4}};
  for (const auto& m : members) {
    com::DISPID id = 0;
    EXPECT_EQ(svc->GetIDsOfNames(m.name, &id), com::S_OK);
    EXPECT_EQ(id, m.id) << m.name;
  }

  std::vector<Variant> none;
  EXPECT_EQ(com::CallMethod(svc.Get(), "InitCache", none, nullptr), com::S_OK);

  std::vector<Variant> sidArgs{Variant::Str("Morvane Calc"), Variant::Str("Servers"), Variant::Str("plant7"), Variant()};
  EXPECT_EQ(com::CallMethod(svc.Get(), "GetSecurityId", sidArgs, nullptr), com::S_OK);
  EXPECT_EQ(sidArgs[3], Variant::Str(kSid));

  Variant granted;
  std::vector<Variant> checkArgs{Variant::Str(""), Variant::Str("calcuser"), Variant::Str(kSid),
                                 Variant::I4(static_cast<int32_t>(0x80000000u)), Variant::ByRef(&granted)};
  EXPECT_EQ(com::CallMethod(svc.Get(), "CheckAccessEx", checkArgs, nullptr), com::S_OK);
  EXPECT_EQ(granted, Variant::Bool(true));

  checkArgs[1] = Variant::Str("alice");
  EXPECT_EQ(com::CallMethod(svc.Get(), "CheckAccessEx", checkArgs, nullptr), com::S_OK);
  EXPECT_EQ(granted, Variant::Bool(false));

  checkArgs.pop_back();
  EXPECT_EQ(com::CallMethod(svc.Get(), "CheckAccessEx", checkArgs, nullptr), com::DISP_E_BADPARAMCOUNT);
}

TEST_F(AuthorizationServiceTest, RegistrationAndTheDisabledSwitch) {
  engine::RegisterAuthorizationService(env.env());
  com::ComPtr<components::IOrvAuthorizationSvc> created;
  EXPECT_EQ(com::CreateInstance(components::CLSID_OrvAuthorization, &created), com::S_OK);
  EXPECT_NE(com::QueryInterface<com::IDispatch>(created), nullptr);
  engine::UnregisterAuthorizationService();
  EXPECT_EQ(com::CreateInstance(components::CLSID_OrvAuthorization, &created), com::REGDB_E_CLASSNOTREG);

  struct Case {
    std::optional<RegValue> value;
    bool disabled;
  } cases[] = {
      {std::nullopt, false},
      {RegValue::Dword(1), true},
      {RegValue::Dword(0), false},
      {RegValue::String("1"), false},
  };
  for (const auto& c : cases) {
    env.registry().DeleteValue(RegHive::LocalMachine, engine::kAuthorizationKey, engine::kAuthorizationDisabledValue);
    if (c.value) {
      env.registry().SetValue(RegHive::LocalMachine, engine::kAuthorizationKey, engine::kAuthorizationDisabledValue,
                              *c.value);
    }
    EXPECT_EQ(engine::AuthorizationServiceDisabledByPolicy(env.env()), c.disabled);
  }
}

}  // namespace
}  // namespace kv::testing
