// The server as systemd runs it (a notify socket of the test's own, watchdog timing), its
// installation switches run as a user would, and the bus policy against a private system bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/server_host.h"
#include "app/service_files.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "e2e/server_process.h"
#include "support/temp_dir.h"
#include "support/unix_socket.h"

extern char** environ;

namespace kv {
namespace {

namespace fs = std::filesystem;
using client::Connection;
using client::RemoteObject;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// An AF_UNIX datagram socket standing in for systemd's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path - 1));
    bound_ = fd_ >= 0 && path.size() < sizeof addr.sun_path &&
             bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }
  // The next message, or "" when none comes within `ms`.
  std::string Next(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // Messages until one contains `what` (included), or until `ms` passed.
  std::vector<std::string> Until(const std::string& what, int ms) {
    std::vector<std::string> seen;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      std::string m = Next(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()));
      if (m.empty()) continue;
      seen.push_back(m);
      if (m.find(what) != std::string::npos) break;
    }
    return seen;
  }
  // How many messages equal `what` within `ms`.
  int Count(const std::string& what, int ms) {
    int n = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (auto now = Clock::now(); now < end; now = Clock::now())
      if (Next(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count())) == what) ++n;
    return n;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

bool Contains(const std::vector<std::string>& notes, const std::string& what) {
  for (const auto& n : notes)
    if (n.find(what) != std::string::npos) return true;
  return false;
}

TEST(ServiceE2E, ReadyWhenServingStoppingOnSigtermAndTheScheduleSavedBeforeExit) {
  testing::ServerProcess server;
  NotifySocket notify(server.DataDir() + ".notify");
  ASSERT_TRUE(notify.bound());
  ASSERT_TRUE(server.Launch({{"NOTIFY_SOCKET", notify.path()}}));
  std::vector<std::string> notes = notify.Until("READY=1", 60000);
  ASSERT_TRUE(Contains(notes, "READY=1")) << server.Output();
  EXPECT_EQ(notes.front(), "STATUS=starting");

  // Whoever acts on READY=1 can create objects at once: the store is set up by then.
  std::shared_ptr<Connection> conn;
  ASSERT_TRUE(Connection::Open(server.Address(), &conn).ok());
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(conn->CreateInstance("Kelvarin.CalcCommands", &obj).ok());
  client::CallResult r;
  ASSERT_TRUE(obj->Call("CalcCommandVersion", {}, &r).ok());
  conn.reset();
  obj.reset();

  const std::string schedule = server.Store() + "/bin/Schedules.zrc";
  ASSERT_TRUE(fs::exists(schedule));
  fs::remove(schedule);
  server.Stop();  // SIGTERM
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0) << server.ExitStatus();
  notes = notify.Until("STATUS=stopped", 5000);
  EXPECT_THAT(notes, ::testing::ElementsAre("STOPPING=1\nSTATUS=stopping", "STATUS=stopped"));
  EXPECT_TRUE(fs::exists(schedule)) << "the schedule is saved on the way out";
}

TEST(ServiceE2E, WatchdogPingsAtHalfThePeriodAndStopsWhenAnApartmentIsWedged) {
  struct Case {
    const char* wedge;
    int least, most;  // WATCHDOG=1 messages in 2 s, once the first period is over
  } cases[] = {{"", 6, 14}, {"3", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wedge);
    testing::ServerProcess server;
    NotifySocket notify(server.DataDir() + ".notify");
    ASSERT_TRUE(notify.bound());
    ASSERT_TRUE(server.Launch({{"NOTIFY_SOCKET", notify.path()},
                               {"WATCHDOG_USEC", "400000"},
                               {app::kWedgeApartmentVar, c.wedge}}));
    ASSERT_TRUE(Contains(notify.Until("READY=1", 60000), "READY=1")) << server.Output();
    notify.Count("WATCHDOG=1", 600);  // pings still owed from before the wedge
    const int pings = notify.Count("WATCHDOG=1", 2000);
    EXPECT_GE(pings, c.least);
    EXPECT_LE(pings, c.most);
  }
}

TEST(ServiceE2E, StartedByHandItSaysServiceStartedOnStdoutAndRunsWithUnknownArguments) {
  testing::ServerProcess server({"--frobnicate"});
  ASSERT_TRUE(server.Start());
  EXPECT_THAT(server.Output(), HasSubstr("kelvarin: ignoring unknown argument '--frobnicate'\n"));
  EXPECT_THAT(server.Output(), HasSubstr("Service started\n"));
  server.Stop();
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0) << server.ExitStatus();
}

struct Ran {
  int status = -1;
  std::string output;
};

// Runs `args` with `env` added to the test's environment, stdout and stderr together.
Ran RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
        const std::string& outFile) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  vars.erase("NOTIFY_SOCKET");
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStrings, words = args;
  for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  Ran ran;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream in(outFile);
  ran.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return ran;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

