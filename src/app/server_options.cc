#include "app/server_options.h"

#include <getopt.h>

#include <string_view>

#include "protocol/socket_path.h"

namespace kv::app {

namespace {

constexpr const char* kUsage =
    "Usage: kelvarin [OPTIONS]\n"
    "\n"
    "Serves the calculation commands (CalcCommands, CalcAppCommands) over D-Bus.\n"
    "\n"
    "Options:\n"
    "  --socket PATH, --socket=PATH\n"
    "                     listen on this private socket (peer-to-peer D-Bus). Default:\n"
    "                     $KELVARIN_SOCKET, else $XDG_RUNTIME_DIR/kelvarin/bus, else\n"
    "                     /run/kelvarin/bus as root, else /tmp/kelvarin-<uid>/bus\n"
    "  --bus system|session, --bus=system|session\n"
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

  enum { kSocket = 1, kBus, kExitWhenIdle, kVersion };
  static const option kLong[] = {
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {"socket", required_argument, nullptr, kSocket},
      {"bus", required_argument, nullptr, kBus},
      {"exit-when-idle", no_argument, nullptr, kExitWhenIdle},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::string> words;
  words.reserve(args.size() + 1);
  words.push_back("kelvarin");
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  // getopt keeps its position in globals: start over on every call. "+" stops at the first word
  // that is not an option (it is refused below, in order); ":" reports a missing value apart.
  optind = 0;
  opterr = 0;
  for (;;) {
    int at = optind == 0 ? 1 : optind;  // the word this option starts in
    int index = -1;
    int c = getopt_long(argc, argv.data(), "+:h", kLong, &index);
    if (c == -1) break;
    const std::string word = at < argc ? words[static_cast<size_t>(at)] : "";
    // getopt takes abbreviations ("--sock"); only whole names are options here.
    auto whole = [&](const char* name) {
      std::string full = std::string("--") + name;
      return word == full || word.rfind(full + "=", 0) == 0;
    };
    if (index >= 0 && !whole(kLong[index].name)) return Exit(2, "", "kelvarin: unknown argument '" + word + "' (see --help)\n");
    switch (c) {
      case 'h':
        return Exit(0, kUsage, "");
      case kVersion:
        return Exit(0, std::string("kelvarin ") + kServerVersion + "\n", "");
      case kSocket:
        if (!*optarg) return Exit(2, "", "kelvarin: --socket needs a value\n");
        o.transport.socketPath = optarg;
        break;
      case kBus:
        if (std::string_view(optarg) == "system") {
          o.transport.bus = transport::Server::Options::System;
        } else if (std::string_view(optarg) == "session") {
          o.transport.bus = transport::Server::Options::Session;
        } else {
          return Exit(2, "", std::string("kelvarin: --bus takes system or session, not '") + optarg + "'\n");
        }
        break;
      case kExitWhenIdle:
        o.exitWhenIdle = true;
        break;
      case ':':
        return Exit(2, "", "kelvarin: " + word.substr(0, word.find('=')) + " needs a value\n");
      default:
        // An unknown option, or a value given to one that takes none.
        if (word.find('=') != std::string::npos && word.rfind("--", 0) == 0) {
          std::string name = word.substr(0, word.find('='));
          for (const option* l = kLong; l->name; ++l)
            if (name == std::string("--") + l->name) return Exit(2, "", "kelvarin: " + name + " takes no value\n");
        }
        return Exit(2, "", "kelvarin: unknown argument '" + word + "' (see --help)\n");
    }
  }
  if (optind < argc) return Exit(2, "", "kelvarin: unknown argument '" + words[static_cast<size_t>(optind)] + "' (see --help)\n");
  return parsed;
}

}  // namespace kv::app
