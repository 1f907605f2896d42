#pragma once
// The private listening socket of the peer-to-peer transport. Access is the socket file's mode
// (0660 in a 0750 directory) plus the caller's credentials checked per call.
#include <string>

namespace kv::transport {

// Creates missing directories of the parent path (0750 each; existing ones are left alone),
// refuses (-EADDRINUSE) when a server already answers on `path`, removes a stale socket file,
// binds, sets the socket file to 0660 and listens. Returns the listening descriptor
// (non-blocking, close-on-exec) or a negative errno, with `error` (optional) describing the
// failing step. Paths longer than a unix socket address allows fail with -ENAMETOOLONG.
int ListenPrivateSocket(const std::string& path, std::string* error);

// Accepts one waiting client (non-blocking, close-on-exec): its descriptor, or a negative
// errno (-EAGAIN when nobody is waiting).
int AcceptClient(int listenFd);

}  // namespace kv::transport
