#include "transport/caller.h"

#include "com/call_context.h"

namespace kv::transport {

namespace {
com::CallContext ContextOf(const Caller& c) {
  if (!c.known) return com::CallContext::Anonymous();
  if (c.userName.empty()) return com::CallContext::FromUid(c.uid);
  return com::CallContext::FromIdentity("\\" + c.userName, c.uid);
}
}  // namespace

void RunAsCaller(const Caller& caller, const std::function<void()>& work) {
  com::ScopedCallContext scope(ContextOf(caller));
  work();
}

}  // namespace kv::transport
