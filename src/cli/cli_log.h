#pragma once
// kelvarin-cli log: the server's diagnostic log (UTF-16LE, CR LF; log/debug_log.h) printed as
// UTF-8 with LF line ends, optionally from a time on and following what is appended.
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace kv::cli {

// Turns the log's bytes, fed in pieces as they are read, into UTF-8 text with LF line ends.
// A piece may end anywhere (inside a character, a surrogate pair or a CR LF): what cannot be
// decoded yet waits for the next piece. A byte-order mark at the start is dropped.
class LogDecoder {
 public:
  std::string Feed(std::string_view bytes);
  // The file started afresh: the next byte is the start of a file again.
  void Restart() { *this = LogDecoder(); }

 private:
  bool atStart_ = true;
  std::string pendingBytes_;  // an odd byte, or a high surrogate waiting for its pair
  bool pendingCr_ = false;
};

// The file the server (a "kelvarin" next to this program) writes its log to for the user
// `env` names, worked out by the log itself (DebugLog::FilePath) from `env`; a path of this
// file system.
std::string ServerLogFile(platform::Env& env);

// The words after "log": [--follow|-f] [--since TIME] [--file PATH] [--path]. Without --file
// the log is ServerLogFile(env). With --follow, `pause` is called each time the end is
// reached; it waits and returns whether to look again. Returns kExitOk, kExitFailure when the
// file cannot be read, kExitUsage for bad words.
// --since's TIME as a local OLE date: an absolute date (ParseDate), "today" or "yesterday" (their
// midnight), or a span back from now ("10min", "2h", "1d ago", "PT30S"); now is `time`'s.
bool ParseSince(std::string_view text, const platform::LocalTime& time, double* localDate, std::string* why);

int RunLog(const std::vector<std::string>& args, platform::Env& env, std::ostream& out, std::ostream& err,
           const std::function<bool()>& pause);

std::string LogHelp();

}  // namespace kv::cli
