#include "transport/private_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kv::transport {

namespace {

int Fail(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
  return -err;
}

// A refusal whose reason is the message itself, not an errno text.
int Refuse(std::string* error, const std::string& dir, const std::string& why, int err) {
  if (error) *error = "refusing the socket directory " + dir + ": " + why;
  return -err;
}

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// Creates the missing ancestors of `dir` (0700: they only lead to the socket).
int MakeAncestors(const std::string& dir, std::string* error) {
  for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Fail(error, "cannot create " + part, errno);
  }
  return 0;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Why `path`, one of the directories above the socket's own, lets someone other than root or the
// server's user rename or replace what lies below it; empty when it does not.
std::string UnsafeAncestor(const std::string& path, uid_t self) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "cannot be examined (" + std::string(std::strerror(errno)) + ")";
  if (S_ISLNK(st.st_mode)) {
    if (st.st_uid != 0 && st.st_uid != self)
      return "is a symbolic link owned by uid " + std::to_string(st.st_uid) + ", who could point it elsewhere";
    if (stat(path.c_str(), &st) != 0) return "cannot be followed (" + std::string(std::strerror(errno)) + ")";
  }
  if (st.st_uid != 0 && st.st_uid != self)
    return "belongs to uid " + std::to_string(st.st_uid) + ", who could replace what lies below it";
  // A sticky directory (like /tmp) lets nobody rename entries they do not own.
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
    return "has mode " + Octal(st.st_mode) + ": group or others may write in it without the sticky bit and replace what lies below it";
  return "";
}

// Every directory above `dir`, as written and as resolved (a symlink on the way leads elsewhere),
// must be owned by root or the server's user and not writable by others without the sticky bit.
int CheckAncestors(const std::string& dir, std::string* error) {
  const uid_t self = geteuid();
  std::vector<std::string> chains{ParentOf(dir)};
  if (char* resolved = realpath(chains[0].c_str(), nullptr)) {
    if (chains[0] != resolved) chains.emplace_back(resolved);
    std::free(resolved);
  }
  for (const std::string& chain : chains) {
    std::vector<std::string> paths;
    for (size_t pos = chain.find('/', 1); pos != std::string::npos; pos = chain.find('/', pos + 1))
      paths.push_back(chain.substr(0, pos));
    paths.push_back(chain);
    if (chain[0] == '/') paths.insert(paths.begin(), "/");
    for (const std::string& p : paths) {
      if (std::string why = UnsafeAncestor(p, self); !why.empty())
        return Refuse(error, dir, "the directory " + p + " above it " + why, EPERM);
    }
  }
  return 0;
}

// Creates `dir` (0700) unless it exists, and opens it without following a symlink. Whoever else
// can write to it, or owns it, can swap the socket and take the clients' connections (and the
// credentials they send), so such a directory is refused. Returns the directory's descriptor.
int OpenSocketDirectory(const std::string& dir, std::string* error) {
  int r = MakeAncestors(dir, error);
  if (r < 0) return r;
  r = CheckAncestors(dir, error);
  if (r < 0) return r;
  bool created = mkdir(dir.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) return Fail(error, "cannot create " + dir, errno);

  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    struct stat lst;
    if (err == ELOOP || (lstat(dir.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)))
      return Refuse(error, dir, "it is a symbolic link", ELOOP);
    return Fail(error, "cannot open " + dir, err);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return Fail(error, "cannot reach " + dir, err);
  }
  if (created && (st.st_mode & 07777) != 0700 && fchmod(fd, 0700) == 0) st.st_mode = (st.st_mode & ~07777) | 0700;
  const uid_t self = geteuid();
  std::string why;
  if (st.st_uid != self) {
    why = "it belongs to uid " + std::to_string(st.st_uid) + ", not to the server's user (uid " +
          std::to_string(self) + "); its owner could replace the socket";
  } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    why = "its mode " + Octal(st.st_mode) + " lets group or others write in it and replace the socket";
  }
  if (!why.empty()) {
    close(fd);
    return Refuse(error, dir, why + " (remove it, or make it the server user's with mode 0700)", EPERM);
  }
  return fd;
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

  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return Fail(error, "socket path " + path, EISDIR);

  int dirFd = OpenSocketDirectory(dir, error);
  if (dirFd < 0) return dirFd;
  // The checked directory's descriptor, not its path, reaches the socket file where it can.
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } dirCloser{dirFd};

  struct stat st;
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(st.st_mode)) return Fail(error, path + " exists and is not a socket", EEXIST);
    if (Answers(addr)) return Fail(error, "a server already listens on " + path, EADDRINUSE);
    if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
      return Fail(error, "cannot remove stale " + path, errno);
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(error, "socket", errno);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    return Fail(error, "cannot bind " + path, err);
  }
  if (fchmodat(dirFd, name.c_str(), 0660, 0) != 0 || listen(fd, SOMAXCONN) != 0) {
    int err = errno;
    close(fd);
    unlinkat(dirFd, name.c_str(), 0);
    return Fail(error, "cannot listen on " + path, err);
  }
  return fd;
}

int AcceptClient(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

}  // namespace kv::transport
