#pragma once
// The private listening socket of the peer-to-peer transport. Access is the socket file's mode
// (0660 in a 0700 directory, so only the server's user reaches it; a directory of that user made
// 0750 beforehand lets its group in) plus the caller's credentials checked per call.
#include <string>

namespace kv::transport {

// Creates missing directories of the parent path (0700 each; existing ancestors are left alone).
// Refuses the socket's own directory when it is a symlink (-ELOOP), or is owned by another user
// or writable by group or others (-EPERM): whoever controls it could swap the socket. Refuses
// (-EPERM) as well when a directory above it, as written or as resolved, belongs to a uid other
// than root and the server's, is a symlink such a uid owns, or is writable by group or others
// without the sticky bit: whoever may rename there could replace the whole directory. Refuses
// (-EADDRINUSE) when a server already answers on `path`, removes a stale socket file,
// binds, sets the socket file to 0660 and listens. Returns the listening descriptor
// (non-blocking, close-on-exec) or a negative errno, with `error` (optional) describing the
// failing step. Paths longer than a unix socket address allows fail with -ENAMETOOLONG.
int ListenPrivateSocket(const std::string& path, std::string* error);

// Accepts one waiting client (non-blocking, close-on-exec): its descriptor, or a negative
// errno (-EAGAIN when nobody is waiting).
int AcceptClient(int listenFd);

}  // namespace kv::transport
