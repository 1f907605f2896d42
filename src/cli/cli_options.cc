#include "cli/cli_options.h"

#include <algorithm>
#include <string_view>

#include "cli/cli_args.h"

namespace kv::cli {

namespace {

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& argv, CliOptions* out, std::string* error) {
  CliOptions o;
  bool list = false, help = false, version = false, haveAddress = false;
  size_t i = 0;
  auto value = [&](const std::string& opt, std::string* v) {
    std::string_view a = argv[i];
    if (a.size() > opt.size() && a.substr(0, opt.size()) == opt && a[opt.size()] == '=') {
      *v = std::string(a.substr(opt.size() + 1));
      return true;
    }
    if (i + 1 >= argv.size()) return false;
    *v = argv[++i];
    return true;
  };
  auto is = [&](const std::string& opt) {
    std::string_view a = argv[i];
    return a == opt || (a.size() > opt.size() && a.substr(0, opt.size()) == opt && a[opt.size()] == '=');
  };
  for (; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    std::string v;
    if (a == "--") {
      ++i;
      break;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--version") {
      version = true;
    } else if (a == "--complete") {
      // Hidden: what the completion script asks; the rest is the command line being typed.
      o.mode = CliOptions::Mode::kComplete;
      o.args.assign(argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
      *out = std::move(o);
      return true;
    } else if (a == "--list") {
      list = true;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (is("--address") || is("--socket")) {
      bool socket = is("--socket");
      if (!value(socket ? "--socket" : "--address", &v) || v.empty()) return Fail(error, a + " needs a value");
      if (haveAddress) return Fail(error, "give only one of --address and --socket");
      haveAddress = true;
      o.address = socket ? client::Connection::UnixAddress(v) : v;
    } else if (is("--bus")) {
      if (!value("--bus", &v)) return Fail(error, "--bus needs system or session");
      if (v == "system") o.bus = client::Connection::Bus::kSystem;
      else if (v == "session") o.bus = client::Connection::Bus::kSession;
      else return Fail(error, "--bus takes system or session, not \"" + v + "\"");
      o.useBus = true;
    } else if (is("--app")) {
      if (!value("--app", &v)) return Fail(error, "--app needs a name");
      o.app = true;
      o.appName = v;
    } else if (is("--timeout")) {
      double sec;
      std::string why;
      if (!value("--timeout", &v) || !ParseDouble(v, &sec, &why) || sec <= 0 || sec > 1e9)
        return Fail(error, "--timeout needs a positive number of seconds");
      o.timeoutUsec = static_cast<uint64_t>(sec * 1e6);
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail(error, "unknown option " + a);
    } else {
      break;
    }
  }
  if (haveAddress && o.useBus) return Fail(error, "give either an address or --bus, not both");
  std::vector<std::string> rest(argv.begin() + static_cast<std::ptrdiff_t>(std::min(i, argv.size())), argv.end());
  if (version) {
    o.mode = CliOptions::Mode::kVersion;
  } else if (help) {
    if (rest.size() > 1) return Fail(error, "--help takes at most one method name");
    o.mode = rest.empty() ? CliOptions::Mode::kUsage : CliOptions::Mode::kMethodHelp;
    if (!rest.empty()) o.method = rest[0];
  } else if (list) {
    if (!rest.empty()) return Fail(error, "--list takes no arguments");
    o.mode = CliOptions::Mode::kList;
  } else if (rest.empty()) {
    return Fail(error, "a METHOD is missing");
  } else if (rest[0] == "reg" || rest[0] == "log") {
    o.mode = rest[0] == "reg" ? CliOptions::Mode::kReg : CliOptions::Mode::kLog;
    o.args.assign(rest.begin() + 1, rest.end());
  } else if (rest[0] == "run") {
    o.mode = CliOptions::Mode::kRun;
    o.args.assign(rest.begin() + 1, rest.end());
  } else if (rest[0] == "scheduler") {
    o.mode = CliOptions::Mode::kScheduler;
    o.args.assign(rest.begin() + 1, rest.end());
  } else if (rest[0] == "tag") {
    o.mode = CliOptions::Mode::kTag;
    o.args.assign(rest.begin() + 1, rest.end());
  } else if (rest[0] == "batch") {
    if (rest.size() != 2) return Fail(error, "batch needs exactly one FILE (or - for standard input)");
    o.mode = CliOptions::Mode::kBatch;
    o.batchFile = rest[1];
  } else {
    o.mode = CliOptions::Mode::kCall;
    o.method = rest[0];
    o.args.assign(rest.begin() + 1, rest.end());
  }
  *out = std::move(o);
  return true;
}

const InterfaceTable& CommandTable(const CliOptions& o) {
  return o.app ? ICalcAppCommandsInterface() : ICalcCommandsInterface();
}

}  // namespace kv::cli
