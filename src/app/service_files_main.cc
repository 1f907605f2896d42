// kelvarin-service-files: writes the service's files for an installation under a prefix, the
// same texts `kelvarin Install` writes (used by the build's install step, not installed).
//   kelvarin-service-files ROOT PREFIX
// ROOT is where files go (DESTDIR + PREFIX); PREFIX is where the programs will run from.
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/service_files.h"
#include "app/service_helpers.h"
#include "app/service_names.h"

int main(int argc, char** argv) {
  using namespace kv::app;
  if (argc != 3) {
    std::fprintf(stderr, "usage: kelvarin-service-files ROOT PREFIX\n");
    return 2;
  }
  const std::string root = argv[1], prefix = argv[2];
  UnitSettings unit;
  unit.execPath = prefix + "/bin/kelvarin";
  // Both registry hives in the machine's folder: under ProtectSystem=strict a home is read-only.
  unit.registryDir = "/etc/kelvarin";
  unit.programDataDir = "/var/lib";
  unit.writablePaths = {"/var/lib/Quorlith", "/etc/kelvarin"};
  const std::pair<std::string, std::string> files[] = {
      {root + "/lib/systemd/system/" + kUnitFileName, UnitFileText(unit)},
      {root + "/share/dbus-1/system.d/" + kBusPolicyFileName, BusPolicyText("")},
      {root + "/share/dbus-1/system-services/" + kBusActivationFileName, BusActivationText("")},
      {root + "/share/dbus-1/interfaces/" + kInterfacesFileName, InterfacesXmlText()},
  };
  for (const auto& [path, text] : files) {
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
