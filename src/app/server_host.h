#pragma once
// CServiceModule::Run: the start-up steps, the message loop and the shutdown steps, each a
// function of its own (server_host.cc) so that a step can be added where it belongs.
//
// Client calls are accepted only once the store and the process-wide objects are there: the
// class objects are registered (the socket opened or the bus name taken) after the root base
// directory, the environment, the schedule and the units are set, so no command ever works
// with an empty root base directory. READY=1 follows the registration.
#include "app/server_options.h"

namespace kv::app {

// The last line of the banner printed when the server serves: whoever reads it may connect.
inline constexpr char kReadyLine[] = "kelvarin ready";

// Test-only: names an apartment (1..10) that the server wedges once it is ready, so a test can
// watch the watchdog pings stop. Nothing else reads it.
inline constexpr char kWedgeApartmentVar[] = "KELVARIN_TEST_WEDGE_APARTMENT";

}  // namespace kv::app
