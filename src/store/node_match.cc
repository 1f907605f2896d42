#include "store/node_match.h"

#include <strings.h>

#include <vector>

namespace kv::store {

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool NodeMatcher::Matches(const std::string& recorded) {
  if (EqualNoCase(given_, recorded)) return true;
  if (recorded.empty()) return false;
  auto it = resolved_.find(recorded);
  if (it != resolved_.end()) return it->second;
  std::string canonical;
  std::vector<std::string> addresses;
  bool match = false;
  if (system_.ResolveIPv4(recorded, &canonical, &addresses)) {
    match = EqualNoCase(given_, canonical);
    for (const auto& a : addresses) match = match || EqualNoCase(given_, a);
  }
  resolved_.emplace(recorded, match);
  return match;
}

}  // namespace kv::store
