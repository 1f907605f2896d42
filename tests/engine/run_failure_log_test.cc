// What a schedule group tells the log about failing runs: the first failure and each new error
// at once, repeats of one error as a count every five minutes, and the recovery.
#include <gtest/gtest.h>

#include "engine/run_failure_log.h"

namespace kv::engine {
namespace {

TEST(RunFailureLog, FirstAndChangedErrorsAtOnceRepeatsCountedRecoveryTold) {
  constexpr int64_t kMin = 60 * 1000;
  struct Step {
    int64_t atMs;
    bool failed;
    const char* error;
    const char* message;  // nullptr: nothing written
  } steps[] = {
      {0, false, "", nullptr},
      {1000, true, "boom", "calculation C failed"},
      {2000, true, "boom", nullptr},
      {3000, true, "boom", nullptr},
      {5 * kMin, true, "boom", nullptr},
      {5 * kMin + 1000, true, "boom", "calculation C failed 4 more times in 5 min with the same error"},
      {5 * kMin + 2000, true, "bang", "calculation C failed"},
      {5 * kMin + 3000, false, "", "calculation C runs again after 6 failures"},
      {5 * kMin + 4000, false, "", nullptr},
      {5 * kMin + 5000, true, "boom", "calculation C failed"},
  };
  RunFailureLog log;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.atMs);
    std::string message, detail;
    const bool wrote = log.Note("C", s.failed, "Run error", s.error, s.atMs, &message, &detail);
    ASSERT_EQ(wrote, s.message != nullptr) << message;
    if (!wrote) continue;
    EXPECT_EQ(message, s.message);
    EXPECT_EQ(detail, s.failed ? std::string("Run error: ") + s.error : "");
  }
  // Each calculation is counted on its own.
  std::string message, detail;
  EXPECT_TRUE(log.Note("D", true, "Run error", "boom", 5 * kMin + 6000, &message, &detail));
}

}  // namespace
}  // namespace kv::engine
