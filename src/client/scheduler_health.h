#pragma once
// The server's schedule group threads, one row each, as the root object's
// com.quorlith.Kelvarin.Scheduler.GroupHealth answers them.
#include <cstdint>
#include <string>
#include <vector>

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

// How each scheduled calculation's runs went (com.quorlith.Kelvarin.Scheduler.ItemHealth).
struct ItemHealthRow {
  std::string group, calculation;
  uint64_t runs = 0, failures = 0;
  int32_t level = 0;
  std::string status, errorText;
  double lastRunUtc = 0;
};
Status ReadItemHealth(Connection& conn, std::vector<ItemHealthRow>* rows);

}  // namespace kv::client
