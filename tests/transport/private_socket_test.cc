#include "transport/private_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>

#include "support/test_env.h"

namespace kv::transport {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(PrivateSocket, MakesItsDirectoriesAndSetsModes) {
  testing::TempDir dir;
  std::string path = dir / "run/kelvarin/bus";
  std::string error;
  int fd = ListenPrivateSocket(path, &error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(ModeOf(dir / "run"), 0700u);
  EXPECT_EQ(ModeOf(dir / "run/kelvarin"), 0700u);
  EXPECT_EQ(ModeOf(path), 0660u);
  EXPECT_EQ(ModeOf(dir.path()), 0700u) << "an existing directory is left alone";

  // A second server on the same path is refused while the first listens...
  EXPECT_EQ(ListenPrivateSocket(path, &error), -EADDRINUSE);
  EXPECT_NE(error.find(path), std::string::npos);
  // ...and takes over the socket file once the first is gone.
  close(fd);
  fd = ListenPrivateSocket(path, &error);
  EXPECT_GE(fd, 0) << error;
  close(fd);
}

TEST(PrivateSocket, RefusesPathsItCannotUse) {
  testing::TempDir dir;
  std::ofstream(dir / "file") << "x";
  struct Case {
    std::string path;
    int err;
  };
  const Case cases[] = {
      {dir / "file", -EEXIST},          // not a socket: never removed
      {dir / "file/bus", -ENOTDIR},     // parent is a file
      {dir / std::string(sizeof(sockaddr_un::sun_path), 'x'), -ENAMETOOLONG},
      {"", -ENAMETOOLONG},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(ListenPrivateSocket(c.path, &error), c.err) << c.path;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(AcceptClient(-1), -EBADF);
}

// Another user who owns or may write in the socket's directory can swap the socket and receive
// the clients' connections, with the user names and passwords they send.
TEST(PrivateSocket, RefusesADirectoryOthersControl) {
  testing::TempDir dir;
  std::string other = dir / "other", open = dir / "open", real = dir / "real", link = dir / "link";
  struct Case {
    const char* what;
    std::string socketDir;
    std::function<std::string()> prepare;  // a reason to skip the case, or empty
    int err;
    const char* why;  // in the error text
  };
  const Case cases[] = {
      {"owned by another uid", other,
       [&]() -> std::string {
         if (geteuid() != 0) return "needs root to give a directory to another uid";
         if (mkdir(other.c_str(), 0700) != 0 || chown(other.c_str(), 65534, 65534) != 0) return "cannot chown to 65534";
         return "";
       },
       -EPERM, "belongs to uid 65534"},
      {"mode 0777", open,
       [&] {
         mkdir(open.c_str(), 0700);
         chmod(open.c_str(), 0777);
         return std::string();
       },
       -EPERM, "0777"},
      {"group-writable", open + "g",
       [&] {
         mkdir((open + "g").c_str(), 0700);
         chmod((open + "g").c_str(), 0770);
         return std::string();
       },
       -EPERM, "0770"},
      {"a symlink to a directory of ours", link,
       [&] {
         mkdir(real.c_str(), 0700);
         return symlink(real.c_str(), link.c_str()) == 0 ? std::string() : "cannot make a symlink";
       },
       -ELOOP, "symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string skip = c.prepare(); !skip.empty()) {
      std::printf("[  SKIPPED ] case \"%s\": %s\n", c.what, skip.c_str());
      continue;
    }
    std::string error;
    EXPECT_EQ(ListenPrivateSocket(c.socketDir + "/bus", &error), c.err);
    EXPECT_NE(error.find(c.socketDir), std::string::npos) << error;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    struct stat st {};
    EXPECT_NE(lstat((c.socketDir + "/bus").c_str(), &st), 0) << "nothing is bound in a refused directory";
  }
  struct stat st {};
  EXPECT_NE(lstat((real + "/bus").c_str(), &st), 0) << "the symlink's target got no socket";
}

// Whoever may rename a directory above the socket's can move the whole private directory aside
// and put their own in its place, so every ancestor is checked as a service would: owned by
// root or the server's user, and not writable by group or others unless sticky.
TEST(PrivateSocket, RefusesAnAncestorOthersControl) {
  struct Case {
    const char* what;
    // Prepares `top` (not existing yet) as the directory above the socket's; a reason to skip
    // the case, or empty.
    std::function<std::string(const std::string& top, const std::string& scratch)> prepare;
    const char* why;  // in the error text; null when the socket directory is accepted
  };
  auto mode = [](mode_t m) {
    return [m](const std::string& top, const std::string&) {
      mkdir(top.c_str(), 0700);
      chmod(top.c_str(), m);
      return std::string();
    };
  };
  auto link = [](mode_t targetMode, uid_t owner) {
    return [=](const std::string& top, const std::string& scratch) -> std::string {
      if (owner != geteuid() && geteuid() != 0) return "needs root to give a symlink to another uid";
      std::string target = scratch + "/target";
      mkdir(target.c_str(), 0700);
      chmod(target.c_str(), targetMode);
      if (symlink(target.c_str(), top.c_str()) != 0) return "cannot make a symlink";
      if (lchown(top.c_str(), owner, owner) != 0) return "cannot lchown";
      return "";
    };
  };
  const Case cases[] = {
      {"mode 0777", mode(0777), "0777"},
      {"mode 0775", mode(0775), "0775"},
      {"sticky 1777, like /tmp", mode(01777), nullptr},
      {"mode 0755", mode(0755), nullptr},
      {"owned by another uid",
       [](const std::string& top, const std::string&) -> std::string {
         if (geteuid() != 0) return "needs root to give a directory to another uid";
         mkdir(top.c_str(), 0755);
         return chown(top.c_str(), 65534, 65534) == 0 ? "" : "cannot chown to 65534";
       },
       "belongs to uid 65534"},
      {"a symlink another uid owns", link(0700, 65534), "symbolic link owned by uid 65534"},
      {"our symlink to a directory anyone may write", link(0777, geteuid()), "0777"},
      {"our symlink to a private directory", link(0700, geteuid()), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const std::string top = dir / "top";
    if (std::string skip = c.prepare(top, dir.path()); !skip.empty()) {
      std::printf("[  SKIPPED ] case \"%s\": %s\n", c.what, skip.c_str());
      continue;
    }
    // The socket directory itself is ours and private, so only the ancestor can be at fault.
    const std::string socketDir = top + "/kelvarin";
    std::string error;
    const int fd = ListenPrivateSocket(socketDir + "/bus", &error);
    if (!c.why) {
      EXPECT_GE(fd, 0) << error;
      if (fd >= 0) close(fd);
      continue;
    }
    EXPECT_EQ(fd, -EPERM);
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    EXPECT_NE(error.find(socketDir), std::string::npos) << error;
    struct stat st {};
    EXPECT_NE(lstat((socketDir + "/bus").c_str(), &st), 0) << "nothing is bound below a refused ancestor";
  }
}

TEST(PrivateSocket, FreshDirectoryIsPrivateAndServes) {
  testing::TempDir dir;
  std::string path = dir / "fresh/bus";
  mode_t old = umask(0);  // a permissive umask must not widen it
  std::string error;
  int fd = ListenPrivateSocket(path, &error);
  umask(old);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(ModeOf(dir / "fresh"), 0700u);

  int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int accepted = AcceptClient(fd);
  EXPECT_GE(accepted, 0);
  close(accepted);
  close(client);
  close(fd);

  // A directory it made before (0700, ours) is served again.
  fd = ListenPrivateSocket(path, &error);
  EXPECT_GE(fd, 0) << error;
  close(fd);
}

}  // namespace
}  // namespace kv::transport
