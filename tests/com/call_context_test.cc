#include "com/call_context.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace kv::testing {
namespace {

using com::CallContext;
using com::CurrentCallContext;
using com::QueryClientBlanket;
using com::ScopedCallContext;

struct Blanket {
  com::HRESULT hr;
  std::string principal, privileges;
};

Blanket Query(platform::SystemInfo& server) {
  Blanket b;
  b.hr = QueryClientBlanket(server, &b.principal, &b.privileges);
  return b;
}

uid_t UnknownUid() {
  uid_t uid = 0x7FFFFFF0;
  while (platform::RealSystemInfo().UserNameOfUid(uid)) --uid;
  return uid;
}

TEST(CallContextTest, OutsideAnyCallTheServerAccountAsks) {
  TestEnv env;
  EXPECT_EQ(CurrentCallContext(), nullptr);
  Blanket b = Query(env.system());
  EXPECT_EQ(b.hr, com::S_OK);
  EXPECT_EQ(b.privileges, "\\calcuser");
  EXPECT_EQ(b.principal, "");

  env.system().user = "";  // unknown account: judged as the anonymous caller
  EXPECT_EQ(Query(env.system()).privileges, "\\");
}

TEST(CallContextTest, ContextsNestAndStayOnTheirThread) {
  TestEnv env;
  {
    ScopedCallContext outer(CallContext::FromIdentity("\\alice"));
    {
      ScopedCallContext inner(CallContext::Anonymous());
      EXPECT_EQ(Query(env.system()).privileges, "\\");
      EXPECT_FALSE(CurrentCallContext()->HasCredentials());
      std::thread other([] { EXPECT_EQ(CurrentCallContext(), nullptr); });
      other.join();
    }
    EXPECT_EQ(Query(env.system()).privileges, "\\alice");
    EXPECT_EQ(CurrentCallContext()->UserName(), "alice");
  }
  EXPECT_EQ(CurrentCallContext(), nullptr);
}

TEST(CallContextTest, CallersByUid) {
  TestEnv env;
  platform::SystemInfo& real = platform::RealSystemInfo();
  const std::optional<std::string> myName = real.UserNameOfUid(getuid());
  ASSERT_TRUE(myName.has_value());
  CallContext known = CallContext::FromUid(getuid(), real);
  EXPECT_TRUE(known.HasCredentials());
  EXPECT_EQ(known.Identity(), "\\" + *myName);
  EXPECT_EQ(known.UserName(), *myName);
  EXPECT_EQ(known.Groups(), real.GroupNamesOfUid(getuid()));

  ScopedCallContext scope(CallContext::FromUid(UnknownUid(), real));
  EXPECT_EQ(CurrentCallContext()->Identity(), "");
  EXPECT_TRUE(CurrentCallContext()->Groups().empty());
  Blanket b = Query(env.system());
  EXPECT_EQ(b.hr, com::E_FAIL);
  EXPECT_EQ(b.privileges, "");
}

// A context asks the system it is made with (the transport's form without one: the system of
// the environment in force), for the name at once and for the groups on first use.
TEST(CallContextTest, NamesAndGroupsComeFromTheGivenSystem) {
  TestEnv env;
  env.system().accounts[4242] = "alice";
  struct Case {
    const char* what;
    CallContext context;
    bool hasGroups;
  } cases[] = {
      {"by uid", CallContext::FromUid(4242, env.system()), true},
      {"by uid, the default system", CallContext::FromUid(4242), true},
      {"named, with its uid", CallContext::FromIdentity("\\alice", 4242, env.system()), true},
      {"named, without a uid", CallContext::FromIdentity("\\alice"), false},
  };
  const std::vector<std::string> groups = {"plantops", "shift2"};
  env.system().groupsOf["alice"] = groups;
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.context.Identity(), "\\alice");
    EXPECT_EQ(c.context.Groups(), c.hasGroups ? groups : std::vector<std::string>());
  }
}

TEST(CallContextTest, UserNameIsThePartAfterTheLastBackslash) {
  struct Case {
    const char* identity;
    const char* user;
  } cases[] = {{"\\", ""}, {"alice", "alice"}, {"\\bob", "bob"}, {"CORP\\site\\carol", "carol"}, {"CORP\\", ""}};
  for (const auto& c : cases) EXPECT_EQ(CallContext::FromIdentity(c.identity).UserName(), c.user) << c.identity;
  EXPECT_TRUE(CallContext::Anonymous().Groups().empty());
}

}  // namespace
}  // namespace kv::testing
