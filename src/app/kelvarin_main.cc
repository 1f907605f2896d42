// The server's entry: a local server that serves the two command classes over D-Bus until it is
// told to stop (SIGTERM, SIGINT) or, with --exit-when-idle, until the last client object is gone.
#include <cstdio>
#include <string>
#include <vector>

#include "app/server_host.h"
#include "app/server_options.h"

int main(int argc, char** argv) {
  using namespace kv::app;
  ParsedCommandLine cmd = ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (!cmd.serve) {
    std::fputs(cmd.out.c_str(), stdout);
    std::fputs(cmd.err.c_str(), stderr);
    return cmd.exitCode;
  }
  StartServices();
  ServeOutcome outcome = Serve(cmd.options);
  if (outcome.served) StopServices();
  return outcome.exitCode;
}
