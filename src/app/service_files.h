#pragma once
// The texts of the files that make the server a system service: the systemd unit, the D-Bus
// system-bus policy, the D-Bus activation file and the introspection XML of both command
// interfaces. Pure functions, so the installer and the build's install step write the same.
#include <string>
#include <vector>

namespace kv::app {

struct UnitSettings {
  std::string execPath;     // the executable, unquoted
  std::string account;      // User=; empty: root
  std::string registryDir;  // handed to the service as $KELVARIN_REGISTRY_DIR; empty: none
  std::string programDataDir;  // handed to the service as $KELVARIN_PROGRAMDATA; empty: none
  // Folders the service writes (store, registry, log); the rest of the system is read-only.
  std::vector<std::string> writablePaths;
  int watchdogSec = 30;
};

// Empty when a setting cannot be put into a unit file (a line break in a path).
std::string UnitFileText(const UnitSettings& s);
// Only `account` (empty: root) may own the bus name; anyone may call it.
std::string BusPolicyText(const std::string& account);
// Bus activation through systemd.
std::string BusActivationText(const std::string& account);
// The introspection document of com.quorlith.Kelvarin.ICalcCommands and .ICalcAppCommands.
std::string InterfacesXmlText();

}  // namespace kv::app
