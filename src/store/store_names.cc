#include "store/store_names.h"

namespace kv::store {
namespace {

// One path component: non-empty, not ".", no "..", "/", "\" or NUL.
bool IsPlainComponent(std::string_view c) {
  if (c.empty() || c == ".") return false;
  if (c.find("..") != std::string_view::npos) return false;
  if (c.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
  return true;
}

}  // namespace

bool IsSafeCalculationName(std::string_view name) {
  size_t slash = name.find('\\');
  if (slash == std::string_view::npos) return IsPlainComponent(name);
  return IsPlainComponent(name.substr(0, slash)) && IsPlainComponent(name.substr(slash + 1));
}

bool IsSafeLibraryName(std::string_view name) { return IsPlainComponent(name); }
bool IsSafeFolderName(std::string_view name) { return IsPlainComponent(name); }
bool IsSafeApplicationName(std::string_view name) { return IsPlainComponent(name); }

}  // namespace kv::store
