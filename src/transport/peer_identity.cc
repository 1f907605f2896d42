#include "transport/peer_identity.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kv::transport {

bool PeerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
  *uid = cred.uid;
  return true;
}

std::string UserNameOf(uid_t uid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    passwd pw{};
    passwd* found = nullptr;
    int r = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
    if (r == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return r == 0 && found && found->pw_name ? std::string(found->pw_name) : std::string();
  }
}

}  // namespace kv::transport
