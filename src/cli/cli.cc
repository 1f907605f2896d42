#include "cli/cli.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "cli/cli_batch.h"
#include "cli/cli_complete.h"
#include "cli/cli_log.h"
#include "cli/cli_reg.h"
#include "cli/cli_run.h"
#include "cli/cli_scheduler.h"
#include "cli/cli_session.h"
#include "cli/cli_tag.h"

namespace kv::cli {

int RunCli(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err) {
  CliOptions o;
  std::string why;
  if (!ParseCliOptions(argv, &o, &why)) {
    err << "kelvarin-cli: " << why << "\n(kelvarin-cli --help explains the command line)\n";
    return kExitUsage;
  }
  switch (o.mode) {
    case CliOptions::Mode::kUsage:
    case CliOptions::Mode::kList:
    case CliOptions::Mode::kMethodHelp:
      return RunHelp(o, out, err);
    case CliOptions::Mode::kBatch:
      return RunBatch(o, in, out, err);
    case CliOptions::Mode::kCall:
      return RunOne(o, out, err);
    case CliOptions::Mode::kVersion:
      out << "kelvarin-cli " << kCliVersion << " (command interface " << kCommandInterfaceVersion << ")\n";
      return kExitOk;
    case CliOptions::Mode::kReg:
      return RunReg(o.args, *platform::Env::Current().registry, out, err);
    case CliOptions::Mode::kLog:
      return RunLog(o.args, platform::Env::Current(), out, err, [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        return true;
      });
    case CliOptions::Mode::kScheduler:
      return RunScheduler(o, out, err);
    case CliOptions::Mode::kRun:
      return RunRun(o, out, err);
    case CliOptions::Mode::kTag:
    {
      // --json before the subcommand counts as after it.
      std::vector<std::string> args = o.args;
      if (o.json) args.push_back("--json");
      return RunTag(args, platform::Env::Current(), out, err);
    }
    case CliOptions::Mode::kComplete:
      for (const std::string& c : CompletionCandidates(o.args)) out << c << "\n";
      return kExitOk;
  }
  return kExitUsage;
}

}  // namespace kv::cli
