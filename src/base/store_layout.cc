#include "base/store_layout.h"

namespace kv::layout {
namespace {

std::string ObjectPath(std::string_view dir, std::string_view sub, std::string_view name) {
  std::string path = Join(Join(dir, sub), name);
  path += kObjectExtension;
  return path;
}

}  // namespace

std::string Join(std::string_view dir, std::string_view sub) {
  std::string path(dir);
  path += '\\';
  path += sub;
  return path;
}

std::string CalcDir(std::string_view base) { return Join(base, kCalc); }
std::string LibDir(std::string_view root) { return Join(root, kLib); }
std::string StoredCalcPath(std::string_view base, std::string_view name) { return ObjectPath(base, kCalc, name); }
std::string EditCalcPath(std::string_view base, std::string_view name) { return ObjectPath(base, "Calc\\Edit", name); }
std::string StoredLibPath(std::string_view root, std::string_view name) { return ObjectPath(root, kLib, name); }
std::string EditLibPath(std::string_view root, std::string_view name) { return ObjectPath(root, "Lib\\Edit", name); }
std::string AppDir(std::string_view root, std::string_view app) { return Join(Join(root, kApps), app); }
std::string RecycleDir(std::string_view dir) { return Join(dir, kRecycle); }

bool IsStoreDirectoryName(std::string_view name) { return name == kEdit || name == kRecycle; }

bool NameHasNoWhiteSpace(std::string_view name) {
  for (char c : name)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') return false;
  return true;
}

}  // namespace kv::layout
