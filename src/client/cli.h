#pragma once
// kelvarin-cli: calls one command (or a batch of them) on a command object in kelvarin and
// prints what it answered. UsageText() is the full description of the command line.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "client/connection.h"

namespace kv::client {

inline constexpr int kExitOk = 0;       // the result means success
inline constexpr int kExitFailure = 1;  // a failure result, or the server refused the call
inline constexpr int kExitUsage = 2;    // a bad command line or batch, or no working connection

struct CliOptions {
  enum class Mode { kCall, kBatch, kList, kUsage, kMethodHelp };
  Mode mode = Mode::kUsage;
  std::string address;  // empty: the default address
  bool useBus = false;
  Connection::Bus bus = Connection::Bus::kSystem;
  bool app = false;  // CalcAppCommands with SetBaseDirectory(appName) first
  std::string appName;
  bool json = false;
  uint64_t timeoutUsec = 0;
  std::string method;              // kCall, kMethodHelp
  std::vector<std::string> args;   // kCall
  std::string batchFile;           // kBatch: a path, or "-" for standard input
};

// The command line without the program name. False with a reason for a bad one.
bool ParseCliOptions(const std::vector<std::string>& argv, CliOptions* out, std::string* error);

std::string UsageText();

// Runs the command line; returns the exit status. `in` is read for "batch -".
int RunCli(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace kv::client
