#pragma once
// What kelvarin-cli tells people about its command line and the method tables: --help, --list
// and --help METHOD. None of it needs a server.
#include <iosfwd>
#include <string>
#include <string_view>

#include "cli/cli_options.h"
#include "protocol/method_info.h"

namespace kv::cli {

// The full description of the command line.
std::string UsageText();

// One line per method in table order: "Name(Param type, inout Param type) -> type".
std::string MethodList(const InterfaceTable& table);

// How to call one method: its usage line (optional trailing in/out parameters in brackets), one
// line per parameter with the words it takes, and which result means failure.
std::string MethodHelp(const InterfaceTable& table, const MethodInfo& method);

// Whether `method` hands back an object (its result or an in/out parameter).
bool ReturnsObject(const MethodInfo& method);
// What a single call (not a batch) that got an object back tells on standard error: the object
// is already gone, how to keep one (batch), and how to cancel an edit copy it left
// (`firstArg`, the object's name, goes into that command).
std::string OneShotObjectNote(const MethodInfo& method, const std::string& firstArg);

// The method `name` of `table`, matched without regard to case; null when there is none.
const MethodInfo* FindMethod(const InterfaceTable& table, std::string_view name);
// The same, but a missing method is also told to `err` with a pointer to --list.
const MethodInfo* FindMethodOrReport(const InterfaceTable& table, std::string_view name, std::ostream& err);

// Answers a kUsage, kList or kMethodHelp command line on `out` with kExitOk; kExitUsage for an
// unknown method.
int RunHelp(const CliOptions& o, std::ostream& out, std::ostream& err);

}  // namespace kv::cli
