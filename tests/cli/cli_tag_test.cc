// kelvarin-cli tag: seeding and reading tags in a database of the test's own, and the answers
// to bad words.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_options.h"
#include "cli/cli_tag.h"
#include "support/test_env.h"

namespace kv::cli {
namespace {

class CliTagTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> words) {
    std::vector<std::string> args = {"--db", db};
    args.insert(args.end(), words.begin(), words.end());
    out.str("");
    err.str("");
    return RunTag(args, testEnv.env(), out, err);
  }
  kv::testing::TestEnv testEnv;  // clock at 2025-12-10 00:00 UTC
  std::string db = testEnv.Path("tags.db");
  std::ostringstream out, err;
};

TEST_F(CliTagTest, SetGetListAndHistory) {
  ASSERT_EQ(Run({"set", "Plant1", "TempF", "212", "--units", "F"}), kExitOk) << err.str();
  ASSERT_EQ(Run({"set", "plant1", "tempf", "98.5"}), kExitOk);
  ASSERT_EQ(Run({"set", "Plant1", "Mode", "auto", "--quality", "0"}), kExitOk);
  EXPECT_EQ(Run({"get", "PLANT1", "TEMPF"}), kExitOk);
  EXPECT_EQ(out.str(), "98.5\tF\t192\t2025-12-10T00:00:00.000Z\n");
  EXPECT_EQ(Run({"list"}), kExitOk);
  EXPECT_EQ(out.str(),
            "Plant1\tMode\tauto\t\t0\t2025-12-10T00:00:00.000Z\n"
            "Plant1\tTempF\t98.5\tF\t192\t2025-12-10T00:00:00.000Z\n");
  EXPECT_EQ(Run({"history", "Plant1", "TempF"}), kExitOk);
  EXPECT_EQ(out.str(), "2025-12-10T00:00:00.000Z\t212\t192\n2025-12-10T00:00:00.000Z\t98.5\t192\n");
  EXPECT_EQ(Run({"history", "Plant1", "TempF", "1"}), kExitOk);
  EXPECT_EQ(out.str(), "2025-12-10T00:00:00.000Z\t98.5\t192\n");
}

// --json gives the same rows as objects named by their columns; numbers stay numbers.
TEST_F(CliTagTest, JsonRowsNameTheirColumns) {
  ASSERT_EQ(Run({"set", "Plant1", "TempF", "212", "--units", "F"}), kExitOk) << err.str();
  ASSERT_EQ(Run({"set", "Plant1", "Mode", "a\"b"}), kExitOk);
  const struct {
    std::vector<std::string> words;
    std::string json;
  } cases[] = {
      {{"list", "--json"},
       "[{\"server\":\"Plant1\",\"tag\":\"Mode\",\"value\":\"a\\\"b\",\"units\":\"\",\"quality\":192,"
       "\"time_utc\":\"2025-12-10T00:00:00.000Z\"},"
       "{\"server\":\"Plant1\",\"tag\":\"TempF\",\"value\":212,\"units\":\"F\",\"quality\":192,"
       "\"time_utc\":\"2025-12-10T00:00:00.000Z\"}]\n"},
      {{"--json", "get", "Plant1", "TempF"},
       "{\"value\":212,\"units\":\"F\",\"quality\":192,\"time_utc\":\"2025-12-10T00:00:00.000Z\"}\n"},
      {{"history", "Plant1", "TempF", "--json"}, "[{\"time_utc\":\"2025-12-10T00:00:00.000Z\",\"value\":212,\"quality\":192}]\n"},
      {{"spool", "--json"}, "[]\n"},
      {{"forward", "--json"}, "{\"forwarded\":0}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0]);
    ASSERT_EQ(Run(c.words), kExitOk) << err.str();
    EXPECT_EQ(out.str(), c.json);
  }
}

// The time a write takes from the clock is shown to the millisecond, in UTC, without rounding
// into the next second or day.
TEST_F(CliTagTest, TimesShowTheClockToTheMillisecond) {
  const struct {
    int64_t unixMs;
    const char* text;
  } cases[] = {
      {1765353600250, "2025-12-10T08:00:00.250Z"},
      {1765411199999, "2025-12-10T23:59:59.999Z"},
      {951782400001, "2000-02-29T00:00:00.001Z"},
      {-86400000, "1969-12-31T00:00:00.000Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testEnv.clock().Set(c.unixMs);
    ASSERT_EQ(Run({"set", "Plant1", "T", "1"}), kExitOk) << err.str();
    ASSERT_EQ(Run({"get", "Plant1", "T"}), kExitOk);
    EXPECT_EQ(out.str(), std::string("1\t\t192\t") + c.text + "\n");
  }
}

TEST_F(CliTagTest, OfflineServersSpoolAndMissingTagsFail) {
  ASSERT_EQ(Run({"set", "Remote", "T", "1"}), kExitOk);
  EXPECT_EQ(Run({"server", "Remote", "offline"}), kExitOk);
  EXPECT_EQ(Run({"get", "Remote", "T"}), kExitOk) << "the tool still shows what the store holds";
  EXPECT_EQ(Run({"spool"}), kExitOk);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(Run({"forward"}), kExitOk);
  EXPECT_EQ(out.str(), "0 forwarded\n");
  EXPECT_EQ(Run({"get", "Remote", "Nope"}), kExitFailure);
  EXPECT_EQ(err.str(), "kelvarin-cli tag: Remote/Nope: no such tag\n");
  EXPECT_EQ(Run({"delete", "Remote", "T"}), kExitOk);
  EXPECT_EQ(Run({"delete", "Remote", "T"}), kExitFailure);
}

TEST_F(CliTagTest, BadWordsAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"bogus"}, {"get", "S"}, {"set", "S", "T"}, {"history", "S", "T", "0"}, {"server", "S", "maybe"},
      {"get", "S", "T", "--units", "C"}, {"set", "S", "T", "1", "--quality", "x"}, {"list", "--db"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c));
    std::vector<std::string> args = c;
    out.str("");
    err.str("");
    if (c.size() == 2 && c[1] == "--db") {
      EXPECT_EQ(RunTag(args, testEnv.env(), out, err), kExitUsage);
    } else {
      EXPECT_EQ(Run(args), kExitUsage);
    }
    EXPECT_NE(err.str(), "");
  }
}

}  // namespace
}  // namespace kv::cli
