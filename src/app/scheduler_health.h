#pragma once
// The scheduler's health for admins, added to the root object at start-up:
// com.quorlith.Kelvarin.Scheduler.GroupHealth() answers one row per group thread, as
// protocol/wire_names.h describes.
#include <systemd/sd-bus.h>

#include <vector>

#include "scheduler/scheduler_supervisor.h"
#include "transport/server.h"

namespace kv::app {

// GroupHealth and ItemHealth; the item rows' times are converted with `env`'s clock and zone,
// which must outlive the server.
transport::RootInterface SchedulerHealthInterface(platform::Env& env);

// Appends `rows` as kGroupHealthSignature says; a negative errno when sd-bus refuses.
int AppendGroupHealth(sd_bus_message* reply, const std::vector<scheduler::GroupHealthRow>& rows);
// Appends `rows` as kItemHealthSignature says.
int AppendItemHealth(sd_bus_message* reply, const std::vector<scheduler::ItemHealthRow>& rows);

}  // namespace kv::app
