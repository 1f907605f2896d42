#include "com/call_context.h"

#include "platform/env.h"

namespace kv::com {
namespace {

thread_local const CallContext* t_current = nullptr;

}  // namespace

CallContext CallContext::Anonymous() { return FromIdentity("\\", std::nullopt); }

CallContext CallContext::FromUid(uid_t uid, platform::SystemInfo& system) {
  CallContext c;
  c.hasCredentials_ = true;
  c.uid_ = uid;
  c.system_ = &system;
  if (auto name = system.UserNameOfUid(uid)) c.identity_ = "\\" + *name;
  return c;
}

CallContext CallContext::FromIdentity(std::string identity, std::optional<uid_t> uid, platform::SystemInfo& system) {
  CallContext c;
  c.identity_ = std::move(identity);
  if (uid) {
    c.hasCredentials_ = true;
    c.uid_ = *uid;
    c.system_ = &system;
  }
  return c;
}

// The transport makes contexts without an environment of its own yet: it gets the default one.
CallContext CallContext::FromUid(uid_t uid) { return FromUid(uid, *platform::Env::Current().system); }

CallContext CallContext::FromIdentity(std::string identity, std::optional<uid_t> uid) {
  if (uid) return FromIdentity(std::move(identity), uid, *platform::Env::Current().system);
  CallContext c;
  c.identity_ = std::move(identity);
  return c;
}

std::string CallContext::UserName() const {
  size_t cut = identity_.rfind('\\');
  return cut == std::string::npos ? identity_ : identity_.substr(cut + 1);
}

const std::vector<std::string>& CallContext::Groups() const {
  if (!groups_) groups_ = hasCredentials_ && system_ ? system_->GroupNamesOfUid(uid_) : std::vector<std::string>();
  return *groups_;
}

ScopedCallContext::ScopedCallContext(CallContext context) : context_(std::move(context)), previous_(t_current) {
  t_current = &context_;
}

ScopedCallContext::~ScopedCallContext() { t_current = previous_; }

const CallContext* CurrentCallContext() { return t_current; }

com::HRESULT QueryClientBlanket(platform::SystemInfo& server, std::string* serverPrincipal, std::string* privileges) {
  serverPrincipal->clear();
  privileges->clear();
  const CallContext* ctx = t_current;
  if (ctx == nullptr) {
    *privileges = "\\" + server.UserName();
    return com::S_OK;
  }
  if (ctx->Identity().empty()) return com::E_FAIL;
  *serverPrincipal = ctx->ServerPrincipal();
  *privileges = ctx->Identity();
  return com::S_OK;
}

}  // namespace kv::com
