#pragma once
// How kelvarin-cli reads its command line (described in full by UsageText, cli/cli_help.h),
// and the exit statuses every part of it answers with.
#include <cstdint>
#include <string>
#include <vector>

#include "client/connection.h"
#include "protocol/method_info.h"

#include "base/versions.h"

namespace kv::cli {

inline constexpr int kExitOk = 0;       // the result means success
inline constexpr int kExitFailure = 1;  // a failure result, or the server refused the call
inline constexpr int kExitUsage = 2;    // a bad command line or batch, or no working connection

// The version kelvarin-cli reports; the server's (app/server_options.h) is the same release.
inline constexpr const char* kCliVersion = kProductVersion;

struct CliOptions {
  // kReg, kLog and kTag work on local files (cli/cli_reg.h, cli/cli_log.h,
  // cli/cli_tag.h); kComplete answers
  // the shell completion script with the words that may come next.
  enum class Mode { kCall, kBatch, kList, kUsage, kMethodHelp, kVersion, kReg, kLog, kTag, kComplete, kScheduler, kRun };
  Mode mode = Mode::kUsage;
  std::string address;  // empty: the default address
  bool useBus = false;
  client::Connection::Bus bus = client::Connection::Bus::kSystem;
  bool app = false;  // CalcAppCommands with SetBaseDirectory(appName) first
  std::string appName;
  bool json = false;
  uint64_t timeoutUsec = 0;
  std::string method;              // kCall, kMethodHelp
  std::vector<std::string> args;   // kCall; kReg, kLog, kTag: the words after the subcommand;
                                   // kComplete: the command line typed so far
  std::string batchFile;           // kBatch: a path, or "-" for standard input
};

// The command line without the program name. Fills *out and returns true; for a bad one returns
// false with a one-line reason in *error and leaves *out alone.
bool ParseCliOptions(const std::vector<std::string>& argv, CliOptions* out, std::string* error);

// The method table of the command object the options ask for: CalcAppCommands with --app,
// else CalcCommands.
const InterfaceTable& CommandTable(const CliOptions& o);

}  // namespace kv::cli
