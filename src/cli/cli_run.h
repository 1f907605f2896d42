#pragma once
// kelvarin-cli run: runs a stored calculation by name, or a script from a file as a temporary
// calculation, prints Value, Level, Status and ErrorText, and says through its exit status how
// the run went, so a shell script or a CI job sees a failing calculation.
#include <iosfwd>
#include <string>

#include "cli/cli_options.h"

namespace kv::cli {

// Exit statuses of run besides kExitOk (Level 0) and kExitUsage.
inline constexpr int kExitRunWarning = 1;  // Level 1 (kExitOk with --warn-ok)
inline constexpr int kExitRunError = 3;    // Level 2: the calculation failed
inline constexpr int kExitNotRun = 4;      // nothing ran: no such calculation, or refused

// The words after "run": NAME | --file PATH, with --warn-ok and --json in any place. A name that
// is a schedule group makes the group due now (kExitOk).
int RunRun(const CliOptions& o, std::ostream& out, std::ostream& err);

std::string RunHelp();

}  // namespace kv::cli
