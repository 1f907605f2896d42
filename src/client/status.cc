#include "client/status.h"

namespace kv::client {

std::string Status::ToString() const {
  if (ok()) return "ok";
  if (remoteName_.empty()) return message_;
  return message_.empty() ? remoteName_ : remoteName_ + ": " + message_;
}

}  // namespace kv::client
