// kelvarin-service-files: writes the service's files for an installation under a prefix, the
// same texts `kelvarin Install` writes (used by the build's install step, not installed).
//   kelvarin-service-files ROOT PREFIX [ACCOUNT DATA_DIR REGISTRY_DIR]
// ROOT is where files go (DESTDIR + PREFIX); PREFIX is where the programs will run from.
// A distribution package names the account the service runs as, its data folder
// ($KELVARIN_PROGRAMDATA: store and logs, writable as a whole) and its registry folder; without
// them the unit runs as root with the data under /var/lib/Quorlith.
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/service_files.h"
#include "app/service_helpers.h"
#include "app/service_names.h"

int main(int argc, char** argv) {
  using namespace kv::app;
  if (argc != 3 && argc != 6) {
    std::fprintf(stderr, "usage: kelvarin-service-files ROOT PREFIX [ACCOUNT DATA_DIR REGISTRY_DIR]\n");
    return 2;
  }
  const std::string root = argv[1], prefix = argv[2];
  UnitSettings unit;
  unit.execPath = prefix + "/bin/kelvarin";
  // Both registry hives in the machine's folder: under ProtectSystem=strict a home is read-only.
  unit.registryDir = "/etc/kelvarin";
  unit.programDataDir = "/var/lib";
  unit.writablePaths = {"/var/lib/Quorlith", "/etc/kelvarin"};
  if (argc == 6) {
    unit.account = argv[3];
    unit.programDataDir = argv[4];
    unit.registryDir = argv[5];
    unit.writablePaths = {unit.programDataDir, unit.registryDir};
  }
  const std::pair<std::string, std::string> files[] = {
      {root + "/lib/systemd/system/" + kUnitFileName, UnitFileText(unit)},
      {root + "/share/dbus-1/system.d/" + kBusPolicyFileName, BusPolicyText(unit.account)},
      {root + "/share/dbus-1/system-services/" + kBusActivationFileName, BusActivationText(unit.account)},
      {root + "/share/dbus-1/interfaces/" + kInterfacesFileName, InterfacesXmlText()},
  };
  for (const auto& [path, text] : files) {
    if (text.empty()) {
      std::fprintf(stderr, "kelvarin-service-files: a setting cannot be written into %s\n", path.c_str());
      return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (int err = WriteFileAtomically(path, text); err != 0) {
      std::fprintf(stderr, "kelvarin-service-files: cannot write %s: %s\n", path.c_str(),
                   ZrServiceHelpers::SystemErrorText(err).c_str());
      return 1;
    }
    std::printf("-- Installing: %s\n", path.c_str());
  }
  return 0;
}