constexpr char kSetpriv[] = "/usr/bin/setpriv";

class InstallSwitches : public ::testing::Test {
 protected:
  InstallSwitches() {
    for (const char* d : {"units", "policy", "activation", "interfaces", "reg", "data"})
      fs::create_directories(dir_ / d);
    std::ofstream(dir_ / "systemctl") << "#!/bin/sh\necho \"$*\" >> '" << (dir_ / "systemctl.log")
                                      << "'\n[ \"$1\" = is-active ] && { echo inactive; exit 3; }\nexit 0\n";
    fs::permissions(dir_ / "systemctl", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                             fs::perms::others_read | fs::perms::others_exec);
    env_ = {{"KELVARIN_UNIT_DIR", dir_ / "units"},          {"KELVARIN_DBUS_POLICY_DIR", dir_ / "policy"},
            {"KELVARIN_DBUS_SERVICES_DIR", dir_ / "activation"}, {"KELVARIN_INTERFACES_DIR", dir_ / "interfaces"},
            {"KELVARIN_REGISTRY_DIR", dir_ / "reg"},        {"KELVARIN_PROGRAMDATA", dir_ / "data"},
            {"MORVANE_CALC_BASE", dir_ / "store"},          {"KELVARIN_SYSTEMCTL", dir_ / "systemctl"}};
  }
  Ran Kelvarin(const std::vector<std::string>& args, bool asNobody = false) {
    std::vector<std::string> words;
    if (asNobody) words = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    words.push_back(KELVARIN_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    return RunProgram(words, env_, dir_ / "out.txt");
  }
  std::string Unit() const { return dir_ / "units/CalculatorServerService.service"; }

  testing::TempDir dir_;
  std::map<std::string, std::string> env_;
};

TEST_F(InstallSwitches, InstallThenUninstallFromTheCommandLine) {
  // An account the system does not know: refused, nothing written.
  Ran unknown = Kelvarin({"/INSTALL", "nosuchuser42"});
  EXPECT_NE(unknown.status, 0) << unknown.output;
  EXPECT_THAT(unknown.output, HasSubstr("no account named \"nosuchuser42\" exists"));
  EXPECT_FALSE(fs::exists(Unit()));

  Ran installed = Kelvarin({"/INSTALL", "nobody"});
  ASSERT_EQ(installed.status, 0) << installed.output;
  EXPECT_THAT(ReadFile(Unit()), HasSubstr(std::string("ExecStart=\"") + KELVARIN_BINARY + "\" --bus=system\n"));
  EXPECT_THAT(ReadFile(Unit()), HasSubstr("User=nobody\n"));
  EXPECT_THAT(ReadFile(Unit()), HasSubstr("Environment=\"KELVARIN_REGISTRY_DIR=" + (dir_ / "reg") + "\"\n"));
  EXPECT_TRUE(fs::exists(dir_ / "policy/com.quorlith.Kelvarin.conf"));
  EXPECT_TRUE(fs::exists(dir_ / "activation/com.quorlith.Kelvarin.service"));
  EXPECT_TRUE(fs::exists(dir_ / "interfaces/com.quorlith.Kelvarin.xml"));
  EXPECT_THAT(ReadFile(dir_ / "reg/system.reg"), HasSubstr("CalculatorServerService"));
  EXPECT_EQ(ReadFile(dir_ / "systemctl.log"), "daemon-reload\nenable CalculatorServerService.service\n");

  Ran removed = Kelvarin({"uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.output;
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(fs::exists(dir_ / "interfaces/com.quorlith.Kelvarin.xml"));
  EXPECT_THAT(ReadFile(dir_ / "systemctl.log"),
              HasSubstr("stop --no-block CalculatorServerService.service\nis-active CalculatorServerService.service\n"
                        "disable CalculatorServerService.service\ndaemon-reload\n"));
}

// The unit folder belongs to root; the installing account may write the registry but not there.
TEST_F(InstallSwitches, AnUnwritableUnitFolderFailsAndLeavesNothing) {
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(dir_ / "reg", fs::perms::all);
  fs::permissions(dir_ / "data", fs::perms::all);
  Ran ran = Kelvarin({"-RegServer"}, true);
  EXPECT_NE(ran.status, 0);
  EXPECT_THAT(ran.output, HasSubstr("Failed call to CreateService: Permission denied"));
  for (const char* d : {"units", "policy", "activation", "interfaces"})
    EXPECT_TRUE(fs::is_empty(dir_ / d)) << d;
}

// A system bus of the test's own whose configuration includes the generated policy: the server
// (root) owns the name, root and another uid both reach it, the gate refuses the other uid's
// protected commands, and a third uid cannot take the name.
TEST(ServiceE2E, TheBusPolicyLetsOnlyTheServiceOwnTheNameAndEveryoneCallIt) {
  constexpr char kDaemon[] = "/usr/bin/dbus-daemon";
  constexpr char kDbusSend[] = "/usr/bin/dbus-send";
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  if (access(kDaemon, X_OK) != 0 || access(kDbusSend, X_OK) != 0) GTEST_SKIP() << "needs dbus-daemon and dbus-send";
  // The bus refuses uids without an account: the third party is uid 1 (daemon on Debian).
  if (!getpwuid(1) || !getpwuid(65534)) GTEST_SKIP() << "needs accounts for uids 1 and 65534";
  testing::TempDir dir;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  const std::string socket = dir / "system_bus", address = "unix:path=" + socket;
  std::ofstream(dir / "policy.conf") << app::BusPolicyText("");
  // The defaults of a system bus: nobody owns or calls anything unless a policy file allows it.
  std::ofstream(dir / "bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n  <type>system</type>\n  <listen>" << address << "</listen>\n"
      << "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n    <deny own=\"*\"/>\n    <deny send_type=\"method_call\"/>\n"
         "    <allow send_type=\"signal\"/>\n"
         "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
         "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
         "    <allow receive_type=\"method_call\"/>\n    <allow receive_type=\"method_return\"/>\n"
         "    <allow receive_type=\"error\"/>\n    <allow receive_type=\"signal\"/>\n"
         "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
         "    <allow send_destination=\"org.freedesktop.DBus\"\n"
         "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
         "  </policy>\n  <include>" << (dir / "policy.conf") << "</include>\n</busconfig>\n";
  std::string configArg = "--config-file=" + (dir / "bus.conf");
  const char* argv[] = {kDaemon, configArg.c_str(), "--nofork", "--nopidfile", nullptr};
  pid_t daemon = -1;
  ASSERT_EQ(posix_spawn(&daemon, kDaemon, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  } reaper{daemon};
  for (int i = 0; i < 600 && !testing::AcceptsConnections(socket); ++i) usleep(10000);
  ASSERT_TRUE(testing::AcceptsConnections(socket)) << "the bus daemon did not start";

  testing::ServerProcess server({"--bus", "system"});
  ASSERT_TRUE(server.Start({{"DBUS_SYSTEM_BUS_ADDRESS", address}}));
  const std::map<std::string, std::string> env = {{"DBUS_SYSTEM_BUS_ADDRESS", address}};
  const std::vector<std::string> nobody = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  auto as = [&](std::vector<std::string> who, std::vector<std::string> args) {
    who.insert(who.end(), args.begin(), args.end());
    return RunProgram(who, env, dir / "out.txt");
  };
  const std::vector<std::string> addType = {KELVARIN_CLI, "--bus", "system", "AddMeasurementType", "Flux", "", "Wb"};

  Ran rootVersion = as({}, {KELVARIN_CLI, "--bus", "system", "CalcCommandVersion"});
  EXPECT_EQ(rootVersion.status, 0) << rootVersion.output;
  Ran rootAdd = as({}, addType);
  EXPECT_EQ(rootAdd.status, 0) << rootAdd.output;

  Ran otherVersion = as(nobody, {KELVARIN_CLI, "--bus", "system", "CalcCommandVersion"});
  EXPECT_EQ(otherVersion.status, 0) << otherVersion.output;
  Ran otherAdd = as(nobody, {KELVARIN_CLI, "--bus", "system", "AddMeasurementType", "Flux2", "", "Wb"});
  EXPECT_NE(otherAdd.status, 0);
  EXPECT_THAT(otherAdd.output, HasSubstr("198")) << otherAdd.output;
  // The schedule and execute rights are refused the same way, each with its own code.
  Ran otherGroup = as(nobody, {KELVARIN_CLI, "--bus", "system", "AddScheduleGroup", "G1", "0.5", "0", "0", "0"});
  EXPECT_NE(otherGroup.status, 0);
  EXPECT_THAT(otherGroup.output, HasSubstr("error 197")) << otherGroup.output;
  std::ofstream(dir / "run.batch") << "c = CreateTemporaryCalc \"Total = 1\"\nCalcExecute @c\n";
  fs::permissions(dir / "run.batch", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  Ran otherRun = as(nobody, {KELVARIN_CLI, "--bus", "system", "batch", dir / "run.batch"});
  EXPECT_NE(otherRun.status, 0);
  EXPECT_THAT(otherRun.output, HasSubstr("> CalcExecute @c\nFalse\nerror 194")) << otherRun.output;

  Ran thief = as({kSetpriv, "--reuid=1", "--regid=1", "--clear-groups"},
                 {kDbusSend, "--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus",
                  "/org/freedesktop/DBus", "org.freedesktop.DBus.RequestName", "string:com.quorlith.Kelvarin",
                  "uint32:4"});
  EXPECT_NE(thief.status, 0) << thief.output;
  EXPECT_THAT(thief.output, ::testing::AnyOf(HasSubstr("not allowed to own"), HasSubstr("ccess denied")))
      << thief.output;
}

}  // namespace
}  // namespace kv
