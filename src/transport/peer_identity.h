#pragma once
// Who is at the other end of a connection.
#include <sys/types.h>

#include <string>

namespace kv::transport {

// The effective uid of the process at the other end of a unix socket (SO_PEERCRED); false
// when the socket does not tell.
bool PeerUid(int fd, uid_t* uid);

// The login name of `uid` from the password database; empty when the account is unknown.
// Thread-safe.
std::string UserNameOf(uid_t uid);

}  // namespace kv::transport
