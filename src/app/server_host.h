#pragma once
// The server's life in three steps, run in this order by main():
//   StartServices  the log, the configuration, the store's directories, the classes and the
//                  shared objects (environment, schedule, units table);
//   Serve          the transport until SIGTERM, SIGINT or, with --exit-when-idle, the last
//                  client object is gone;
//   StopServices   saves the schedule and drops the shared objects.
#include "app/server_options.h"

namespace kv::app {

void StartServices();

// The last line of the banner: whoever reads it may connect at once.
inline constexpr char kReadyLine[] = "kelvarin ready";

struct ServeOutcome {
  bool served = false;  // the transport started; false: nothing was served
  int exitCode = 0;
};
// Once listening (and holding the bus name in bus mode) it prints the banner ending with
// kReadyLine to stdout, flushed, then sends READY=1 to $NOTIFY_SOCKET when that is set. Both
// come after listen(): the socket file appears at bind() already, so it says nothing.
ServeOutcome Serve(const ServerOptions& options);

// Only after a Serve that served: a server that could not start (say, another one answers on
// the socket) must not overwrite the store's schedule file under the one that runs.
void StopServices();

}  // namespace kv::app
