#include "com/call_context.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

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

Blanket Query() {
  Blanket b;
  b.hr = QueryClientBlanket(&b.principal, &b.privileges);
  return b;
}

uid_t UnknownUid() {
  uid_t uid = 0x7FFFFFF0;
  while (getpwuid(uid) != nullptr) --uid;
  return uid;
}

TEST(CallContextTest, OutsideAnyCallTheServerAccountAsks) {
  TestEnv env;
  EXPECT_EQ(CurrentCallContext(), nullptr);
  Blanket b = Query();
  EXPECT_EQ(b.hr, com::S_OK);
  EXPECT_EQ(b.privileges, "\\calcuser");
  EXPECT_EQ(b.principal, "");

  env.system().user = "";  // unknown account: judged as the anonymous caller
  EXPECT_EQ(Query().privileges, "\\");
}

TEST(CallContextTest, ContextsNestAndStayOnTheirThread) {
  TestEnv env;
  {
    ScopedCallContext outer(CallContext::FromIdentity("\\alice"));
    {
      ScopedCallContext inner(CallContext::Anonymous());
      EXPECT_EQ(Query().privileges, "\\");
      EXPECT_FALSE(CurrentCallContext()->HasCredentials());
      std::thread other([] { EXPECT_EQ(CurrentCallContext(), nullptr); });
      other.join();
    }
    EXPECT_EQ(Query().privileges, "\\alice");
    EXPECT_EQ(CurrentCallContext()->UserName(), "alice");
  }
  EXPECT_EQ(CurrentCallContext(), nullptr);
}

TEST(CallContextTest, CallersByUid) {
  TestEnv env;
  passwd* me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  const std::string myName = me->pw_name;
  CallContext known = CallContext::FromUid(getuid());
  EXPECT_TRUE(known.HasCredentials());
  EXPECT_EQ(known.Identity(), "\\" + myName);
  EXPECT_EQ(known.UserName(), myName);

  // The caller's groups come from the group database and hold its primary group.
  if (group* primary = getgrgid(me->pw_gid)) {
    const std::string primaryName = primary->gr_name;
    const auto& groups = known.Groups();
    EXPECT_NE(std::find(groups.begin(), groups.end(), primaryName), groups.end());
    EXPECT_EQ(com::GroupNamesOfUser(myName), groups);
  }

  ScopedCallContext scope(CallContext::FromUid(UnknownUid()));
  EXPECT_EQ(CurrentCallContext()->Identity(), "");
  EXPECT_TRUE(CurrentCallContext()->Groups().empty());
  Blanket b = Query();
  EXPECT_EQ(b.hr, com::E_FAIL);
  EXPECT_EQ(b.privileges, "");
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
