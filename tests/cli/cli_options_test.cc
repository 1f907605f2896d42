#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli.h"
#include "cli/cli_reg.h"

namespace kv::cli {
namespace {

using Mode = CliOptions::Mode;

TEST(CliOptionsTest, CommandLines) {
  struct Case {
    std::vector<std::string> argv;
    bool ok;
    Mode mode;
    std::string method;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {{"CalcCommandVersion"}, true, Mode::kCall, "CalcCommandVersion", {}},
      {{"--json", "AddUnit", "Length", "-m", "--json", "-1e3"}, true, Mode::kCall, "AddUnit", {"Length", "-m", "--json", "-1e3"}},
      {{"--", "--odd"}, true, Mode::kCall, "--odd", {}},
      {{"batch", "-"}, true, Mode::kBatch, "", {}},
      {{"--list"}, true, Mode::kList, "", {}},
      {{"--help"}, true, Mode::kUsage, "", {}},
      {{"-h", "GetConversion"}, true, Mode::kMethodHelp, "GetConversion", {}},
      {{"--version"}, true, Mode::kVersion, "", {}},
      {{"reg", "get", "HKLM\\A", "--type", "x"}, true, Mode::kReg, "", {"get", "HKLM\\A", "--type", "x"}},
      {{"--json", "log", "-f"}, true, Mode::kLog, "", {"-f"}},
      {{"--help", "reg"}, true, Mode::kMethodHelp, "reg", {}},
      // Completion gets the words as typed, options and all.
      {{"--complete", "--app", "x", "Get"}, true, Mode::kComplete, "", {"--app", "x", "Get"}},
      {{"--complete"}, true, Mode::kComplete, "", {}},
      {{}, false, Mode::kUsage, "", {}},
      {{"--json"}, false, Mode::kUsage, "", {}},
      {{"--bogus", "M"}, false, Mode::kUsage, "", {}},
      {{"batch"}, false, Mode::kUsage, "", {}},
      {{"batch", "a", "b"}, false, Mode::kUsage, "", {}},
      {{"--list", "x"}, false, Mode::kUsage, "", {}},
      {{"--help", "a", "b"}, false, Mode::kUsage, "", {}},
      {{"--bus", "desktop", "M"}, false, Mode::kUsage, "", {}},
      {{"--bus", "system", "--address", "unix:path=/x", "M"}, false, Mode::kUsage, "", {}},
      {{"--address", "unix:path=/x", "--socket", "/y", "M"}, false, Mode::kUsage, "", {}},
      {{"--address"}, false, Mode::kUsage, "", {}},
      {{"--timeout", "0", "M"}, false, Mode::kUsage, "", {}},
      {{"--timeout", "soon", "M"}, false, Mode::kUsage, "", {}},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.argv) line += a + " ";
    SCOPED_TRACE(line);
    CliOptions o;
    std::string error;
    bool ok = ParseCliOptions(c.argv, &o, &error);
    ASSERT_EQ(ok, c.ok) << error;
    if (!ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(o.mode, c.mode);
    EXPECT_EQ(o.method, c.method);
    EXPECT_EQ(o.args, c.args);
  }
}

TEST(CliOptionsTest, ConnectionAndObjectChoices) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(ParseCliOptions({"--socket=/tmp/k bus", "--app=Plant 7", "--timeout", "1.5", "--json", "M"}, &o, &error))
      << error;
  EXPECT_EQ(o.address, "unix:path=/tmp/k%20bus");
  EXPECT_TRUE(o.app);
  EXPECT_EQ(o.appName, "Plant 7");
  EXPECT_EQ(o.timeoutUsec, 1500000u);
  EXPECT_TRUE(o.json);
  EXPECT_FALSE(o.useBus);

  ASSERT_TRUE(ParseCliOptions({"--bus", "session", "batch", "jobs.txt"}, &o, &error)) << error;
  EXPECT_TRUE(o.useBus);
  EXPECT_EQ(o.bus, client::Connection::Bus::kSession);
  EXPECT_EQ(o.batchFile, "jobs.txt");
}

TEST(CliOptionsTest, ListAndHelpNeedNoServer) {
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(RunCli({"--list"}, in, out, err), kExitOk);
  EXPECT_NE(out.str().find("GetConversion(MeasurementType string, UnitsIn string, inout UnitsOut string, "
                           "inout Multiplier double, inout Offset double) -> bool\n"),
            std::string::npos);
  out.str("");
  EXPECT_EQ(RunCli({"--app", "x", "--list"}, in, out, err), kExitOk);
  EXPECT_NE(out.str().find("SetBaseDirectory(Directory string) -> bool\n"), std::string::npos);
  out.str("");
  EXPECT_EQ(RunCli({"--help", "getcalculationobject"}, in, out, err), kExitOk);
  EXPECT_NE(out.str().find("usage: kelvarin-cli GetCalculationObject ObjectName\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("no object (null) means failure"), std::string::npos);
  EXPECT_EQ(RunCli({"--help", "SetBaseDirectory"}, in, out, err), kExitUsage) << "not on the command interface";
  out.str("");
  EXPECT_EQ(RunCli({"--help"}, in, out, err), kExitOk);
  EXPECT_EQ(out.str(), UsageText());
  out.str("");
  EXPECT_EQ(RunCli({"--version"}, in, out, err), kExitOk);
  EXPECT_EQ(out.str(), std::string("kelvarin-cli ") + kCliVersion + " (command interface v7.3)\n");
  out.str("");
  EXPECT_EQ(RunCli({"--help", "reg"}, in, out, err), kExitOk);
  EXPECT_EQ(out.str(), RegHelp());
}

}  // namespace
}  // namespace kv::cli
