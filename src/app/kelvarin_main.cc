// The server's entry. Argument 1 may be an installation or registration switch (see
// service_switches.h), which does its work and ends the process; anything else runs the server,
// as a systemd service when the service manager started it, else as a local server until
// SIGTERM or SIGINT (or, with --exit-when-idle, until the last client object is gone).
#include <cstdio>
#include <string>
#include <vector>

#include "app/server_options.h"
#include "app/service_module.h"
#include "app/service_switches.h"
#include "platform/env.h"

int main(int argc, char** argv) {
  using namespace kv::app;
  // Before any thread starts, so that only the Run thread's signalfd sees the controls.
  BlockControlSignals();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };

  CServiceModule module(kv::platform::Env::Current());
  module.Init();
  switch (ClassifySwitch(arg(0))) {
    case ServiceSwitch::Unregister:
      module.ConfigureInstallation();
      return ExitCodeOf(module.UnregisterServer());
    case ServiceSwitch::Register:
      module.ConfigureInstallation();
      return ExitCodeOf(module.RegisterServer(true, true, arg(1), arg(2)));
    case ServiceSwitch::InstallDebug:
      module.ConfigureInstallation();
      return ExitCodeOf(module.RegisterServerDebug());
    case ServiceSwitch::None:
      break;
  }

  ParsedCommandLine cmd = ParseCommandLine(args);
  std::fputs(cmd.out.c_str(), stdout);
  std::fputs(cmd.err.c_str(), stderr);
  if (!cmd.serve) return cmd.exitCode;
  return module.Start(cmd.options);
}
