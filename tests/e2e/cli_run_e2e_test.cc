// kelvarin-cli run against the real server: what a run prints and its exit status for each way
// a calculation can end, so a shell sees a failing calculation.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "e2e/server_process.h"

namespace kv {
namespace {

class CliRunE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  // Runs kelvarin-cli with `words` and gives its standard output followed by "exit=N".
  std::string Cli(const std::string& words) {
    return testing::Shell("MORVANE_CALC_BASE='" + server_.Store() + "' KELVARIN_REGISTRY_DIR='" +
                          server_.RegistryDir() + "' " + KELVARIN_CLI + " --address " + server_.Address() + " " +
                          words + " 2>/dev/null; echo exit=$?");
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = server_.DataDir() + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  testing::ServerProcess server_;
};

TEST_F(CliRunE2E, ExitStatusFollowsTheLevel) {
  Cli("tag set Plant1 Flow 2.5");
  Cli("tag set Plant1 Out 0");
  const std::string batch = Write("calcs.txt",
                                  "c = CreateCalculationObject Good \"\" \"\"\n"
                                  "SetObjectProperties @c Script \"Out = Flow * 2\"\n"
                                  "CreateCalcScriptParams @c Plant1 null null\n"
                                  "SaveCalculationObject @c\n"
                                  "c = CreateCalculationObject Broken \"\" \"\"\n"
                                  "SetObjectProperties @c Script \"return nosuch.x\"\n"
                                  "SaveCalculationObject @c\n");
  ASSERT_NE(Cli("batch " + batch).find("exit=0"), std::string::npos);
  struct Case {
    std::string words;
    std::string output;  // a part of standard output, with the exit status
  } cases[] = {
      {"run Good", "Value:     5\nLevel:     0 (ok)\nStatus:    OK\nErrorText: \nexit=0"},
      {"run --json Good", "\"value\":5,\"level\":0,\"status\":\"OK\",\"error_text\":\"\"}\nexit=0"},
      {"run Broken", "Level:     2 (error)\nStatus:    Run error\nErrorText: Broken:1: attempt to index a nil value"},
      {"run Broken", "exit=3"},
      {"run NoSuchCalc", "exit=4"},
      {"run --file " + Write("ok.lua", "return 6 * 7"), "Value:     42\n"},
      {"run --file " + Write("bad.lua", "x = = 1"), "Status:    Compile error\n"},
      {"run --file " + Write("bad2.lua", "x = = 1"), "exit=3"},
      {"run FiveSec", "schedule group FiveSec made due now\nexit=0"},
      {"run", "exit=2"},
      {"run Good Other", "exit=2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    const std::string got = Cli(c.words);
    EXPECT_NE(got.find(c.output), std::string::npos) << got;
  }
}

}  // namespace
}  // namespace kv
