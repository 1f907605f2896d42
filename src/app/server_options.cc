#include "app/server_options.h"

#include "protocol/socket_path.h"

namespace kv::app {

namespace {

constexpr const char* kUsage =
    "Usage: kelvarin [OPTIONS]\n"
    "\n"
    "Serves the calculation commands (CalcCommands, CalcAppCommands) over D-Bus.\n"
    "\n"
    "Options:\n"
    "  --socket PATH      listen on this private socket (peer-to-peer D-Bus). Default:\n"
    "                     $KELVARIN_SOCKET, else $XDG_RUNTIME_DIR/kelvarin/bus, else\n"
    "                     /run/kelvarin/bus as root, else /tmp/kelvarin-<uid>/bus\n"
    "  --bus system|session\n"
    "                     register com.quorlith.Kelvarin on a bus daemon instead\n"
    "  --exit-when-idle   end when the last client object has been released\n"
    "  --version          print the version and exit\n"
    "  --help             print this text and exit\n"
    "\n"
    "The object store lives under the root base directory: the HKLM registry value\n"
    "\"Shared Path\" (SOFTWARE\\Wow6432Node\\Quorlith\\Morvane Calc), else $MORVANE_CALC_BASE,\n"
    "else <data folder>/Quorlith/Morvane Calc. The registry files are in $KELVARIN_REGISTRY_DIR\n"
    "(else /etc/kelvarin as root, else $XDG_CONFIG_HOME/kelvarin).\n"
    "\n"
    "Connect with:  kelvarin-cli --address unix:path=SOCKET CalcCommandVersion\n"
    "          or:  busctl --address=unix:path=SOCKET introspect com.quorlith.Kelvarin /com/quorlith/Kelvarin\n";

ParsedCommandLine Exit(int code, std::string out, std::string err) {
  ParsedCommandLine p;
  p.exitCode = code;
  p.out = std::move(out);
  p.err = std::move(err);
  return p;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  parsed.serve = true;
  ServerOptions& o = parsed.options;
  o.transport.socketPath = protocol::DefaultSocketPath();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // The value of an option that takes one; null when the command line ends first.
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (a == "--help" || a == "-h") {
      return Exit(0, kUsage, "");
    } else if (a == "--version") {
      return Exit(0, std::string("kelvarin ") + kServerVersion + "\n", "");
    } else if (a == "--socket") {
      const std::string* v = value();
      if (!v) return Exit(2, "", "kelvarin: --socket needs a value\n");
      o.transport.socketPath = *v;
    } else if (a == "--bus") {
      const std::string* v = value();
      if (!v) return Exit(2, "", "kelvarin: --bus needs a value\n");
      if (*v == "system") {
        o.transport.bus = transport::Server::Options::System;
      } else if (*v == "session") {
        o.transport.bus = transport::Server::Options::Session;
      } else {
        return Exit(2, "", "kelvarin: --bus takes system or session, not '" + *v + "'\n");
      }
    } else if (a == "--exit-when-idle") {
      o.exitWhenIdle = true;
    } else {
      return Exit(2, "", "kelvarin: unknown argument '" + a + "' (see --help)\n");
    }
  }
  return parsed;
}

}  // namespace kv::app
