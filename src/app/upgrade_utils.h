#pragma once
// The one-time move of stored objects left by an older installation into the current store.
// Once per account (the marker key in HKCU), at start-up, after the root base directory is known
// and before the schedule and units are loaded, so those loads find the moved files.
#include <functional>
#include <string>
#include <string_view>

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::app {

// HKCU; its existence alone says this account was handled.
inline constexpr char kUpgradedKey[] = "SOFTWARE\\Quorlith\\Morvane Calc\\Upgraded";
// HKLM; "CALCROOT" names the old installation's folder.
inline constexpr char kDestinationsKey[] = "SOFTWARE\\Quorlith\\Setup\\Products\\Morvane_Calc\\Destinations";
inline constexpr char kCalcRootValue[] = "CALCROOT";

class ZrUpgradeUtils {
 public:
  // One log line: message and detail, as DebugLog::Write takes them.
  using LogWriter = std::function<void(std::string_view message, std::string_view detail)>;

  // `basePath` is the root base directory; `log` defaults to g_DebugLog.
  ZrUpgradeUtils(platform::Env& env, std::string basePath, LogWriter log = {});
  virtual ~ZrUpgradeUtils() = default;

  // Moves the old installation's objects unless the marker exists or $MORVANE_CALC_BASE is
  // defined, then writes the marker (also when a move failed: a move is never retried). Never
  // throws.
  void MoveAfterUpgrade();
  // One move: the entries of CALCROOT<subfolder>\ matching `pattern` (but "Edit", "Recycle"
  // and "*.dtx") renamed into <base>\<subfolder>\, never over an existing entry.
  void MoveFilesAfterUpgrade(std::string_view subfolder, std::string_view pattern);

 private:
  platform::Env& env_;
  std::string basePath_;
  LogWriter log_;
};

}  // namespace kv::app
