#include "transport/caller.h"

#include "security/call_context.h"

namespace kv::transport {

namespace {
security::CallContext ContextOf(const Caller& c) {
  if (!c.known) return security::CallContext::Anonymous();
  if (c.userName.empty()) return security::CallContext::FromUid(c.uid);
  return security::CallContext::FromIdentity("\\" + c.userName, c.uid);
}
}  // namespace

void RunAsCaller(const Caller& caller, const std::function<void()>& work) {
  security::ScopedCallContext scope(ContextOf(caller));
  work();
}

}  // namespace kv::transport
