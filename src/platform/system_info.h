#pragma once
// Known folders, identity and the process environment.
#include <optional>
#include <string>

namespace kv::platform {

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // Environment variable lookup; nullopt when it is not defined (an empty value is defined).
  virtual std::optional<std::string> GetEnv(const std::string& name) = 0;
  // The common application data folder: $KELVARIN_PROGRAMDATA, else /var/lib as root, else
  // $XDG_DATA_HOME (default ~/.local/share). Created when missing; empty when it cannot be had.
  virtual std::string CommonAppDataFolder() = 0;
  // The folder of the running executable, without a trailing separator.
  virtual std::string ModuleFolder() = 0;
  // Full path of the running executable.
  virtual std::string ModulePath() = 0;
  // The account the process runs under; empty when it cannot be found.
  virtual std::string UserName() = 0;
  virtual std::string ComputerName() = 0;
};

SystemInfo& RealSystemInfo();

}  // namespace kv::platform
