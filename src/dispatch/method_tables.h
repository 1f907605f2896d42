#pragma once
// The server's method tables: the rows of protocol/icalc_commands.inc and
// protocol/icalc_app_commands.inc with their handlers (dispatch/command_binding.h). Static data,
// built on first use; safe to share between threads.
#include "protocol/method_info.h"

namespace kv {

const InterfaceTable& ICalcCommandsTable();
const InterfaceTable& ICalcAppCommandsTable();

}  // namespace kv
