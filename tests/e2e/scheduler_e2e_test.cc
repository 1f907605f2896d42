// The scheduler of the real server on the real clock: a one-second group runs on time, the
// health interface and kelvarin-cli show it, and a stop ends every group thread.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <cstdio>
#include <thread>

#include "client/scheduler_health.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "e2e/group_setup.h"
#include "e2e/server_process.h"
#include "log/log_file.h"

namespace kv {
namespace {

using client::CallResult;
using client::Connection;
using client::GroupHealthRow;
using client::RemoteObject;
using com::Variant;

// The local time of a log line ("(tid) MM/DD/YYYY hh:mm:ss.mmm message") in ms since 1970, read
// with the zone the server and this test share.
int64_t LineTimeMs(const std::string& line) {
  const size_t close = line.find(") ");
  std::tm tm{};
  int ms = 0;
  if (close == std::string::npos ||
      std::sscanf(line.c_str() + close + 2, "%d/%d/%d %d:%d:%d.%d", &tm.tm_mon, &tm.tm_mday, &tm.tm_year,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
    return -1;
  tm.tm_mon -= 1;
  tm.tm_year -= 1900;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm)) * 1000 + ms;
}

const GroupHealthRow* Find(const std::vector<GroupHealthRow>& rows, const std::string& name) {
  for (const GroupHealthRow& r : rows)
    if (r.name == name) return &r;
  return nullptr;
}

TEST(SchedulerE2E, AOneSecondGroupRunsOnTimeAndAStopEndsEveryThread) {
  testing::ServerProcess server;
  // The group threads' start and exit lines go to the log.
  testing::Shell("KELVARIN_REGISTRY_DIR='" + server.RegistryDir() + "' " + KELVARIN_CLI +
        " reg set 'HKLM\\SOFTWARE\\Quorlith\\Morvane Calc\\Logging\\Kelvarin' Steps ON");
  ASSERT_TRUE(server.Start());

  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(testing::OpenCommands(server, &conn, &obj));
  // Its calculation does not exist: the item fails on its own, and the group still runs.
  ASSERT_TRUE(testing::AddOneSecondGroup(*obj, "Tick", {"Flow1"}));

  // Ten runs after the first. The first catches up the second the thread started in and may
  // pass over the slot after it: the misses counted when it is first seen are the start-up's.
  std::vector<GroupHealthRow> rows;
  uint64_t startupMisses = 0;
  bool seen = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    ASSERT_TRUE(client::ReadGroupHealth(*conn, &rows).ok());
    const GroupHealthRow* tick = Find(rows, "Tick");
    if (tick && tick->runs >= 1 && !seen) {
      seen = true;
      startupMisses = tick->missedRuns;
    }
    if (tick && tick->runs >= 11) break;
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the group did not run 11 times";
    std::this_thread::sleep_for(std::chrono::milliseconds(seen ? 200 : 10));
  }
  const GroupHealthRow& tick = *Find(rows, "Tick");
  EXPECT_GE(tick.earliestSec, -0.5);
  EXPECT_LE(tick.latestSec, 0.15);
  EXPECT_EQ(tick.missedRuns, startupMisses);
  EXPECT_LE(startupMisses, 1u);
  EXPECT_DOUBLE_EQ(tick.rateSeconds, 1.0);
  EXPECT_GT(tick.nextRunUtc, tick.lastStartUtc);
  EXPECT_EQ(rows.size(), 6u);  // the five default groups and Tick

