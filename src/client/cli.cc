#include "client/cli.h"

#include <ostream>

#include "client/cli_batch.h"
#include "client/cli_session.h"

namespace kv::client {

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
  }
  return kExitUsage;
}

}  // namespace kv::client
