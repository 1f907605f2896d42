#pragma once
// Who is calling: the identity of the client whose call the current thread is carrying out.
// The transport installs a context for the duration of each call with ScopedCallContext (from
// the connection's credentials); code running outside any call (start-up, in-process callers,
// tests) acts as the account the server runs under.
//
// The identity is kept in the "<domain>\<user>" form the access gate splits. Our transport has
// no domains, so a known caller is "\<user>"; a caller without credentials is "\", which the
// gate treats as the anonymous caller.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "com/hresult.h"

namespace kv::platform {
class SystemInfo;
}  // namespace kv::platform

namespace kv::com {

class CallContext {
 public:
  // A caller without credentials: identity "\".
  static CallContext Anonymous();
  // A caller known by uid; the user name is looked up in `system` now, its groups on first use.
  // A uid without a name leaves the identity empty, and the blanket query for the call fails.
  // `system` must outlive the context.
  static CallContext FromUid(uid_t uid, platform::SystemInfo& system);
  // Any identity text as it stands (callers that already hold a name; tests). With a uid, the
  // groups are looked up in `system` on first use.
  static CallContext FromIdentity(std::string identity, std::optional<uid_t> uid, platform::SystemInfo& system);
  // The same with the system of the environment in force, for callers that are handed none.
  static CallContext FromUid(uid_t uid);
  static CallContext FromIdentity(std::string identity, std::optional<uid_t> uid = std::nullopt);

  bool HasCredentials() const { return hasCredentials_; }
  uid_t Uid() const { return uid_; }
  // "<domain>\<user>", "\" for the anonymous caller, "" when the uid has no name.
  const std::string& Identity() const { return identity_; }
  // The part after the last backslash (all of it when there is none).
  std::string UserName() const;
  // The server principal name the call reported; always empty on our transport.
  const std::string& ServerPrincipal() const { return serverPrincipal_; }
  void SetServerPrincipal(std::string spn) { serverPrincipal_ = std::move(spn); }

  // The caller's Unix group names, looked up from the uid on first use (none without
  // credentials or without a system to ask). A context belongs to one call on one thread, so
  // this is not locked.
  const std::vector<std::string>& Groups() const;
  void SetGroups(std::vector<std::string> groups) { groups_ = std::move(groups); }

 private:
  bool hasCredentials_ = false;
  uid_t uid_ = 0;
  platform::SystemInfo* system_ = nullptr;
  std::string identity_;
  std::string serverPrincipal_;
  mutable std::optional<std::vector<std::string>> groups_;
};

// Makes `context` the current call context of this thread for the lifetime of the object and
// restores the previous one (nesting is allowed). Not copyable; destroy on the same thread.
class ScopedCallContext {
 public:
  explicit ScopedCallContext(CallContext context);
  ~ScopedCallContext();
  ScopedCallContext(const ScopedCallContext&) = delete;
  ScopedCallContext& operator=(const ScopedCallContext&) = delete;

  CallContext& context() { return context_; }

 private:
  CallContext context_;
  const CallContext* previous_;
};

// The context of the call running on this thread; null outside any call.
const CallContext* CurrentCallContext();

// The client blanket of the current call: the server principal name and the privileges value
// (the identity). Outside any call: no principal and "\" + the server's own account name from
// `server` ("\" when that is empty). E_FAIL, with both outputs cleared, when the caller has
// credentials but no name could be found for them.
com::HRESULT QueryClientBlanket(platform::SystemInfo& server, std::string* serverPrincipal, std::string* privileges);

}  // namespace kv::com
