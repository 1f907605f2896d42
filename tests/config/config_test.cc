#include "config/config.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/test_env.h"

namespace kv::config {
namespace {

using platform::RegHive;
using platform::RegValue;

TEST(Config, BasePathLookupOrder) {
  struct Case {
    const char* what;
    std::optional<RegValue> sharedPath;
    std::optional<std::string> envVar;
    const char* want;  // "<common>": the common application data fallback; nullptr: 259 x
  } cases[] = {
      {"registry string wins over the variable", RegValue::String("/srv/calc"), "/env/calc", "/srv/calc"},
      {"expand string used unexpanded", RegValue::String("%DATA%\\calc", platform::REG_EXPAND_SZ), std::nullopt,
       "%DATA%\\calc"},
      {"empty registry string skips the variable", RegValue::String(""), "/env/calc", "<common>"},
      {"DWORD counts as missing", RegValue::Dword(7), "/env/calc", "/env/calc"},
      {"longer than 260 bytes counts as missing", RegValue::String(std::string(260, 'x')), "/env/calc", "/env/calc"},
      {"259 bytes fit with the terminator", RegValue::String(std::string(259, 'x')), "/env/calc",
       nullptr},
      {"variable when the registry has nothing", std::nullopt, "/env/calc", "/env/calc"},
      {"empty variable falls through", std::nullopt, "", "<common>"},
      {"nothing set", std::nullopt, std::nullopt, "<common>"},
  };
  for (const auto& c : cases) {
    testing::TestEnv env;
    if (c.sharedPath) env.registry().SetValue(RegHive::LocalMachine, kSharedPathKey, kSharedPathValue, *c.sharedPath);
    if (c.envVar) env.system().vars[kBaseEnvVar] = *c.envVar;
    std::string want = c.want ? c.want : std::string(259, 'x');
    if (want == "<common>") want = env.system().commonAppData + "\\Quorlith\\Morvane Calc";
    EXPECT_EQ(LookupBasePath(env.env()), want) << c.what;
  }
}

// Without a common data folder there is no store: the server must not put one at "/Quorlith".
TEST(Config, NoCommonDataFolderMeansNoBasePath) {
  testing::TestEnv env;
  env.system().commonAppData = "";
  EXPECT_EQ(LookupBasePath(env.env()), "");
  EXPECT_FALSE(LoadConfiguration(env.env()));
  env.system().vars[kBaseEnvVar] = "/env/calc";
  EXPECT_TRUE(LoadConfiguration(env.env()));
  EXPECT_EQ(g_BasePath, "/env/calc");
}

TEST(Config, RecycleCopies) {
  struct Case {
    std::optional<RegValue> value;
    uint32_t want;
  } cases[] = {
      {std::nullopt, kDefaultRecycleCopies},
      {RegValue::Dword(3), 3},
      {RegValue::Dword(0), kDefaultRecycleCopies},
      {RegValue::String("3"), kDefaultRecycleCopies},
  };
  for (const auto& c : cases) {
    testing::TestEnv env;
    if (c.value) env.registry().SetValue(RegHive::LocalMachine, kStoreKey, kRecycleCopiesValue, *c.value);
    EXPECT_EQ(ReadRecycleCopies(env.env()), c.want);
    LoadConfiguration(env.env());
    EXPECT_EQ(g_RecycleCopies, c.want);
  }
  g_RecycleCopies = kDefaultRecycleCopies;
}

TEST(Config, StartupFlags) {
  struct Case {
    std::optional<RegValue> workspace;
    std::optional<RegValue> enabled;
    bool wantWorkspaceSet;
    int16_t wantStoreAndForward;
  } cases[] = {
      {std::nullopt, std::nullopt, false, 0},
      {RegValue::String(""), RegValue::Dword(0), false, 0},
      {RegValue::String("Plant A"), RegValue::Dword(1), true, -1},
      {RegValue::Dword(5), RegValue::Dword(0xFFFFFFFF), false, -1},
      {RegValue::String(std::string(256, 'w')), RegValue::String("1"), false, 0},  // too long; not a DWORD
  };
  for (const auto& c : cases) {
    testing::TestEnv env;
    if (c.workspace) env.registry().SetValue(RegHive::LocalMachine, kOdmKey, kOdmWorkSpaceValue, *c.workspace);
    if (c.enabled) env.registry().SetValue(RegHive::LocalMachine, kStoreAndForwardKey, kStoreAndForwardValue, *c.enabled);
    LoadConfiguration(env.env());
    EXPECT_EQ(g_bOdmWorkspaceSet, c.wantWorkspaceSet);
    EXPECT_EQ(g_bStoreAndForwardEnabled, c.wantStoreAndForward);
  }
  testing::TestEnv env;
  env.registry().SetValue(RegHive::LocalMachine, kOdmKey, kOdmWorkSpaceValue, RegValue::String("Plant A"));
  EXPECT_EQ(ReadOdmWorkspace(env.env()), "Plant A");
}

}  // namespace
}  // namespace kv::config
