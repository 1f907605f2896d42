#include "config/config.h"

#include "platform/env.h"

namespace kv {

std::string g_BasePath;
std::atomic<bool> g_bOdmWorkspaceSet = false;
std::atomic<int16_t> g_bStoreAndForwardEnabled = 0;
std::atomic<uint32_t> g_RecycleCopies = config::kDefaultRecycleCopies;

namespace config {
namespace {
using platform::RegHive;
using platform::RegValue;

// A string value read as into a buffer of `limit` bytes: it must fit with its NUL.
bool ReadBoundedString(platform::RegistryStore& reg, const char* key, const char* name, size_t limit,
                       std::string* out) {
  RegValue v;
  if (reg.GetValue(RegHive::LocalMachine, key, name, &v) != platform::kRegOk) return false;
  if (v.type != platform::REG_SZ && v.type != platform::REG_EXPAND_SZ) return false;
  if (v.text.size() + 1 > limit) return false;
  *out = v.text;
  return true;
}
}  // namespace

std::string LookupBasePath(platform::Env& env) {
  std::string result;
  if (!ReadBoundedString(*env.registry, kSharedPathKey, kSharedPathValue, 260, &result)) {
    if (auto v = env.system->GetEnv(kBaseEnvVar)) result = *v;
  }
  if (!result.empty()) return result;
  // Without a common data folder there is no store: "" + "\Quorlith\..." would put one at the
  // file-system root.
  const std::string common = env.system->CommonAppDataFolder();
  return common.empty() ? std::string() : common + "\\Quorlith\\Morvane Calc";
}

std::string ReadOdmWorkspace(platform::Env& env) {
  std::string text;
  return ReadBoundedString(*env.registry, kOdmKey, kOdmWorkSpaceValue, 256, &text) ? text : std::string();
}

uint32_t ReadStoreAndForward(platform::Env& env) {
  RegValue v;
  auto& reg = *env.registry;
  if (reg.GetValue(RegHive::LocalMachine, kStoreAndForwardKey, kStoreAndForwardValue, &v) != platform::kRegOk)
    return 0;
  return v.type == platform::REG_DWORD ? v.dword : 0;
}

uint32_t ReadRecycleCopies(platform::Env& env) {
  RegValue v;
  if (env.registry->GetValue(RegHive::LocalMachine, kStoreKey, kRecycleCopiesValue, &v) != platform::kRegOk ||
      v.type != platform::REG_DWORD || v.dword == 0)
    return kDefaultRecycleCopies;
  return v.dword;
}

bool LoadConfiguration(platform::Env& env) {
  g_BasePath = LookupBasePath(env);
  g_bOdmWorkspaceSet = !ReadOdmWorkspace(env).empty();
  g_bStoreAndForwardEnabled = ReadStoreAndForward(env) != 0 ? -1 : 0;
  g_RecycleCopies = ReadRecycleCopies(env);
  return !g_BasePath.empty();
}

}  // namespace config
}  // namespace kv
