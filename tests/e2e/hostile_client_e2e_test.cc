// The real server against clients that misbehave on purpose: they pipeline calls and never read
// the answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/server_process.h"
#include "platform/registry_store.h"
#include "protocol/wire_names.h"

namespace kv {
namespace {

// A peer-to-peer connection that pipelines calls and reads nothing back. The answers fill the
// socket, then pile up in the server.
class NonReadingClient {
 public:
  explicit NonReadingClient(const std::string& address) {
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) ADD_FAILURE() << "cannot connect to " << address << ": " << r;
  }
  ~NonReadingClient() { sd_bus_close_unref(bus_); }

  // The server's process, from the socket's peer credentials; 0 when unknown.
  pid_t ServerPid() const {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    int fd = bus_ ? sd_bus_get_fd(bus_) : -1;
    return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
  }

  // Returns once every call is written (flushing writes only, never reads): true, or the server
  // hung up: false.
  bool Pipeline(int count, const char* path, const char* iface, const char* member) {
    for (int i = 0; i < count; ++i) {
      sd_bus_message* m = nullptr;
      if (sd_bus_message_new_method_call(bus_, &m, nullptr, path, iface, member) < 0) return false;
      uint64_t cookie;  // asked for, else sd-bus marks the call as wanting no answer
      int r = sd_bus_send(bus_, m, &cookie);
      sd_bus_message_unref(m);
      if (r < 0) return false;
    }
    return sd_bus_flush(bus_) >= 0;
  }

 private:
  sd_bus* bus_ = nullptr;
};

long VmRssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST(HostileClientE2E, SigtermEndsTheServerWhileAClientDoesNotReadAndTheScheduleIsSaved) {
  testing::ServerProcess server;
  {
    // Room for everything unread, so the client is still connected at the stop.
    platform::RegistryStore reg(server.RegistryDir() + "/system.reg", server.RegistryDir() + "/user.reg");
    reg.SetValue(platform::RegHive::LocalMachine, "SOFTWARE\\Kelvarin\\Limits", "MaxQueuedBytes",
                 platform::RegValue::Dword(1u << 30));
  }
  ASSERT_TRUE(server.Start());
  const std::filesystem::path schedule = std::filesystem::path(server.Store()) / "bin" / "Schedules.zrc";
  std::filesystem::remove(schedule);  // so what is found afterwards is the save at stop

  NonReadingClient client(server.Address());
  const pid_t pid = client.ServerPid();
  ASSERT_GT(pid, 0);
  // Each answer is the class factory's description, a few kilobytes: far more than the socket
  // holds (sd-bus asks for 8 MB buffers), far less than the limit set above.
  ASSERT_TRUE(client.Pipeline(40000, protocol::kRootPath, "org.freedesktop.DBus.Introspectable", "Introspect"))
      << "the server hung up";
  ASSERT_TRUE(server.Alive());

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  // A liveness bound: without it a hang would only show as the suite's timeout.
  EXPECT_TRUE(server.WaitExit(std::chrono::seconds(10))) << "SIGTERM did not end the server";
  EXPECT_TRUE(std::filesystem::exists(schedule)) << "the schedule was not saved on the way out";
}

TEST(HostileClientE2E, AClientThatNeverReadsIsDisconnectedBeforeTheServerGrows) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  NonReadingClient client(server.Address());
  const pid_t pid = client.ServerPid();
  ASSERT_GT(pid, 0);
  // Each answer is the class factory's description, a few kilobytes: hundreds of megabytes if
  // the server kept them all. The default limit is 16 MiB of unread replies.
  EXPECT_FALSE(client.Pipeline(100000, protocol::kRootPath, "org.freedesktop.DBus.Introspectable", "Introspect"))
      << "the server kept a client that never reads";
  ASSERT_TRUE(server.Alive());
  const long rss = VmRssKiB(pid);
  ASSERT_GT(rss, 0);
#ifdef __SANITIZE_ADDRESS__
  // AddressSanitizer's shadow memory and quarantine roughly double what the server holds.
  constexpr long kBoundKiB = 256 * 1024;
#else
  constexpr long kBoundKiB = 128 * 1024;
#endif
  EXPECT_LT(rss, kBoundKiB) << "the server holds " << rss << " KiB";
}

}  // namespace
}  // namespace kv
