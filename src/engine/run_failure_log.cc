#include "engine/run_failure_log.h"

namespace kv::engine {

bool RunFailureLog::Note(const std::string& calc, bool failed, const std::string& status, const std::string& error,
                         int64_t nowMs, std::string* message, std::string* detail) {
  std::lock_guard lock(mu_);
  auto it = failing_.find(calc);
  if (!failed) {
    if (it == failing_.end()) return false;
    *message = "calculation " + calc + " runs again after " + std::to_string(it->second.failures) +
               (it->second.failures == 1 ? " failure" : " failures");
    detail->clear();
    failing_.erase(it);
    return true;
  }
  *detail = status + ": " + error;
  if (it == failing_.end() || it->second.status != status || it->second.error != error) {
    Entry& e = failing_[calc];
    e.failures += 1;
    e.status = status;
    e.error = error;
    e.reportedMs = nowMs;
    e.unreported = 0;
    *message = "calculation " + calc + " failed";
    return true;
  }
  Entry& e = it->second;
  e.failures += 1;
  e.unreported += 1;
  if (nowMs - e.reportedMs < kRepeatReportMs) return false;
  *message = "calculation " + calc + " failed " + std::to_string(e.unreported) + " more " +
             (e.unreported == 1 ? "time" : "times") + " in " + std::to_string((nowMs - e.reportedMs) / 60000) +
             " min with the same error";
  e.reportedMs = nowMs;
  e.unreported = 0;
  return true;
}

}  // namespace kv::engine
