#pragma once
// kelvarin-cli scheduler: the server's schedule group threads, one row each, as a table or as
// JSON (com.quorlith.Kelvarin.Scheduler.GroupHealth on the root object).
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "client/scheduler_health.h"

namespace kv::cli {

// The rows as an aligned text table (times in UTC, "-" for never), or as one JSON array. With
// `items`, a second table of the scheduled calculations follows (runs, failures, the last run's
// Level, Status, time and error text), or each group's JSON object holds them as "calculations".
void PrintGroupHealth(const std::vector<client::GroupHealthRow>& rows, bool json, std::ostream& out,
                      const std::vector<client::ItemHealthRow>* items = nullptr);

// The words after "scheduler": [--json]. kExitOk; kExitUsage for bad words or no connection;
// kExitFailure when the server refused the call.
int RunScheduler(const CliOptions& o, std::ostream& out, std::ostream& err);

std::string SchedulerHelp();

}  // namespace kv::cli
