#pragma once
// kelvarin-cli's work with the server: one command object on one connection, calls on it, and
// what is printed about each call.
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "client/remote_object.h"
#include "client/result_format.h"
#include "com/variant.h"
#include "protocol/method_info.h"

namespace kv::cli {

class Session {
 public:
  // `o` must outlive the session.
  explicit Session(const CliOptions& o);

  // Connects as the options say, creates the command object and, with --app, calls
  // SetBaseDirectory on it. Returns -1 when ready. Otherwise tells what went wrong (on `err`, or
  // a failed SetBaseDirectory as JSON on `out` with --json) and returns the exit status.
  int Open(std::ostream& out, std::ostream& err);

  // Calls one method with arguments already parsed and fills *r; after a failure value *r also
  // holds the object's last command error, which decides whether the answer is a failure or a
  // successful empty one (JudgeAnswer). Returns kExitOk, kExitFailure for a failure answer or
  // a call the server refused, kExitUsage for a call that could not be made (bad connection).
  int Run(const MethodInfo& m, const std::vector<com::Variant>& args, client::CallReport* r);

  // Releases the command object in the server (nothing when Open made none).
  void Close();

  // The command object Open made; only after Open returned -1.
  client::RemoteObject& Object() { return *obj_; }

 private:
  // The object's last command error, or nullopt when it could not be fetched.
  std::optional<std::pair<int32_t, std::string>> LastError();

  const CliOptions& opts_;
  const InterfaceTable& table_;
  std::shared_ptr<client::RemoteObject> obj_;
};

// Prints one call: as one JSON line on `out`, or as its text on `out` and its error line (when
// it has one) on `errors`.
void PrintReport(const client::CallReport& r, bool json, std::ostream& out, std::ostream& errors);

// A kCall command line. A method not in the table or arguments that do not fit it are told on
// `err` (with the method's help) as kExitUsage before anything connects; otherwise the method
// runs on a new session, the call is printed and its exit status returned.
int RunOne(const CliOptions& o, std::ostream& out, std::ostream& err);

}  // namespace kv::cli
