#pragma once
// kelvarin-cli's batch runner: "batch FILE|-" runs the lines of a file (cli/batch_line.h) in
// order on one command object.
#include <iosfwd>

#include "cli/cli_options.h"

namespace kv::cli {

// Reads o.batchFile, or `in` for "-". Every line is checked before anything connects: each bad
// one is told on `err` as "FILE:LINE: why" and nothing runs (kExitUsage). Then the lines run on
// one session, each printed on `out` as "> line" and its report (errors in line), or as one JSON
// line each; a call that could not be made ends the run. Returns the worst exit status of the
// calls; kExitUsage when the file cannot be read or no session opens.
int RunBatch(const CliOptions& o, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace kv::cli
