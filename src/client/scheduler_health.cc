#include "client/scheduler_health.h"

#include <systemd/sd-bus.h>

#include "client/connection.h"
#include "protocol/wire_names.h"

namespace kv::client {

Status ReadGroupHealth(Connection& conn, std::vector<GroupHealthRow>* rows) {
  sd_bus_message* m = nullptr;
  sd_bus_message* reply = nullptr;
  Status st = conn.NewCall(protocol::kRootPath, protocol::kSchedulerInterface, protocol::kGroupHealthMethod, &m);
  if (st.ok()) st = conn.Send(m, &reply);
  rows->clear();
  if (st.ok()) {
    int r = sd_bus_message_enter_container(reply, 'a', "(sdddddttdd)");
    for (;;) {
      if (r < 0) break;
      GroupHealthRow g;
      const char* name = nullptr;
      r = sd_bus_message_read(reply, "(sdddddttdd)", &name, &g.rateSeconds, &g.nextRunUtc, &g.lastStartUtc,
                              &g.latenessSec, &g.durationSec, &g.runs, &g.missedRuns, &g.earliestSec, &g.latestSec);
      if (r <= 0) break;
      g.name = name ? name : "";
      rows->push_back(std::move(g));
    }
    if (r < 0) st = Status(Status::Code::kProtocol, "the scheduler's answer could not be read");
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  return st;
}

Status ReadItemHealth(Connection& conn, std::vector<ItemHealthRow>* rows) {
  sd_bus_message* m = nullptr;
  sd_bus_message* reply = nullptr;
  Status st = conn.NewCall(protocol::kRootPath, protocol::kSchedulerInterface, protocol::kItemHealthMethod, &m);
  if (st.ok()) st = conn.Send(m, &reply);
  rows->clear();
  if (st.ok()) {
    const char* row = protocol::kItemHealthSignature + 1;
    int r = sd_bus_message_enter_container(reply, 'a', row);
    for (;;) {
      if (r < 0) break;
      ItemHealthRow h;
      const char *group = nullptr, *calc = nullptr, *status = nullptr, *error = nullptr;
      r = sd_bus_message_read(reply, row, &group, &calc, &h.runs, &h.failures, &h.level, &status, &error,
                              &h.lastRunUtc);
      if (r <= 0) break;
      h.group = group ? group : "";
      h.calculation = calc ? calc : "";
      h.status = status ? status : "";
      h.errorText = error ? error : "";
      rows->push_back(std::move(h));
    }
    if (r < 0) st = Status(Status::Code::kProtocol, "the scheduler's answer could not be read");
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  return st;
}

}  // namespace kv::client
