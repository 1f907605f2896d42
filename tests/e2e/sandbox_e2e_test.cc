// The real server with scripts that never end: a group run ends at the time limit and the group
// goes on, and a stop while such scripts run for clients ends the server within its bound.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/remote_object.h"
#include "client/scheduler_health.h"
#include "e2e/group_setup.h"
#include "e2e/server_process.h"

namespace kv {
namespace {

using client::CallResult;
using client::Connection;
using client::GroupHealthRow;
using client::RemoteObject;
using com::Variant;

std::string RunawayXml(const std::string& name) {
  return "<Calculation version=\"1\">\n  <Name>" + name +
         "</Name>\n  <CalcType>4</CalcType>\n  <Script>local n = 0 while true do n = n + 1 end</Script>\n"
         "  <Parameters>\n  </Parameters>\n</Calculation>\n";
}

// The limits of every run: a deadline of `timeMs`, and an instruction budget no loop here
// exhausts before it.
void SetLimits(testing::ServerProcess& server, int timeMs) {
  const std::string reg = "KELVARIN_REGISTRY_DIR='" + server.RegistryDir() + "' " + KELVARIN_CLI +
                          " reg set 'HKLM\\SOFTWARE\\Quorlith\\Morvane Calc\\Engine' ";
  testing::Shell(reg + "TimeLimitMs " + std::to_string(timeMs) + " --type dword");
  testing::Shell(reg + "InstructionLimit 4294967295 --type dword");
}

TEST(SandboxE2E, ARunawayGroupRunEndsAtTheTimeLimitAndTheGroupGoesOn) {
  testing::ServerProcess server;
  SetLimits(server, 300);
  std::filesystem::create_directories(server.Store() + "/Calc");
  std::ofstream(server.Store() + "/Calc/Runaway.zrc", std::ios::binary) << RunawayXml("Runaway");
  ASSERT_TRUE(server.Start());

  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(testing::OpenCommands(server, &conn, &obj));
  ASSERT_TRUE(testing::AddOneSecondGroup(*obj, "Spin", {"Runaway"}));
  CallResult r;

  // Three passes, each ended by the time limit: the thread is never lost to the script.
  std::vector<GroupHealthRow> rows;
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    ASSERT_TRUE(client::ReadGroupHealth(*conn, &rows).ok());
    const GroupHealthRow* spin = nullptr;
    for (const GroupHealthRow& row : rows)
      if (row.name == "Spin") spin = &row;
    if (spin && spin->runs >= 3) break;
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the group did not run 3 times";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(obj->Call("SaveCalcXML", {Variant::Str("Runaway")}, &r).ok());
  const std::string xml = r.result.bstr().ToUtf8();
  EXPECT_NE(xml.find("<Level>2</Level>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<Status>Time limit</Status>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("time limit of 300 ms exceeded"), std::string::npos) << xml;

  // Deleting the group ends its thread; then the rows show it gone.
  ASSERT_TRUE(obj->Call("DeleteScheduleGroup", {Variant::Str("Spin"), Variant::Bool(true)}, &r).ok());
  EXPECT_EQ(r.result, Variant::Bool(true));
  ASSERT_TRUE(client::ReadGroupHealth(*conn, &rows).ok());
  for (const GroupHealthRow& row : rows) EXPECT_NE(row.name, "Spin");
  conn.reset();
  obj.reset();
  server.Stop();
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0) << server.ExitStatus();
}

// Four clients each run a script without end; SIGTERM still ends the server by itself (the
// harness kills it only after 10 s): each run ends at its 2 s deadline and the stop goes on.
TEST(SandboxE2E, AStopWhileScriptsRunEndsTheServer) {
  testing::ServerProcess server;
  SetLimits(server, 2000);
  ASSERT_TRUE(server.Start());

  constexpr int kClients = 4;
  std::vector<std::thread> clients;
  std::atomic<int> started{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      std::shared_ptr<Connection> conn;
      if (!Connection::Open(server.Address(), &conn).ok()) return;
      std::shared_ptr<RemoteObject> obj;
      if (!conn->CreateInstance("Kelvarin.CalcCommands", &obj).ok()) return;
      ++started;
      CallResult r;
      // Answers a Time limit, or nothing once the server has gone: either way the call returns.
      obj->Call("ExecuteXML", {Variant::Str(RunawayXml("Spin" + std::to_string(i)))}, &r);
    });
  }
  while (started < kClients && server.Alive()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The calls are on their way; give them a moment to be running.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(server.Alive());
  server.Stop();
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0) << server.ExitStatus();
  for (std::thread& t : clients) t.join();
}

}  // namespace
}  // namespace kv
