#include "transport/caller.h"

// The access gate's call context lives on the security branch; until it is part of the build
// the work runs without a context (as an in-process caller would).
#if __has_include("security/call_context.h")
#include "security/call_context.h"
#define KV_TRANSPORT_HAS_CALL_CONTEXT 1
#endif

namespace kv::transport {

#ifdef KV_TRANSPORT_HAS_CALL_CONTEXT
namespace {
security::CallContext ContextOf(const Caller& c) {
  if (!c.known) return security::CallContext::Anonymous();
  if (c.userName.empty()) return security::CallContext::FromUid(c.uid);
  return security::CallContext::FromIdentity("\\" + c.userName, c.uid);
}
}  // namespace
#endif

void RunAsCaller(const Caller& caller, const std::function<void()>& work) {
#ifdef KV_TRANSPORT_HAS_CALL_CONTEXT
  security::ScopedCallContext scope(ContextOf(caller));  // the caller context for the access gate
#endif
  work();
}

}  // namespace kv::transport
