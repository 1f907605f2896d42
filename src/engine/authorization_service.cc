#include "engine/authorization_service.h"

#include "com/class_registry.h"
#include "com/contained_call.h"
#include "log/error_log.h"
#include "platform/env.h"
#include "com/call_context.h"

namespace kv::engine {

using com::Bstr;
using com::FAILED;
using com::HRESULT;
using com::Variant;

namespace {

constexpr const char* kAnonymousDomain = "NT AUTHORITY";
constexpr const char* kAnonymousUser = "ANONYMOUS LOGON";

std::mutex g_resolverMu;
AuthorizationService::GroupResolver g_resolver;

std::vector<std::string> DefaultGroups(platform::SystemInfo* system, const std::string& user) {
  const com::CallContext* ctx = com::CurrentCallContext();
  if (ctx && ctx->HasCredentials() && ctx->UserName() == user) return ctx->Groups();
  return system ? system->GroupNamesOfUser(user) : std::vector<std::string>();
}

std::vector<std::string> GroupsOf(platform::SystemInfo* system, const std::string& user) {
  AuthorizationService::GroupResolver resolver;
  {
    std::lock_guard lock(g_resolverMu);
    resolver = g_resolver;
  }
  return resolver ? resolver(user) : DefaultGroups(system, user);
}

const char* TypeName(platform::RegType t) {
  switch (t) {
    case platform::REG_SZ: return "REG_SZ";
    case platform::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case platform::REG_BINARY: return "REG_BINARY";
    case platform::REG_DWORD: return "REG_DWORD";
    default: return "REG_NONE";
  }
}

// Every value of `key` that is a DWORD; the others are reported and left out.
std::map<std::string, uint32_t> ReadMasks(platform::RegistryStore& reg, const char* key, const char* label) {
  std::map<std::string, uint32_t> masks;
  for (const std::string& name : reg.ValueNames(platform::RegHive::LocalMachine, key)) {
    platform::RegValue v;
    if (reg.GetValue(platform::RegHive::LocalMachine, key, name, &v) != platform::kRegOk) continue;
    if (v.type != platform::REG_DWORD) {
      log::LogError("AuthorizationService::LoadPolicy - policy entry is not a REG_DWORD and grants nothing",
                    std::string(label) + "\\" + name + " (" + TypeName(v.type) + ")");
      continue;
    }
    if (name.empty()) {
      log::LogError("AuthorizationService::LoadPolicy - policy entry without a name grants nothing", label);
      continue;
    }
    masks[name] = v.dword;
  }
  return masks;
}

// The Bstr or I4 value of a dispatch argument.
HRESULT ArgString(const Variant& arg, Bstr* out) {
  Variant v;
  HRESULT hr = com::ChangeType(arg.Deref(), com::VT_BSTR, &v);
  if (FAILED(hr)) return hr;
  *out = v.bstr();
  return com::S_OK;
}

HRESULT ArgRight(const Variant& arg, uint32_t* out) {
  const Variant& a = arg.Deref();
  if (a.vt() == com::VT_UI4) {
    *out = static_cast<uint32_t>(a.AsInt());
    return com::S_OK;
  }
  Variant v;
  HRESULT hr = com::ChangeType(a, com::VT_I4, &v);
  if (FAILED(hr)) return hr;
  *out = static_cast<uint32_t>(v.i4());
  return com::S_OK;
}

void PutOut(Variant& arg, Variant value) {
  if (arg.IsByRef() && arg.ref()) {
    *arg.ref() = std::move(value);
  } else {
    arg = std::move(value);
  }
}

}  // namespace

AuthorizationService::AuthorizationService(platform::Env& env) : env_(env) {
  table_.Add({"CheckAccessEx", 1,
              [this](std::vector<Variant>& args, Variant*) -> HRESULT {
                if (args.size() != 5) return com::DISP_E_BADPARAMCOUNT;
                Bstr domain, user, sid;
                uint32_t right = 0;
                HRESULT hr;
                if (FAILED(hr = ArgString(args[0], &domain)) || FAILED(hr = ArgString(args[1], &user)) ||
                    FAILED(hr = ArgString(args[2], &sid)) || FAILED(hr = ArgRight(args[3], &right))) {
                  return hr;
                }
                com::VARIANT_BOOL granted = com::VARIANT_FALSE;
                hr = CheckAccessEx(domain, user, sid, right, &granted);
                PutOut(args[4], Variant::Bool(granted == com::VARIANT_TRUE));
                return hr;
              },
              {}, true});
  table_.Add({"RefreshCache", 2,
              [this](std::vector<Variant>& args, Variant*) -> HRESULT {
                return args.empty() ? RefreshCache() : com::DISP_E_BADPARAMCOUNT;
              },
              {}, true});
  table_.Add({"InitCache", 3,
              [this](std::vector<Variant>& args, Variant*) -> HRESULT {
                return args.empty() ? InitCache() : com::DISP_E_BADPARAMCOUNT;
              },
              {}, true});
  table_.Add({"GetSecurityId", 4,
              [this](std::vector<Variant>& args, Variant*) -> HRESULT {
                if (args.size() != 4) return com::DISP_E_BADPARAMCOUNT;
                Bstr app, cls, name;
                HRESULT hr;
                if (FAILED(hr = ArgString(args[0], &app)) || FAILED(hr = ArgString(args[1], &cls)) ||
                    FAILED(hr = ArgString(args[2], &name))) {
                  return hr;
                }
                Bstr sid(u"");
                hr = GetSecurityId(app, cls, name, &sid);
                PutOut(args[3], Variant::Str(sid));
                return hr;
              },
              {}, true});
}

AuthorizationService::Policy AuthorizationService::LoadPolicy() {
  Policy p;
  if (env_.system) p.serverAccount = env_.system->UserName();
  if (!env_.registry) return p;
  platform::RegistryStore& reg = *env_.registry;
  bool hasUsers = reg.KeyExists(platform::RegHive::LocalMachine, kAuthorizationUsersKey);
  bool hasGroups = reg.KeyExists(platform::RegHive::LocalMachine, kAuthorizationGroupsKey);
  p.explicitPolicy = hasUsers || hasGroups;
  if (hasUsers) p.users = ReadMasks(reg, kAuthorizationUsersKey, "Users");
  if (hasGroups) p.groups = ReadMasks(reg, kAuthorizationGroupsKey, "Groups");
  return p;
}

HRESULT AuthorizationService::InitCache() {
  return com::ContainedCall([&] {
    Policy p = LoadPolicy();
    std::lock_guard lock(mu_);
    policy_ = std::move(p);
    loaded_ = true;
  });
}

HRESULT AuthorizationService::RefreshCache() { return InitCache(); }

uint32_t AuthorizationService::RightsOf(const std::string& domain, const std::string& user) {
  if (user.empty()) return 0;
  const bool anonymous = domain == kAnonymousDomain && user == kAnonymousUser;
  {
    std::lock_guard lock(mu_);
    if (!policy_.explicitPolicy) {
      return !anonymous && !policy_.serverAccount.empty() && user == policy_.serverAccount ? kAllRights : 0;
    }
  }
  // Group lookups may be slow (the system's group database): made outside the lock.
  std::vector<std::string> groups = anonymous ? std::vector<std::string>() : GroupsOf(env_.system, user);
  std::lock_guard lock(mu_);
  uint32_t mask = 0;
  if (auto it = policy_.users.find(user); it != policy_.users.end()) mask |= it->second;
  for (const std::string& g : groups) {
    if (auto it = policy_.groups.find(g); it != policy_.groups.end()) mask |= it->second;
  }
  return mask;
}

HRESULT AuthorizationService::CheckAccessEx(const Bstr& domain, const Bstr& user, const Bstr& securityId,
                                            uint32_t right, com::VARIANT_BOOL* granted) {
  *granted = com::VARIANT_FALSE;
  // Granted is set last, so a failure anywhere leaves it false.
  return com::ContainedCall([&] {
    {
      std::lock_guard lock(mu_);
      if (!loaded_) return com::E_UNEXPECTED;
    }
    if (securityId.Length() == 0) return com::E_INVALIDARG;
    uint32_t mask = RightsOf(domain.ToUtf8(), user.ToUtf8());
    if (right != 0 && (mask & right) == right) *granted = com::VARIANT_TRUE;
    return com::S_OK;
  });
}

HRESULT AuthorizationService::GetSecurityId(const Bstr& appName, const Bstr& objectClass, const Bstr& objectName,
                                            Bstr* securityId) {
  *securityId = Bstr(u"");
  if (objectClass.Length() == 0 || objectName.Length() == 0) return com::E_INVALIDARG;
  *securityId = Bstr(u"S-KV-" + objectClass.Wide() + u"-" + objectName.Wide());
  return com::S_OK;
}

HRESULT AuthorizationService::GetIDsOfNames(std::string_view name, com::DISPID* id) {
  return table_.GetIDsOfNames(name, id);
}

HRESULT AuthorizationService::Invoke(com::DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) {
  return table_.Invoke(id, flags, args, result);
}

void AuthorizationService::SetGroupResolver(GroupResolver resolver) {
  std::lock_guard lock(g_resolverMu);
  g_resolver = std::move(resolver);
}

void RegisterAuthorizationService(platform::Env& env) {
  com::ClassRegistry::Instance().Register(components::CLSID_OrvAuthorization, {}, [&env] {
    com::ComPtr<AuthorizationService> service = com::MakeCom<AuthorizationService>(env);
    return com::ComPtr<com::IUnknown>(static_cast<com::IUnknown*>(service.Get()));
  });
}

void UnregisterAuthorizationService() { com::ClassRegistry::Instance().Unregister(components::CLSID_OrvAuthorization); }

bool AuthorizationServiceDisabledByPolicy(platform::Env& env) {
  if (!env.registry) return false;
  platform::RegValue v;
  if (env.registry->GetValue(platform::RegHive::LocalMachine, kAuthorizationKey, kAuthorizationDisabledValue, &v) !=
      platform::kRegOk) {
    return false;
  }
  return v.type == platform::REG_DWORD && v.dword != 0;
}

}  // namespace kv::engine
