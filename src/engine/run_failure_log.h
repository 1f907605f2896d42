#pragma once
// What a schedule group writes to the diagnostic log about failing runs, so that a calculation
// failing every second is seen without flooding the log: the first failure of a calculation,
// and each change of its error, is written at once; repeats of the same error are counted and
// written as one line per kRepeatReportMs; a run that succeeds after failures says so.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace kv::engine {

class RunFailureLog {
 public:
  static constexpr int64_t kRepeatReportMs = 5 * 60 * 1000;

  // One run of `calc` at the monotonic time `nowMs`: failed, with its Status and error text.
  // Gives the message and detail of the line to write, or false when nothing is to be written.
  bool Note(const std::string& calc, bool failed, const std::string& status, const std::string& error,
            int64_t nowMs, std::string* message, std::string* detail);

 private:
  struct Entry {
    std::string status, error;
    int64_t reportedMs = 0;
    uint64_t unreported = 0;  // repeats since the last line
    uint64_t failures = 0;    // in a row
  };
  std::mutex mu_;
  std::map<std::string, Entry> failing_;
};

}  // namespace kv::engine
