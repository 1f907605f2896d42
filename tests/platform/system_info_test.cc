#include "platform/system_info.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "support/scoped_var.h"
#include "support/temp_dir.h"

namespace kv::platform {
namespace {

namespace stdfs = std::filesystem;

using ScopedEnvVar = kv::testing::ScopedVar;

class SystemInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = scratch_.path(); }

  // CommonAppDataFolder as an ordinary account sees it: when the tests run as root, it is asked
  // in a child process that has dropped to "nobody".
  std::string AppDataFolderAsUser() {
    if (geteuid() != 0) return info_.CommonAppDataFolder();
    if (chmod(root_.c_str(), 0777) != 0) return "chmod failed";
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
      close(out[0]);
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
      const std::string folder = info_.CommonAppDataFolder();
      _exit(write(out[1], folder.data(), folder.size()) == static_cast<ssize_t>(folder.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string result;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) result.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      return "child failed";
    return result;
  }

  SystemInfo& info_ = RealSystemInfo();
  kv::testing::TempDir scratch_;
  std::string root_;
};

TEST_F(SystemInfoTest, GetEnv) {
  static const struct {
    const char* value;  // nullptr: unset
  } kCases[] = {{nullptr}, {""}, {"some value"}};
  for (const auto& c : kCases) {
    ScopedEnvVar var("KV_SYSINFO_TEST_VAR", c.value);
    std::optional<std::string> got = info_.GetEnv("KV_SYSINFO_TEST_VAR");
    if (c.value == nullptr) {
      EXPECT_FALSE(got.has_value());
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, c.value);
    }
  }
}

TEST_F(SystemInfoTest, CommonAppDataFolderHonoursOverrideAndCreatesIt) {
  const std::string folder = root_ + "/program data/nested";
  ScopedEnvVar var("KELVARIN_PROGRAMDATA", (folder + "/").c_str());
  EXPECT_EQ(info_.CommonAppDataFolder(), folder);
  EXPECT_TRUE(stdfs::is_directory(folder));
  EXPECT_EQ(info_.CommonAppDataFolder(), folder);  // already there
}

TEST_F(SystemInfoTest, CommonAppDataFolderFallsBackToUserData) {
  ScopedEnvVar noOverride("KELVARIN_PROGRAMDATA", nullptr);
  {
    ScopedEnvVar xdg("XDG_DATA_HOME", (root_ + "/xdg/").c_str());
    EXPECT_EQ(AppDataFolderAsUser(), root_ + "/xdg");
    EXPECT_TRUE(stdfs::is_directory(root_ + "/xdg"));
  }
  ScopedEnvVar home("HOME", (root_ + "/home").c_str());
  for (const char* xdgValue : {static_cast<const char*>(nullptr), "", "relative/xdg"}) {
    SCOPED_TRACE(xdgValue ? xdgValue : "(unset)");
    ScopedEnvVar xdg("XDG_DATA_HOME", xdgValue);
    EXPECT_EQ(AppDataFolderAsUser(), root_ + "/home/.local/share");
  }
  EXPECT_TRUE(stdfs::is_directory(root_ + "/home/.local/share"));
}

TEST_F(SystemInfoTest, CommonAppDataFolderOfRootIsVarLib) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ScopedEnvVar noOverride("KELVARIN_PROGRAMDATA", nullptr);
  ScopedEnvVar xdg("XDG_DATA_HOME", (root_ + "/xdg").c_str());
  EXPECT_EQ(info_.CommonAppDataFolder(), "/var/lib");
}

TEST_F(SystemInfoTest, CommonAppDataFolderEmptyWhenItCannotBeMade) {
  const std::string file = root_ + "/a file";
  std::ofstream(file) << "x";
  ScopedEnvVar var("KELVARIN_PROGRAMDATA", (file + "/below").c_str());
  EXPECT_EQ(info_.CommonAppDataFolder(), "");
}

TEST_F(SystemInfoTest, ModuleIsTheTestBinary) {
  const stdfs::path exe = stdfs::canonical("/proc/self/exe");
  EXPECT_EQ(info_.ModulePath(), exe.string());
  EXPECT_EQ(info_.ModuleFolder(), exe.parent_path().string());
}

// The account look-ups against the C library's own answers for this process's user.
TEST_F(SystemInfoTest, AccountsAndGroupsOfTheUserDatabase) {
  std::vector<char> buf(1 << 16);
  passwd me{};
  passwd* found = nullptr;
  ASSERT_EQ(getpwuid_r(getuid(), &me, buf.data(), buf.size(), &found), 0);
  ASSERT_NE(found, nullptr);
  const std::string myName = me.pw_name;
  EXPECT_EQ(info_.UserNameOfUid(getuid()), myName);
  if (geteuid() == getuid()) {
    EXPECT_EQ(info_.UserName(), myName);
  }
  EXPECT_EQ(info_.IsSuperUser(), geteuid() == 0);

  const std::vector<std::string> groups = info_.GroupNamesOfUid(getuid());
  EXPECT_EQ(info_.GroupNamesOfUser(myName), groups);
  std::vector<char> groupBuf(1 << 16);
  group primary{};
  group* primaryFound = nullptr;
  if (getgrgid_r(me.pw_gid, &primary, groupBuf.data(), groupBuf.size(), &primaryFound) == 0 && primaryFound) {
    EXPECT_NE(std::find(groups.begin(), groups.end(), std::string(primary.gr_name)), groups.end());
  }

  uid_t unknown = 0x7FFFFFF0;
  while (info_.UserNameOfUid(unknown)) --unknown;
  EXPECT_TRUE(info_.GroupNamesOfUid(unknown).empty());
  EXPECT_TRUE(info_.GroupNamesOfUser("").empty());
  EXPECT_TRUE(info_.GroupNamesOfUser("no such user, surely").empty());
}

TEST_F(SystemInfoTest, HomeFolderPrefersHomeOverTheUserDatabase) {
  {
    ScopedEnvVar home("HOME", "/somewhere/else");
    EXPECT_EQ(info_.HomeFolder(), "/somewhere/else");
  }
  std::vector<char> buf(1 << 16);
  passwd me{};
  passwd* found = nullptr;
  ASSERT_EQ(getpwuid_r(geteuid(), &me, buf.data(), buf.size(), &found), 0);
  ASSERT_NE(found, nullptr);
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    ScopedEnvVar home("HOME", value);
    EXPECT_EQ(info_.HomeFolder(), me.pw_dir);
  }
}

TEST_F(SystemInfoTest, IdentityIsNonEmptyAndShort) {
  EXPECT_FALSE(info_.UserName().empty());
  const std::string host = info_.ComputerName();
  EXPECT_FALSE(host.empty());
  EXPECT_EQ(host.find('.'), std::string::npos);
}

}  // namespace
}  // namespace kv::platform
