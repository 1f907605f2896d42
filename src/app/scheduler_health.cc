#include "app/scheduler_health.h"

#include <cstdint>
#include <utility>

#include "protocol/wire_names.h"

namespace kv::app {

namespace {

// One row, the element of kGroupHealthSignature's array.
constexpr const char* kRow = protocol::kGroupHealthSignature + 1;

}  // namespace

int AppendGroupHealth(sd_bus_message* reply, const std::vector<scheduler::GroupHealthRow>& rows) {
  int r = sd_bus_message_open_container(reply, 'a', kRow);
  for (size_t i = 0; r >= 0 && i < rows.size(); ++i) {
    const scheduler::GroupHealthRow& g = rows[i];
    const scheduler::GroupHealth& h = g.health;
    r = sd_bus_message_append(reply, kRow, g.name.c_str(), g.rateSeconds, g.nextRunUtc, h.lastStart,
                              h.lastLatenessSec, h.lastDurationSec, static_cast<uint64_t>(h.runs),
                              static_cast<uint64_t>(h.missedRuns), h.earliestSec, h.latestSec);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  return r;
}

int AppendItemHealth(sd_bus_message* reply, const std::vector<scheduler::ItemHealthRow>& rows) {
  constexpr const char* kItemRow = protocol::kItemHealthSignature + 1;
  int r = sd_bus_message_open_container(reply, 'a', kItemRow);
  for (size_t i = 0; r >= 0 && i < rows.size(); ++i) {
    const scheduler::ItemHealthRow& row = rows[i];
    r = sd_bus_message_append(reply, kItemRow, row.group.c_str(), row.calculation.c_str(), row.runs, row.failures,
                              row.level, row.status.c_str(), row.errorText.c_str(), row.lastRunUtc);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  return r;
}

transport::RootInterface SchedulerHealthInterface(platform::Env& env) {
  transport::RootMethod health;
  health.name = protocol::kGroupHealthMethod;
  health.outSignature = protocol::kGroupHealthSignature;
  health.outName = "groups";
  // The rows are read on the apartment (the table walk takes ScheduleLock) and written into the
  // reply on the bus thread.
  health.run = [] {
    return transport::ReplyWriter(
        [rows = scheduler::SchedulerHealth()](sd_bus_message* reply) { return AppendGroupHealth(reply, rows); });
  };
  transport::RootMethod items;
  items.name = protocol::kItemHealthMethod;
  items.outSignature = protocol::kItemHealthSignature;
  items.outName = "calculations";
  items.run = [&env] {
    return transport::ReplyWriter([rows = scheduler::SchedulerItemHealth(env.Time())](sd_bus_message* reply) {
      return AppendItemHealth(reply, rows);
    });
  };
  return {protocol::kSchedulerInterface, {std::move(health), std::move(items)}};
}

}  // namespace kv::app
