// kelvarin-cli end to end against the transport server with stand-in command objects
// (support/served_commands.h): one call, its answers and exit statuses, and batches.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli.h"
#include "protocol/wire_names.h"
#include "support/served_commands.h"

namespace kv::cli {
namespace {

using testing::ServedCommands;

bool IsObjectPath(const std::string& p) { return p.rfind(protocol::kObjectPathPrefix, 0) == 0; }

class CliTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--address", server.address()});
    std::istringstream in(input);
    out.str("");
    err.str("");
    return RunCli(args, in, out, err);
  }

  ServedCommands server;
  std::ostringstream out, err;
};

TEST_F(CliTest, OneCall) {
  int live = ServedCommands::LiveCommands();
  EXPECT_EQ(Run({"CalcCommandVersion"}), kExitOk);
  EXPECT_EQ(out.str(), "6.1.0\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(ServedCommands::LiveCommands(), live) << "the command object is released at the end";

  EXPECT_EQ(Run({"GetConversion", "T", "C", "K", "2"}), kExitOk);
  EXPECT_EQ(out.str(), "True\nUnitsOut: K!\nMultiplier: 4\nOffset: 273.15\n");

  // The stand-in adds half a day: -11 hours come back, printed as the signed offset they are.
  EXPECT_EQ(Run({"GetServerGmtOffset", "-0.9583333333333334"}), kExitOk);
  EXPECT_EQ(out.str(), "-0.458333 days (-11:00:00)\n");
  EXPECT_EQ(Run({"--json", "GetServerGmtOffset", "-1"}), kExitOk);
  EXPECT_EQ(out.str(),
            "{\"method\":\"GetServerGmtOffset\",\"result\":{\"text\":\"-0.5 days (-12:00:00)\",\"days\":-0.5},"
            "\"out\":{},\"error\":null}\n");
}

// The exit status and what is printed, by the kind of answer.
TEST_F(CliTest, AnswersAndExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* out;  // nullptr: an object path
    const char* err;
  };
  const Case cases[] = {
      {{"GetLibraryList"}, kExitOk, "", ""},  // empty list, error 0
      {{"--json", "GetLibraryList"}, kExitOk, "{\"method\":\"GetLibraryList\",\"result\":[],\"out\":{},\"error\":null}\n", ""},
      {{"LibraryCrossReference", "X"}, kExitFailure, "empty\n", "error 102: Library not found\n"},
      {{"GetCalculationSummary"}, kExitOk, "", ""},  // VT_EMPTY, no error of its own
      {{"GetCalculationObject", "missing"}, kExitFailure, "null\n", "error 101: Object not found\n"},
      {{"GetCalculationList"}, kExitOk, "Boiler feed\nPump\n", ""},
      {{"CreateCalculationObject", "Boiler", "", ""}, kExitOk, nullptr,
       "kelvarin-cli: CreateCalculationObject returned an object, and it was released when this command ended; to "
       "keep working on it, make the call and the next ones in one `kelvarin-cli batch FILE`\n"
       "kelvarin-cli: its edit copy stays in the store until saved or cancelled: kelvarin-cli "
       "DeleteCalculationEditObject Boiler\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    EXPECT_EQ(Run(c.args), c.exit);
    if (c.out) EXPECT_EQ(out.str(), c.out);
    else EXPECT_TRUE(IsObjectPath(out.str().substr(0, out.str().size() - 1))) << out.str();
    EXPECT_EQ(err.str(), c.err);
  }
}

TEST_F(CliTest, RowsThatKeepThePreviousErrorAreJudgedByANewOne) {
  // GetCalculationSummary leaves error 101 of the line before: not its failure.
  EXPECT_EQ(Run({"batch", "-"}, "GetCalculationObject missing\nGetCalculationSummary\n"), kExitFailure);
  EXPECT_EQ(out.str(), "> GetCalculationObject missing\nnull\nerror 101: Object not found\n> GetCalculationSummary\n");
  EXPECT_EQ(server.Calls(), (std::vector<std::string>{"GetCalculationObject", "GetLastCommandError", "GetLastCommandError",
                                                      "GetCalculationSummary", "GetLastCommandError"}));
}

TEST_F(CliTest, FailureResultFetchesTheLastError) {
  EXPECT_EQ(Run({"GetCalculationObject", "missing"}), kExitFailure);
  EXPECT_EQ(out.str(), "null\n");
  EXPECT_EQ(err.str(), "error 101: Object not found\n");
  EXPECT_EQ(server.Calls(), (std::vector<std::string>{"GetCalculationObject", "GetLastCommandError"}));

  EXPECT_EQ(Run({"--json", "GetCalculationObject", "missing"}), kExitFailure);
  EXPECT_EQ(out.str(),
            "{\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n");
}

TEST_F(CliTest, RefusedCallAndUsageErrors) {
  EXPECT_EQ(Run({"CheckAccess", "1"}), kExitFailure);
  EXPECT_EQ(err.str(), "error: the server answered HRESULT 0x80004001 (E_NOTIMPL)\n");

  EXPECT_EQ(Run({"CheckAccess", "one"}), kExitUsage);
  EXPECT_EQ(Run({"NoSuchMethod"}), kExitUsage);
  EXPECT_EQ(server.Created().size(), 1u) << "usage errors never reach the server";

  std::istringstream in;
  std::vector<std::string> args{"--socket", "/nonexistent/kelvarin/bus", "CalcCommandVersion"};
  EXPECT_EQ(RunCli(args, in, out, err), kExitUsage);
}

TEST_F(CliTest, AppModeSetsTheBaseDirectoryFirst) {
  EXPECT_EQ(Run({"--app", "Plant7", "CalcCommandVersion"}), kExitOk);
  EXPECT_EQ(server.Created(), std::vector<std::string>{"ICalcAppCommands"});
  EXPECT_EQ(server.Calls(), (std::vector<std::string>{"SetBaseDirectory", "CalcCommandVersion"}));

  EXPECT_EQ(Run({"--app", "nowhere", "CalcCommandVersion"}), kExitFailure);
  EXPECT_EQ(err.str(), "kelvarin-cli: SetBaseDirectory nowhere failed: error 180: Base directory not found\n");
  EXPECT_EQ(server.Calls().back(), "GetLastCommandError");
}

TEST_F(CliTest, BatchKeepsObjectsByName) {
  const std::string batch =
      "# run one calculation\n"
      "calc = GetCalculationObject \"Boiler feed\"\n"
      "\n"
      "CalcExecute @calc\n"
      "list=GetCalculationList\n"
      "ExecuteItem x @list\n";
  EXPECT_EQ(Run({"batch", "-"}, batch), kExitOk) << err.str();
  std::istringstream lines(out.str());
  std::vector<std::string> got;
  for (std::string l; std::getline(lines, l);) got.push_back(l);
  ASSERT_EQ(got.size(), 10u) << out.str();
  EXPECT_EQ(got[0], "> calc = GetCalculationObject \"Boiler feed\"");
  EXPECT_TRUE(IsObjectPath(got[1])) << got[1];
  EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()),
            (std::vector<std::string>{"> CalcExecute @calc", "True", "> list=GetCalculationList", "Boiler feed", "Pump",
                                      "> ExecuteItem x @list", "Boiler feed", "Pump"}));
  EXPECT_EQ(server.Created().size(), 1u) << "one command object for the whole batch";

  EXPECT_EQ(Run({"--json", "batch", "-"}, "c = GetCalculationObject missing\nCalcExecute @c\n"), kExitFailure);
  EXPECT_EQ(out.str(),
            "{\"line\":1,\"name\":\"c\",\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n"
            "{\"line\":2,\"method\":\"CalcExecute\",\"result\":false,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n");
}

