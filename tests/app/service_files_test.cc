#include "app/service_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace kv::app {
namespace {

using ::testing::HasSubstr;

TEST(ServiceFiles, PathsAreQuotedForTheUnitFile) {
  struct Case {
    std::string path;
    std::string execStart;
  } cases[] = {
      {"/usr/bin/kelvarin", "ExecStart=\"/usr/bin/kelvarin\" --bus=system\n"},
      {"/opt/Morvane Calc/kelvarin", "ExecStart=\"/opt/Morvane Calc/kelvarin\" --bus=system\n"},
      // No specifier or variable is expanded from a path.
      {"/opt/100%/$HOME/kelvarin", "ExecStart=\"/opt/100%%/$$HOME/kelvarin\" --bus=system\n"},
      {"/opt/a\"b\\c/kelvarin", "ExecStart=\"/opt/a\\\"b\\\\c/kelvarin\" --bus=system\n"},
  };
  for (const Case& c : cases) {
    UnitSettings s;
    s.execPath = c.path;
    s.writablePaths = {"/var/lib/Quorlith/Morvane Calc"};
    const std::string unit = UnitFileText(s);
    EXPECT_THAT(unit, HasSubstr(c.execStart));
    EXPECT_THAT(unit, HasSubstr("ReadWritePaths=\"-/var/lib/Quorlith/Morvane Calc\"\n"));
  }
  UnitSettings broken;
  broken.execPath = "/opt/a\nExecStartPre=/bin/evil";
  EXPECT_EQ(UnitFileText(broken), "");
}

// Writes the unit Install writes for `account` (with `writable` folders) as `name` in `dir`, runs
// systemd-analyze `verb` on it from `dir`, and gives what it printed and its exit status.
std::string AnalyzeUnit(const testing::TempDir& dir, const std::string& name, const std::string& account,
                        std::vector<std::string> writable, const std::string& verb, std::string* path, int* status) {
  UnitSettings s;
  s.execPath = "/usr/bin/true";
  s.account = account;
  s.registryDir = "/etc/kelvarin";
  s.programDataDir = "/var/lib";
  s.writablePaths = std::move(writable);
  *path = dir / name;
  std::ofstream(*path) << UnitFileText(s);
  const std::string cmd = "cd '" + dir.path() + "' && /usr/bin/systemd-analyze " + verb + " '" + *path + "' 2>&1";
  std::string out;
  *status = -1;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    *status = pclose(p);
  }
  return out;
}

// systemd's own checker reads the unit as the service manager would.
TEST(ServiceFiles, SystemdAcceptsTheUnit) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  testing::TempDir dir;
  std::string path;
  int status = 0;
  const std::string out = AnalyzeUnit(dir, "CalculatorServerService.service", "calcsvc",
                                      {"/var/lib/Quorlith/Morvane Calc", "/etc/kelvarin"}, "verify --man=no", &path, &status);
  ASSERT_NE(status, -1);
  if (out.find("Failed to") != std::string::npos && out.find("bus") != std::string::npos && WEXITSTATUS(status) != 0 &&
      out.find(path) == std::string::npos)
    GTEST_SKIP() << "systemd-analyze cannot run here: " << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_THAT(out, ::testing::Not(HasSubstr(dir.path()))) << out;
}

// systemd's exposure rating of the unit as Install writes it: at most 4.0 ("OK").
TEST(ServiceFiles, TheUnitsExposureIsAtMostFour) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  testing::TempDir dir;
  std::string path;
  int status = 0;
  const std::string out = AnalyzeUnit(dir, "kelvarin-exposure.service", "nobody", {"/var/lib/kelvarin", "/etc/kelvarin"},
                                      "security --offline=true", &path, &status);
  ASSERT_NE(status, -1);
  const size_t at = out.find("Overall exposure level for ");
  if (at == std::string::npos) GTEST_SKIP() << "systemd-analyze cannot rate units here: " << out;
  const size_t colon = out.find(": ", at);
  ASSERT_NE(colon, std::string::npos) << out;
  EXPECT_LE(std::stod(out.substr(colon + 2)), 4.0) << out;
}

TEST(ServiceFiles, PolicyAndActivationNameTheAccount) {
  EXPECT_THAT(BusPolicyText(""), HasSubstr("<policy user=\"root\">"));
  EXPECT_THAT(BusPolicyText("calc&co"), HasSubstr("<policy user=\"calc&amp;co\">"));
  EXPECT_EQ(BusActivationText("calcsvc"),
            "[D-BUS Service]\nName=com.quorlith.Kelvarin\nExec=/bin/false\nUser=calcsvc\n"
            "SystemdService=CalculatorServerService.service\n");
}

}  // namespace
}  // namespace kv::app
