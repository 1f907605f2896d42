// The scheduler of the real server on the real clock: a one-second group runs on time, the
// health interface and kelvarin-cli show it, and a stop ends every group thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "client/cli_scheduler.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "e2e/server_process.h"

namespace kv {
namespace {

using client::CallResult;
using client::Connection;
using client::GroupHealthRow;
using client::RemoteObject;
using com::Variant;

std::string Shell(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
  }
  return out;
}

const GroupHealthRow* Find(const std::vector<GroupHealthRow>& rows, const std::string& name) {
  for (const GroupHealthRow& r : rows)
    if (r.name == name) return &r;
  return nullptr;
}

TEST(SchedulerE2E, AOneSecondGroupRunsOnTimeAndAStopEndsEveryThread) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());

  std::shared_ptr<Connection> conn;
  ASSERT_TRUE(Connection::Open(server.Address(), &conn).ok());
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(conn->CreateInstance("Kelvarin.CalcCommands", &obj).ok());
  CallResult r;
  ASSERT_TRUE(obj->Call("AddScheduleGroup", {Variant::Str("Tick"), Variant::Date(1.0 / 86400), Variant::R8(0),
                                             Variant::I4(0), Variant::I4(0)},
                        &r)
                  .ok());
  ASSERT_EQ(r.result, Variant::Bool(true));
  // Its calculation does not exist: the item fails on its own, and the group still runs.
  ASSERT_TRUE(obj->Call("AddScheduledItem", {Variant::Str("Tick"), Variant::Str("Flow1")}, &r).ok());
  ASSERT_EQ(r.result, Variant::Bool(true));

  // Ten runs after the first (which may catch up the second it started in).
  std::vector<GroupHealthRow> rows;
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    ASSERT_TRUE(client::ReadGroupHealth(*conn, &rows).ok());
    const GroupHealthRow* tick = Find(rows, "Tick");
    if (tick && tick->runs >= 11) break;
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the group did not run 11 times";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const GroupHealthRow& tick = *Find(rows, "Tick");
  EXPECT_GE(tick.earliestSec, -0.5);
  EXPECT_LE(tick.latestSec, 0.15);
  EXPECT_EQ(tick.missedRuns, 0u);
  EXPECT_DOUBLE_EQ(tick.rateSeconds, 1.0);
  EXPECT_GT(tick.nextRunUtc, tick.lastStartUtc);
  EXPECT_EQ(rows.size(), 6u);  // the five default groups and Tick

  const std::string table = Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " scheduler");
  EXPECT_NE(table.find("GROUP"), std::string::npos) << table;
  EXPECT_NE(table.find("FiveSec"), std::string::npos) << table;
  EXPECT_NE(table.find("Tick"), std::string::npos) << table;
  const std::string json = Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " scheduler --json");
  EXPECT_NE(json.find("{\"name\":\"Tick\",\"rate_s\":1,"), std::string::npos) << json;

  conn.reset();
  obj.reset();
  // SIGTERM; the harness kills the server only when it has not ended after 10 s.
  const auto stopAt = std::chrono::steady_clock::now();
  server.Stop();
  const auto took = std::chrono::steady_clock::now() - stopAt;
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0) << server.ExitStatus();
  EXPECT_LT(took, std::chrono::seconds(1));
}

}  // namespace
}  // namespace kv
