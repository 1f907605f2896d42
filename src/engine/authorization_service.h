#pragma once
// The authorization service (CLSID_OrvAuthorization, interface IOrvAuthorizationSvc, also
// callable late-bound through IDispatch with the members CheckAccessEx, RefreshCache, InitCache
// and GetSecurityId, DISPIDs 1 to 4 in that order).
//
// Policy, in the registry store under HKLM "SOFTWARE\Kelvarin\Authorization":
//   Users\<user name>   = REG_DWORD mask of the rights the user holds
//   Groups\<group name> = REG_DWORD mask of the rights every member of the Unix group holds
//   Disabled            = REG_DWORD; non-zero means "service not installed" (see below)
// A user holds the rights of its Users entry OR those of all its groups. Names compare exactly
// (case-sensitive, as Unix names do). A right is held when it is non-zero and all of its bits
// are in the user's mask. When neither "Users" nor "Groups" exists, the default policy applies:
// the account the server runs under holds every right (0xFFFFFFFF) and nobody else holds any.
// A value that is not a REG_DWORD grants nothing and is reported through log::LogError.
//
// The domain passed to CheckAccessEx is not used, with one exception: the anonymous caller
// ("NT AUTHORITY" / "ANONYMOUS LOGON") belongs to no group and holds only what a Users entry
// named "ANONYMOUS LOGON" grants.
//
// Secured objects: GetSecurityId gives "S-KV-<objectClass>-<objectName>" (the server itself is
// "S-KV-Servers-<computer name>"); an empty class or name is E_INVALIDARG. The policy applies
// node-wide, to any non-empty identifier; CheckAccessEx with an empty one is E_INVALIDARG.
//
// InitCache reads the policy into memory, RefreshCache reads it again (an administrator's
// change takes effect at the next refresh, never before); CheckAccessEx answers from memory,
// E_UNEXPECTED (not granted) before the first load. Thread-safe.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com/dispatch.h"
#include "components/authorization.h"
#include "platform/env.h"

namespace kv::engine {

inline constexpr const char* kAuthorizationKey = "SOFTWARE\\Kelvarin\\Authorization";
inline constexpr const char* kAuthorizationUsersKey = "SOFTWARE\\Kelvarin\\Authorization\\Users";
inline constexpr const char* kAuthorizationGroupsKey = "SOFTWARE\\Kelvarin\\Authorization\\Groups";
inline constexpr const char* kAuthorizationDisabledValue = "Disabled";
inline constexpr uint32_t kAllRights = 0xFFFFFFFFu;

class AuthorizationService : public com::ComObject<components::IOrvAuthorizationSvc, com::IDispatch> {
 public:
  // The Unix groups of a user (not asked for the anonymous caller).
  using GroupResolver = std::function<std::vector<std::string>(const std::string& user)>;

  // The policy comes from the registry store of `env`, the server account and the group
  // database from its system. `env` must outlive the service.
  explicit AuthorizationService(platform::Env& env);

  com::HRESULT CheckAccessEx(const com::Bstr& domain, const com::Bstr& user, const com::Bstr& securityId,
                             uint32_t right, com::VARIANT_BOOL* granted) override;
  com::HRESULT RefreshCache() override;
  com::HRESULT InitCache() override;
  com::HRESULT GetSecurityId(const com::Bstr& appName, const com::Bstr& objectClass, const com::Bstr& objectName,
                             com::Bstr* securityId) override;

  com::HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override;
  com::HRESULT Invoke(com::DISPID id, uint16_t flags, std::vector<com::Variant>& args, com::Variant* result) override;

  // The rights mask of `user` under the cached policy (0 before the first load).
  uint32_t RightsOf(const std::string& domain, const std::string& user);

  // Replaces how group memberships are found for every service object (empty: the default,
  // which takes the current call context's groups when the user is its caller and the system's
  // group database otherwise). For tests; not to be changed while a check runs.
  static void SetGroupResolver(GroupResolver resolver);

 private:
  struct Policy {
    bool explicitPolicy = false;
    std::string serverAccount;
    std::map<std::string, uint32_t> users;
    std::map<std::string, uint32_t> groups;
  };
  Policy LoadPolicy();

  platform::Env& env_;
  std::mutex mu_;
  bool loaded_ = false;
  Policy policy_;
  com::DispatchTable table_;
};

// Adds the service to the class registry under CLSID_OrvAuthorization (replacing whatever was
// registered there); each service it makes works on `env`, which must outlive the registration.
void RegisterAuthorizationService(platform::Env& env);
// Removes it: the access gate then finds the service not installed and refuses every right.
// The server host does this instead of registering when AuthorizationServiceDisabledByPolicy()
// says so (or when told on its command line).
void UnregisterAuthorizationService();
// True when HKLM "SOFTWARE\Kelvarin\Authorization" value "Disabled" is a non-zero REG_DWORD in
// the registry store of `env`.
bool AuthorizationServiceDisabledByPolicy(platform::Env& env);

}  // namespace kv::engine
