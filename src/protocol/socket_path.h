#pragma once
// Where the server listens by default and the client looks first. Both sides take it from here
// so that a server started without --socket is reachable by a client started without --address.
#include <sys/types.h>

#include <string>

namespace kv::protocol {

// $KELVARIN_SOCKET, else $XDG_RUNTIME_DIR/kelvarin/bus, else /run/kelvarin/bus for root, else
// /tmp/kelvarin-<uid>/bus (a user without a runtime directory cannot create /run/kelvarin).
// Empty variables count as unset.
std::string DefaultSocketPath();
// The same for the effective user `euid`.
std::string DefaultSocketPath(uid_t euid);

}  // namespace kv::protocol
