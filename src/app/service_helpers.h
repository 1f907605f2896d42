#pragma once
// The service manager's side of installation: what the Windows design asks of the service
// control manager, done with a systemd unit, the D-Bus policy and activation files and
// `systemctl`. Each operation returns an HRESULT and, on failure, a message text.
//
// Mapping: the service is installed when its unit file exists; "this executable" is the quoted
// path in the ImagePath of the services key of the registry store; creating the service writes
// the unit, policy and activation files (each atomically; on a failure those already written
// are removed) and enables the unit; stopping is `systemctl stop` and `is-active`; deleting is
// `systemctl disable` and removing the three files and the services key.
#include <functional>
#include <string>
#include <vector>

#include "com/hresult.h"

namespace kv::platform {
struct Env;
class SystemInfo;
}  // namespace kv::platform

namespace kv::app {

// Where the installation's files go. Each folder can be moved by an environment variable, so
// tests (and packagers) never write to the machine's own folders.
struct InstallPlaces {
  std::string unitDir = "/etc/systemd/system";                   // $KELVARIN_UNIT_DIR
  std::string policyDir = "/etc/dbus-1/system.d";                // $KELVARIN_DBUS_POLICY_DIR
  std::string activationDir = "/usr/share/dbus-1/system-services";  // $KELVARIN_DBUS_SERVICES_DIR
  std::string interfacesDir = "/usr/share/dbus-1/interfaces";    // $KELVARIN_INTERFACES_DIR

  static InstallPlaces FromEnvironment(platform::SystemInfo& system);
};

// Runs `systemctl ARGS...`: the exit status (>= 0) with its standard output in *output, or -1
// when it could not be run.
using SystemctlRunner = std::function<int(const std::vector<std::string>& args, std::string* output)>;
// The program named by $KELVARIN_SYSTEMCTL, else "systemctl" on PATH.
SystemctlRunner RealSystemctl(platform::SystemInfo& system);

// Writes a temporary file beside `path`, fsyncs it, renames it over `path` and fsyncs the
// folder, with mode 0644. 0 or an errno value; a failure leaves no temporary file behind.
int WriteFileAtomically(const std::string& path, const std::string& data);

// Makes the folders the service writes (under ProtectSystem=strict it cannot make them itself)
// and gives them, with everything in them, to `account` (empty: left to root).
void PrepareServiceFolders(const std::vector<std::string>& folders, const std::string& account);

// What Uninstall answers when the service did not stop within its wait: nothing is removed.
inline constexpr com::HRESULT kServiceNotStopped = static_cast<com::HRESULT>(0x8007041Du);

class ZrServiceHelpers {
 public:
  struct Options {
    InstallPlaces places;
    SystemctlRunner systemctl;
    std::function<void(int ms)> sleep;  // the stop wait's pauses; default: a real sleep
    // Replaces a file whole, readable by all (the bus daemon reads its files unprivileged): 0 or
    // an errno value. Default: WriteFileAtomically.
    std::function<int(const std::string& path, const std::string& data)> writeFile;
    // Written into the unit: see UnitSettings.
    std::string registryDir, programDataDir;
    std::vector<std::string> writablePaths;
  };
  ZrServiceHelpers(platform::Env& env, Options options);

  com::HRESULT Install(const std::string& name, const std::string& displayName, const std::string& description,
                       const std::string& account, const std::string& password, std::string* error);
  com::HRESULT InstallWithModuleName(const std::string& name, const std::string& displayName,
                                     const std::string& description, const std::string& account,
                                     const std::string& password, const std::string& quotedPath, std::string* error);
  com::HRESULT IsInstalled(const std::string& name, bool* installed, std::string* error);
  com::HRESULT IsThisMyServiceWithModuleName(const std::string& name, const std::string& quotedPath, bool* result,
                                             std::string* error);
  com::HRESULT SetDescription(const std::string& name, const std::string& description, std::string* error);
  com::HRESULT UpdateService(const std::string& name, const std::string& displayName, const std::string& description,
                             const std::string& account, const std::string& password, std::string* error);
  com::HRESULT UpdateServiceWithModuleName(const std::string& name, const std::string& displayName,
                                           const std::string& description, const std::string& account,
                                           const std::string& password, const std::string& quotedPath,
                                           std::string* error);
  com::HRESULT Uninstall(const std::string& name, std::string* error);
  com::HRESULT UninstallWithModuleName(const std::string& name, const std::string& quotedPath, std::string* error);

  // The running executable's full path in double quotes; false when it cannot be found.
  bool QuotedModulePath(std::string* quoted, std::string* error);

  // The system's text for an errno value.
  static std::string SystemErrorText(int linuxErrno);

 private:
  std::string UnitPath(const std::string& name) const;
  std::string PolicyPath() const;
  std::string ActivationPath() const;
  bool OpenManager(std::string* error);
  // Writes the unit, policy and activation files for `quotedPath` and `account`; on failure
  // none is left that was not there before. 0 or an errno value.
  int WriteServiceFiles(const std::string& name, const std::string& quotedPath, const std::string& account);
  int Systemctl(const std::vector<std::string>& args, std::string* output = nullptr);

  platform::Env& env_;
  Options options_;
};

}  // namespace kv::app
