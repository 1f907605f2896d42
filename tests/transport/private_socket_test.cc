#include "transport/private_socket.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

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
  EXPECT_EQ(ModeOf(dir / "run"), 0750u);
  EXPECT_EQ(ModeOf(dir / "run/kelvarin"), 0750u);
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

}  // namespace
}  // namespace kv::transport
