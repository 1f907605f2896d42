#include "app/server_options.h"

#include <getopt.h>

#include <string_view>

#include "protocol/socket_path.h"

namespace kv::app {

namespace {

constexpr const char* kUsage =
    "Usage: kelvarin [OPTIONS]\n"
    "       kelvarin Install [ACCOUNT] | Uninstall | InstallDebug\n"
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
    "Other arguments are named on stderr and ignored.\n"
    "\n"
    "Installation (the first argument, in any case, bare or after - or /):\n"
    "  Install [ACCOUNT]  install or update the systemd service CalculatorServerService (run\n"
    "                     as ACCOUNT, default root), its D-Bus policy and activation files,\n"
    "                     and register the classes; also Register, RegServer, Service\n"
    "  Uninstall          stop and remove the service, unregister the classes; also\n"
    "                     Unregister, UnregServer, Remove\n"
    "  InstallDebug       register the classes only\n"
    "  Folders: $KELVARIN_UNIT_DIR, $KELVARIN_DBUS_POLICY_DIR, $KELVARIN_DBUS_SERVICES_DIR,\n"
    "  $KELVARIN_INTERFACES_DIR; $KELVARIN_SYSTEMCTL names the systemctl program.\n"
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
  // that is not an option (it is skipped below, in order); ":" reports a missing value apart.
  optind = 0;
  opterr = 0;
  // Any other argument still runs the server (the installation switches are only whole words
  // in the first place, so "--RegServer" serves): it is named on stderr and skipped.
  auto ignore = [&](const std::string& word) { parsed.err += "kelvarin: ignoring unknown argument '" + word + "'\n"; };
  for (;;) {
    int at = optind == 0 ? 1 : optind;  // the word this option starts in
    int index = -1;
    int c = getopt_long(argc, argv.data(), "+:h", kLong, &index);
    if (c == -1) {
      if (optind >= argc) break;
      // After "--" every word is an argument; otherwise only this one, and options go on.
      const bool rest = optind > 1 && words[static_cast<size_t>(optind - 1)] == "--";
      for (int i = optind; i < (rest ? argc : optind + 1); ++i) ignore(words[static_cast<size_t>(i)]);
      if (rest) break;
      ++optind;
      continue;
    }
    const std::string word = at < argc ? words[static_cast<size_t>(at)] : "";
    // getopt takes abbreviations ("--sock"); only whole names are options here.
    auto whole = [&](const char* name) {
      std::string full = std::string("--") + name;
      return word == full || word.rfind(full + "=", 0) == 0;
    };
    if (index >= 0 && !whole(kLong[index].name)) {
      ignore(word);
      // An abbreviation took the next word as its value: that word is no option either.
      if (kLong[index].has_arg == required_argument && word.find('=') == std::string::npos && at + 1 < argc)
        ignore(words[static_cast<size_t>(at + 1)]);
      continue;
    }
    switch (c) {
      case 'h':
        return Exit(0, kUsage, "");
      case kVersion:
        return Exit(0, std::string("kelvarin ") + kServerVersion + " (command interface " + kCommandInterfaceVersion +
                           ")\n", "");
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
        // A cluster of short options ("-xh") is one word: named once.
        if (word.rfind("--", 0) == 0 || optind > at || at >= argc) ignore(word);
        break;
    }
  }
  return parsed;
}

}  // namespace kv::app
