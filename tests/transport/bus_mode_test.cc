// The server on a bus daemon instead of its private socket: a private session daemon is
// started for the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "support/test_env.h"
#include "support/unix_socket.h"
#include "transport/running_server.h"
#include "transport/test_client.h"
#include "protocol/wire_names.h"

extern char** environ;

namespace kv::transport {
using namespace protocol;
namespace {

using testing::FakeCounters;
using testing::TestClient;

constexpr char kDaemon[] = "/usr/bin/dbus-daemon";
constexpr char kTyped[] = "com.quorlith.Kelvarin.IFakeCommands";

// A session bus daemon of our own, announced through DBUS_SESSION_BUS_ADDRESS while it runs.
class SessionDaemon {
 public:
  explicit SessionDaemon(const std::string& dir) : socket_(dir + "/session_bus") {
    address_ = "unix:path=" + socket_;
    std::string listen = "--address=" + address_;
    const char* argv[] = {kDaemon, "--session", "--nofork", "--nopidfile", listen.c_str(), nullptr};
    if (posix_spawn(&pid_, kDaemon, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    ready_ = pid_ > 0 && testing::Eventually([&] { return testing::AcceptsConnections(socket_); });
    if (const char* old = getenv("DBUS_SESSION_BUS_ADDRESS")) saved_ = old;
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~SessionDaemon() {
    if (saved_)
      setenv("DBUS_SESSION_BUS_ADDRESS", saved_->c_str(), 1);
    else
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }

 private:
  std::string socket_, address_;
  std::optional<std::string> saved_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST(BusMode, ServesItsNameAndReleasesObjectsOfClientsThatLeave) {
  if (access(kDaemon, X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  testing::TempDir dir;
  SessionDaemon daemon(dir.path());
  ASSERT_TRUE(daemon.ready());
  ApartmentPool pool(2);
  Server::Options options;
  options.bus = Server::Options::Session;
  testing::RunningServer running(options, pool);
  ASSERT_TRUE(running.started());
  EXPECT_EQ(running.server().Address(), "");

  TestClient other(daemon.address(), true);
  std::string foreign = other.Create();
  {
    TestClient client(daemon.address(), true);
    std::string obj = client.Create();
    testing::Reply echo = client.Call(obj, kTyped, "Echo", "s", "over the bus");
    const char* text = nullptr;
    ASSERT_TRUE(echo.ok()) << echo.message;
    ASSERT_GE(sd_bus_message_read(echo.m, "s", &text), 0);
    EXPECT_STREQ(text, "over the bus");
    EXPECT_EQ(client.Call(foreign, kTyped, "Echo", "s", "x").error, kErrorUnknownObject);
    client.Call(obj, kTyped, "NewChild", "s", "kid");
    EXPECT_EQ(running.server().ObjectCount(), 3);
    EXPECT_EQ(running.server().ConnectionCount(), 2u);
  }
  EXPECT_TRUE(testing::Eventually([&] { return running.server().ObjectCount() == 1 && FakeCounters::liveChildren == 0; }));
  EXPECT_TRUE(testing::Eventually([&] { return running.server().ConnectionCount() == 1; }));
  other.Close();
  EXPECT_TRUE(running.WaitLastReleased());
  EXPECT_EQ(FakeCounters::liveCommands, 0);
}

}  // namespace
}  // namespace kv::transport
