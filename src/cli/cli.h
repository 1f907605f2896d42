#pragma once
// kelvarin-cli: calls one command (or a batch of them) on a command object in kelvarin and
// prints what it answered. UsageText() is the full description of the command line. The work
// is split by job: reading the command line (cli_options.h), help (cli_help.h), one call
// (cli_session.h), batches (cli_batch.h), the registry store (cli_reg.h), the diagnostic log
// (cli_log.h) and shell completion (cli_complete.h).
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/cli_help.h"
#include "cli/cli_options.h"

namespace kv::cli {

// Runs the command line; returns the exit status. `in` is read for "batch -". A bad command
// line is told on `err` as kExitUsage before anything else happens.
int RunCli(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace kv::cli
