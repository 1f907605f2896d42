#include "transport/private_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv::transport {

namespace {

int Fail(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
  return -err;
}

int MakeParents(const std::string& path, std::string* error) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return 0;
  std::string dir = path.substr(0, slash);
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0750) == 0) {
      chmod(part.c_str(), 0750);  // the umask may have narrowed it
    } else if (errno != EEXIST) {
      return Fail(error, "cannot create " + part, errno);
    }
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return Fail(error, "cannot reach " + dir, errno);
  if (!S_ISDIR(st.st_mode)) return Fail(error, dir, ENOTDIR);
  return 0;
}

// True when something accepts connections on `addr`.
bool Answers(const sockaddr_un& addr) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return live;
}

}  // namespace

int ListenPrivateSocket(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return Fail(error, "socket path " + path, ENAMETOOLONG);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  int r = MakeParents(path, error);
  if (r < 0) return r;

  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return Fail(error, path + " exists and is not a socket", EEXIST);
    if (Answers(addr)) return Fail(error, "a server already listens on " + path, EADDRINUSE);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return Fail(error, "cannot remove stale " + path, errno);
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(error, "socket", errno);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    return Fail(error, "cannot bind " + path, err);
  }
  if (chmod(path.c_str(), 0660) != 0 || listen(fd, SOMAXCONN) != 0) {
    int err = errno;
    close(fd);
    unlink(path.c_str());
    return Fail(error, "cannot listen on " + path, err);
  }
  return fd;
}

int AcceptClient(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

}  // namespace kv::transport
