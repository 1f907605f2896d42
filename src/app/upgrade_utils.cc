#include "app/upgrade_utils.h"

#include <strings.h>

#include <cstdio>

#include "log/debug_log.h"
#include "platform/env.h"

namespace kv::app {

namespace {

struct Move {
  const char* subfolder;  // as the old installation names it
  const char* storeName;  // the folder's name in this store (the file system is case-sensitive)
  const char* pattern;
};
constexpr Move kMoves[] = {
    {"lib", "Lib", "*.zrc"},
    {"calc", "Calc", "*"},
    {"bin", "bin", "*.zrc"},
    {"Apps\\OnDemand\\Calc", "Apps\\OnDemand\\Calc", "*.zrc"},
};

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool Skipped(const std::string& name) {
  if (name == "." || name == ".." || SameNoCase(name, "Edit") || SameNoCase(name, "Recycle")) return true;
  return name.size() >= 4 && SameNoCase(std::string_view(name).substr(name.size() - 4), ".dtx");
}

// The old folder was written on a file system that ignores case: each level of `sub` under
// `root` is taken in whatever case it exists, as it stands when it does not.
std::string ResolveSource(platform::FileSystem& fs, std::string root, std::string_view sub) {
  size_t at = 0;
  while (at <= sub.size()) {
    size_t end = sub.find('\\', at);
    if (end == std::string_view::npos) end = sub.size();
    const std::string level(sub.substr(at, end - at));
    std::string found = level;
    for (const platform::FindEntry& e : fs.Find(root + "*"))
      if (e.isDirectory && e.name != level && SameNoCase(e.name, level)) found = e.name;
    // The exact spelling wins when both exist.
    if (fs.IsDirectory(root + level)) found = level;
    root += found + "\\";
    at = end + 1;
  }
  return root;
}

const char* StoreName(std::string_view subfolder) {
  for (const Move& m : kMoves)
    if (subfolder == m.subfolder) return m.storeName;
  return nullptr;
}

}  // namespace

ZrUpgradeUtils::ZrUpgradeUtils(platform::Env& env, std::string basePath, LogWriter log)
    : env_(env), basePath_(std::move(basePath)), log_(std::move(log)) {
  if (!log_) log_ = [](std::string_view m, std::string_view d) { g_DebugLog.Write(m, d); };
}

void ZrUpgradeUtils::MoveAfterUpgrade() {
  try {
    platform::RegistryStore& reg = *env_.registry;
    if (reg.KeyExists(platform::RegHive::CurrentUser, kUpgradedKey)) return;
    if (!env_.system->GetEnv("MORVANE_CALC_BASE"))
      for (const Move& m : kMoves) MoveFilesAfterUpgrade(m.subfolder, m.pattern);
    if (reg.CreateKey(platform::RegHive::CurrentUser, kUpgradedKey) != platform::kRegOk)
      log_("ZrUpgradeUtils::MoveAfterUpgrade: Failed to create upgrade key in registry.", "E_FAIL");
  } catch (...) {
  }
}

void ZrUpgradeUtils::MoveFilesAfterUpgrade(std::string_view subfolder, std::string_view pattern) {
  platform::RegistryStore& reg = *env_.registry;
  platform::FileSystem& fs = *env_.fs;
  // The registry store tells a missing key from nothing else, so every failure here is the
  // silent "not found" case.
  platform::RegValue root;
  if (reg.GetValue(platform::RegHive::LocalMachine, kDestinationsKey, kCalcRootValue, &root) != platform::kRegOk)
    return;
  if ((root.type != platform::REG_SZ && root.type != platform::REG_EXPAND_SZ) || root.text.size() + 1 > 260) return;

  // CALCROOT carries its own trailing separator: nothing is put between it and the subfolder.
  const std::string source = ResolveSource(fs, root.text, subfolder);
  const char* storeName = StoreName(subfolder);
  const std::string target = basePath_ + "\\" + (storeName ? storeName : std::string(subfolder)) + "\\";

  bool targetMade = false;
  for (const platform::FindEntry& e : fs.Find(source + std::string(pattern))) {
    if (Skipped(e.name)) continue;
    // A store without the folder yet (the application store, say) gets it, rather than
    // failing every move into it.
    if (!targetMade) {
      platform::CreateDirectories(fs, target);
      targetMade = true;
    }
    const std::string from = source + e.name, to = target + e.name;
    if (fs.Rename(from, to) != platform::crt::kOk) {
      log_("ZrUpgradeUtils::MoveFilesAfterUpgrade", "E_FAIL");
      char line[2048];
      std::snprintf(line, sizeof line, "Failed to move files from %s to %s.", from.c_str(), to.c_str());
      log_(line, "E_FAIL");
    }
  }
}

}  // namespace kv::app