TEST_F(CliTest, BatchTextShowsErrorsInLine) {
  // Unlike a single call, a batch keeps each error next to its line on standard output.
  EXPECT_EQ(Run({"batch", "-"}, "GetCalculationObject missing\nCheckAccess 1\nCalcCommandVersion\n"), kExitFailure);
  EXPECT_EQ(out.str(),
            "> GetCalculationObject missing\nnull\nerror 101: Object not found\n"
            "> CheckAccess 1\nerror: the server answered HRESULT 0x80004001 (E_NOTIMPL)\n"
            "> CalcCommandVersion\n6.1.0\n");
  EXPECT_EQ(err.str(), "");
}

TEST_F(CliTest, BatchIsCheckedBeforeAnythingRuns) {
  const std::string batch =
      "CalcCommandVersion\n"
      "CalcExecute @later\n"
      "later = GetCalculationObject x\n"
      "CheckAccess one\n"
      "NoSuchMethod\n"
      "v = FreeUnusedComLibraries\n"
      "CalcExecute \"open\n";
  EXPECT_EQ(Run({"batch", "-"}, batch), kExitUsage);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "<stdin>:2: argument 1 (pCalcObjectDisp): no object named \"later\" was kept\n"
            "<stdin>:4: argument 1 (lTaskNo): \"one\" is not an integer\n"
            "<stdin>:5: ICalcCommands has no method NoSuchMethod\n"
            "<stdin>:6: FreeUnusedComLibraries has no result to keep as v\n"
            "<stdin>:7: the closing \" is missing\n");
  EXPECT_TRUE(server.Created().empty());
}

}  // namespace
}  // namespace kv::cli
