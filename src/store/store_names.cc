#include "store/store_names.h"

#include <algorithm>
#include <cctype>

#include "base/shown_name.h"

namespace kv::store {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// One path component: not ".", no "..", "/" or "\"; a folder also no "." and not a store directory.
bool IsValidComponent(std::string_view c, bool folder) {
  if (c.empty() || c == "." || c.find("..") != std::string_view::npos) return false;
  if (c.find_first_of("/\\") != std::string_view::npos) return false;
  if (!folder) return true;
  return c.find('.') == std::string_view::npos && !EqualsIgnoringCase(c, "Edit") && !EqualsIgnoringCase(c, "Recycle");
}

}  // namespace

bool IsValidName(std::string_view name, NameKind kind) {
  if (!base::IsShownName(name, kMaxNameBytes)) return false;
  switch (kind) {
    case NameKind::Calculation: {
      const size_t slash = name.find('\\');
      if (slash == std::string_view::npos) return IsValidComponent(name, false);
      return IsValidComponent(name.substr(0, slash), true) && IsValidComponent(name.substr(slash + 1), false);
    }
    case NameKind::Folder:
      return IsValidComponent(name, true);
    case NameKind::Library:
    case NameKind::Application:
      return IsValidComponent(name, false);
  }
  return false;
}

}  // namespace kv::store
