#include "client/status.h"

#include <cstdio>

#include "com/hresult_names.h"

namespace kv::client {

std::string Status::ToString() const {
  if (ok()) return "ok";
  if (hresult_) {
    char buf[128];
    const com::HResultName* known = com::FindHResultName(hresult_);
    const char* name = known ? known->name : nullptr;
    std::snprintf(buf, sizeof buf, "the server answered HRESULT 0x%08X%s%s%s", static_cast<unsigned>(hresult_),
                  name ? " (" : "", name ? name : "", name ? ")" : "");
    return buf;
  }
  if (remoteName_.empty()) return message_;
  return message_.empty() ? remoteName_ : remoteName_ + ": " + message_;
}

}  // namespace kv::client
