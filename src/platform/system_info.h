#pragma once
// Known folders, identity, the account databases and the process environment.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

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
  // The home folder of the account the process runs under: $HOME when set and not empty, else
  // the account's entry in the user database; empty when neither gives one.
  virtual std::string HomeFolder() = 0;
  // True when the process runs as root.
  virtual bool IsSuperUser() = 0;

  // The user database's name for `uid`; nullopt when the uid has no account.
  virtual std::optional<std::string> UserNameOfUid(uid_t uid) = 0;
  // Group names from the group database of the account of `uid` / named `user`: its primary
  // group and the groups that list it. Empty when the account is unknown; groups without a name
  // are left out.
  virtual std::vector<std::string> GroupNamesOfUid(uid_t uid) = 0;
  virtual std::vector<std::string> GroupNamesOfUser(const std::string& user) = 0;

  // Name resolution for IPv4 stream sockets over TCP (getaddrinfo with AI_CANONNAME): the
  // canonical, fully qualified name of `host` and its addresses in dotted form, in the
  // resolver's order without repeats. False, with both left empty, when it does not resolve.
  // The default asks the system's resolver, which may wait on the network.
  virtual bool ResolveIPv4(const std::string& host, std::string* canonical, std::vector<std::string>* addresses);
};

SystemInfo& RealSystemInfo();

}  // namespace kv::platform
