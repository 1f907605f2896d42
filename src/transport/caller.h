#pragma once
// The identity of a client as the access gate sees it, and running work as that client.
#include <sys/types.h>

#include <functional>
#include <string>

namespace kv::transport {

struct Caller {
  bool known = false;     // false: no credentials (the anonymous caller)
  uid_t uid = 0;
  std::string userName;   // from the password database; empty when the uid has no account
};

// Runs `work` on the calling thread with `caller` installed as the current call context, and
// restores the previous context afterwards (also when `work` throws).
void RunAsCaller(const Caller& caller, const std::function<void()>& work);

}  // namespace kv::transport
