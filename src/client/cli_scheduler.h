#pragma once
// kelvarin-cli scheduler: the server's schedule group threads, one row each, as a table or as
// JSON (com.quorlith.Kelvarin.Scheduler.GroupHealth on the root object).
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "client/cli_options.h"
#include "client/status.h"

namespace kv::client {

class Connection;

struct GroupHealthRow {
  std::string name;
  double rateSeconds = 0, nextRunUtc = 0, lastStartUtc = 0, latenessSec = 0, durationSec = 0;
  uint64_t runs = 0, missedRuns = 0;
  double earliestSec = 0, latestSec = 0;
};

// Asks the server for the rows.
Status ReadGroupHealth(Connection& conn, std::vector<GroupHealthRow>* rows);

// The rows as an aligned text table (times in UTC, "-" for never), or as one JSON array.
void PrintGroupHealth(const std::vector<GroupHealthRow>& rows, bool json, std::ostream& out);

// The words after "scheduler": [--json]. kExitOk; kExitUsage for bad words or no connection;
// kExitFailure when the server refused the call.
int RunScheduler(const CliOptions& o, std::ostream& out, std::ostream& err);

std::string SchedulerHelp();

}  // namespace kv::client
