// kelvarin-cli scheduler's table and JSON.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_options.h"
#include "cli/cli_scheduler.h"

namespace kv::cli {
namespace {

std::vector<client::GroupHealthRow> Rows() {
  client::GroupHealthRow ran{"FiveSec", 5, 46000.5, 46000.25, 0.1015, 0.002, 12, 1, -0.2, 0.12};
  client::GroupHealthRow never{"Say \"hi\"", 0.3, 0, 0, 0, 0, 0, 0, 0, 0};
  return {ran, never};
}

TEST(CliScheduler, Table) {
  std::ostringstream out;
  PrintGroupHealth(Rows(), false, out);
  EXPECT_EQ(out.str(),
            "GROUP     RATE s  NEXT RUN (UTC)       LAST START (UTC)     LATE s  TOOK s  RUNS  MISSED  EARLIEST s  LATEST s\n"
            "FiveSec        5  2025-12-09 12:00:00  2025-12-09 06:00:00   0.102   0.002    12       1      -0.200     0.120\n"
            "Say \"hi\"   0.300  -                    -                     0.000   0.000     0       0       0.000     0.000\n");
  std::ostringstream none;
  PrintGroupHealth({}, false, none);
  EXPECT_NE(none.str().find("(no schedule group threads)"), std::string::npos);
}

TEST(CliScheduler, Json) {
  std::ostringstream out;
  PrintGroupHealth(Rows(), true, out);
  EXPECT_EQ(out.str(),
            "[{\"name\":\"FiveSec\",\"rate_s\":5,\"next_run_utc\":\"2025-12-09 12:00:00\",\"last_start_utc\":\"2025-12-09 "
            "06:00:00\",\"lateness_s\":0.10150000000000001,\"duration_s\":0.002,\"runs\":12,\"missed_runs\":1,"
            "\"earliest_s\":-0.20000000000000001,\"latest_s\":0.12},"
            "{\"name\":\"Say \\\"hi\\\"\",\"rate_s\":0.29999999999999999,\"next_run_utc\":\"-\",\"last_start_utc\":\"-\","
            "\"lateness_s\":0,\"duration_s\":0,\"runs\":0,\"missed_runs\":0,\"earliest_s\":0,\"latest_s\":0}]\n");
}

TEST(CliScheduler, CommandLine) {
  CliOptions o;
  std::string why;
  ASSERT_TRUE(ParseCliOptions({"--address", "unix:path=/nowhere", "scheduler", "--json"}, &o, &why)) << why;
  EXPECT_EQ(o.mode, CliOptions::Mode::kScheduler);
  EXPECT_EQ(o.args, std::vector<std::string>{"--json"});
  o.args = {"--table"};
  std::ostringstream out, err;
  EXPECT_EQ(RunScheduler(o, out, err), kExitUsage);
  EXPECT_NE(err.str().find("scheduler takes only --json"), std::string::npos);
}

}  // namespace
}  // namespace kv::cli
