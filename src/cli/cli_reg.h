#pragma once
// kelvarin-cli reg: reads and changes the registry store the server reads its settings from
// (logging categories, the store's root, the authorization policy), with the same files and the
// same file locking, so it is safe while the server runs. Needs no server.
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/registry_store.h"

namespace kv::cli {

// The words after "reg": get|set|delete|list KEY [NAME] [VALUE] [--type string|dword|expand|binary].
// KEY starts with its root, HKLM\ or HKCU\ (or HKEY_LOCAL_MACHINE\, HKEY_CURRENT_USER\). An
// empty NAME is the key's default value. Returns kExitOk, kExitFailure when the key or value is
// missing or cannot be written, kExitUsage for bad words.
int RunReg(const std::vector<std::string>& args, platform::RegistryStore& store, std::ostream& out, std::ostream& err);

std::string RegHelp();

}  // namespace kv::cli