  const std::string table = testing::Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " scheduler");
  EXPECT_NE(table.find("GROUP"), std::string::npos) << table;
  EXPECT_NE(table.find("FiveSec"), std::string::npos) << table;
  EXPECT_NE(table.find("Tick"), std::string::npos) << table;
  const std::string json = testing::Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " scheduler --json");
  EXPECT_NE(json.find("{\"name\":\"Tick\",\"rate_s\":1,"), std::string::npos) << json;

  conn.reset();
  obj.reset();
  // SIGTERM; the harness kills the server only when it has not ended after 10 s. Every group
  // thread writes its exit line within a second of the signal (the rest of the shutdown is the
  // service host's).
  const int64_t signalledMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  server.Stop();
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0) << server.ExitStatus();
  std::string logFile;
  for (const auto& e : std::filesystem::recursive_directory_iterator(server.DataDir()))
    if (e.path().extension() == ".log") logFile = e.path();
  int exited = 0;
  for (const std::string& line : testing::ReadLogLines(logFile)) {
    if (line.find("----->>>> Schedule Group Thread Exiting:( ") == std::string::npos) continue;
    ++exited;
    // The log keeps milliseconds; the signal time is taken just before it was sent.
    EXPECT_LT(LineTimeMs(line) - signalledMs, 1000) << line;
  }
  EXPECT_EQ(exited, 6);
}

// With an ODM workspace configured, group passes run through the workspace service and are
// counted as runs only when the group executed.
TEST(SchedulerE2E, GroupsRunWithAnOdmWorkspace) {
  testing::ServerProcess server;
  const std::string reg = "KELVARIN_REGISTRY_DIR='" + server.RegistryDir() + "' " + KELVARIN_CLI + " reg set ";
  testing::Shell(reg + "'HKLM\\SOFTWARE\\Kelvarin\\Workspaces\\Plant' TagDatabase '" + server.RegistryDir() +
                 "/plant.db'");
  testing::Shell(reg + "'HKLM\\SOFTWARE\\Quorlith\\Morvane Calc\\Odm' WorkSpace Plant");
  ASSERT_TRUE(server.Start());

  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(testing::OpenCommands(server, &conn, &obj));
  CallResult r;
  ASSERT_TRUE(obj->Call("GetOdmWorkSpace", {}, &r).ok());
  ASSERT_EQ(r.result, Variant::Str("Plant"));
  ASSERT_TRUE(testing::AddOneSecondGroup(*obj, "Tick", {}));
  std::vector<GroupHealthRow> rows;
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (;;) {
    ASSERT_TRUE(client::ReadGroupHealth(*conn, &rows).ok());
    const GroupHealthRow* tick = Find(rows, "Tick");
    if (tick && tick->runs >= 2) break;
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the group did not run with the workspace set";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// A calculation failing in a one-second group shows in the scheduler's health (its runs, its
// failures, the last Status and error text) and once in the log, however often it fails.
TEST(SchedulerE2E, AFailingCalculationShowsInTheHealthAndOnceInTheLog) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(testing::OpenCommands(server, &conn, &obj));
  CallResult r;
  ASSERT_TRUE(obj->Call("CreateCalculationObject", {Variant::Str("Broken"), Variant::Str(""), Variant::Str("")}, &r).ok());
  const Variant calc = r.result;
  ASSERT_TRUE(obj->Call("SetObjectProperties", {calc, Variant::Str("Script"), Variant::Str("return nosuch.x")}, &r).ok());
  ASSERT_TRUE(obj->Call("SaveCalculationObject", {calc}, &r).ok());
  ASSERT_EQ(r.result, Variant::Bool(true));
  ASSERT_TRUE(testing::AddOneSecondGroup(*obj, "Tick", {"Broken"}));
  std::vector<client::ItemHealthRow> items;
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (;;) {
    ASSERT_TRUE(client::ReadItemHealth(*conn, &items).ok());
    if (!items.empty() && items[0].failures >= 3) break;
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the calculation did not fail three times";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].group, "Tick");
  EXPECT_EQ(items[0].calculation, "Broken");
  EXPECT_EQ(items[0].level, 2);
  EXPECT_GE(items[0].runs, items[0].failures);
  EXPECT_GT(items[0].lastRunUtc, 0.0);
  EXPECT_FALSE(items[0].errorText.empty());

  const std::string log = testing::Shell("KELVARIN_PROGRAMDATA='" + server.DataDir() + "' " + KELVARIN_CLI + " log");
  size_t lines = 0;
  for (size_t at = log.find("ScheduleGroup ( Tick ): calculation Broken failed"); at != std::string::npos;
       at = log.find("ScheduleGroup ( Tick ): calculation Broken failed", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << log;
}

}  // namespace
}  // namespace kv
