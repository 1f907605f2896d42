#pragma once
// Whether the node a client names is the node recorded in a tag parameter: the same name without
// regard to case, the recorded host's fully qualified name, or one of its IPv4 addresses in
// dotted form. A recorded name that does not resolve matches only by its own text.
#include <map>
#include <string>

#include "platform/system_info.h"

namespace kv::store {

class NodeMatcher {
 public:
  // `system` resolves names; it must outlive the matcher.
  NodeMatcher(platform::SystemInfo& system, std::string given) : system_(system), given_(std::move(given)) {}

  // Asks the resolver only when the text alone does not match, and once per recorded name (a
  // matcher lives for one command, so every answer of that command rests on one look-up).
  bool Matches(const std::string& recorded);

 private:
  platform::SystemInfo& system_;
  const std::string given_;
  std::map<std::string, bool> resolved_;  // recorded name -> whether it resolved to the given one
};

// ASCII letters compared without regard to case, as host names and tag names are.
bool EqualNoCase(const std::string& a, const std::string& b);

}  // namespace kv::store
