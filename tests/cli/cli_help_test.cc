#include "cli/cli_help.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/batch_line.h"
#include "cli/cli_args.h"
#include "cli/cli_complete.h"
#include "cli/cli_reg.h"
#include "dispatch/method_tables.h"

namespace kv {
void NotBuilt(CommandCall&);  // the handler of the rows not built yet (dispatch/method_tables.cc)
}  // namespace kv

namespace kv::cli {
namespace {

using namespace table_rows;

// The brackets of a method's usage line must mark exactly the words ParseArguments lets a
// caller leave out, including an in/out parameter that comes before an in one (which cannot be
// left out).
TEST(CliHelpTest, UsageLineAgreesWithWhatParsingRequires) {
  struct Case {
    std::vector<ParamInfo> params;
    std::string usage;
    size_t required;
  };
  const Case cases[] = {
      {{In(T::Long, "A"), InOut(T::Long, "B"), InOut(T::Long, "C"), Retval(T::Bool, "r")}, " A [B [C]]", 1},
      {{InOut(T::Long, "A"), In(T::Long, "B"), InOut(T::Long, "C")}, " A B [C]", 2},
      {{InOut(T::Long, "A"), Retval(T::Long, "r")}, " [A]", 0},
      {{In(T::Long, "A"), In(T::Long, "B")}, " A B", 2},
      {{Retval(T::Bstr, "r")}, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.usage);
    InterfaceTable table;
    table.name = "IFixture";
    table.methods.emplace_back();
    table.methods[0].name = "M";
    table.methods[0].params = c.params;
    const MethodInfo& m = table.methods[0];

    std::string help = MethodHelp(table, m);
    EXPECT_NE(help.find("  usage: kelvarin-cli M" + c.usage + "\n"), std::string::npos) << help;
    bool optional = c.usage.find('[') != std::string::npos;
    EXPECT_EQ(help.find("may be left out") != std::string::npos, optional) << help;

    size_t all = 0;
    for (const ParamInfo& p : c.params) all += p.dir != ParamDir::Retval;
    std::vector<com::Variant> args;
    std::string error;
    EXPECT_TRUE(ParseArguments(m, std::vector<std::string>(c.required, "1"), {}, &args, &error)) << error;
    EXPECT_TRUE(ParseArguments(m, std::vector<std::string>(all, "1"), {}, &args, &error)) << error;
    EXPECT_FALSE(ParseArguments(m, std::vector<std::string>(all + 1, "1"), {}, &args, &error));
    if (c.required > 0) {
      EXPECT_FALSE(ParseArguments(m, std::vector<std::string>(c.required - 1, "1"), {}, &args, &error));
    }
  }
}

// Every example in the help must run as shown: each line parses for its method, objects are
// kept before they are used, and no name holds a blank (the store refuses those names).
TEST(CliHelpTest, ExamplesAreRunnable) {
  const InterfaceTable& t = ICalcCommandsInterface();
  const std::string usage = UsageText();
  size_t at = usage.find("\nExample");
  ASSERT_NE(at, std::string::npos);
  std::istringstream lines(usage.substr(usage.find('\n', at + 1) + 1));
  NamedValues kept;
  int examples = 0;
  for (std::string line; std::getline(lines, line) && line.rfind("  ", 0) == 0;) {
    SCOPED_TRACE(line);
    BatchLine b;
    std::string error;
    ASSERT_TRUE(ParseBatchLine(line, &b, &error)) << error;
    const MethodInfo* m = FindMethod(t, b.method);
    ASSERT_NE(m, nullptr);
    const MethodInfo* served = FindMethod(ICalcCommandsTable(), b.method);
    EXPECT_NE(served->handler, &NotBuilt) << "a method not built yet cannot serve as an example";
    std::vector<com::Variant> args;
    EXPECT_TRUE(ParseArguments(*m, b.args, kept, &args, &error)) << error;
    for (size_t i = 0; i < m->params.size() && i < b.args.size(); ++i) {
      if (m->params[i].type == ParamType::Bstr) {
        EXPECT_EQ(b.args[i].find(' '), std::string::npos) << b.args[i];
      }
    }
    if (!b.name.empty()) kept[b.name] = com::Variant::Dispatch(nullptr);
    ++examples;
  }
  EXPECT_GT(examples, 0);
}

// What --help says of methods that need more than their parameters to be used right.
TEST(CliHelpTest, MethodNotes) {
  const InterfaceTable& t = ICalcCommandsInterface();
  struct Case {
    const char* method;
    std::vector<std::string> present, absent;
  };
  const Case cases[] = {
      // The direction, checked against tests/units: F from C is C x 1.8 + 32.
      {"GetConversion", {"a value in UnitsIn = the value in UnitsOut x Multiplier + Offset", "Multiplier 1.8, Offset 32"},
       {"use batch"}},
      {"GetServerGmtOffset", {"GMT minus the server's local time"}, {}},
      {"CreateCalculationObject", {"use batch", "kelvarin-cli DeleteCalculationEditObject NAME"}, {}},
      {"CreateLibraryEditObject", {"use batch", "kelvarin-cli DeleteLibraryEditObject NAME"}, {}},
      {"GetCalculationObject", {"use batch"}, {"edit copy"}},
      {"DeleteCalculationEditObject", {}, {"use batch", "edit copy"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    std::string help = MethodHelp(t, *FindMethod(t, c.method));
    for (const std::string& p : c.present) EXPECT_NE(help.find(p), std::string::npos) << p << "\n" << help;
    for (const std::string& a : c.absent) EXPECT_EQ(help.find(a), std::string::npos) << a << "\n" << help;
  }
}

TEST(CliHelpTest, CompletionCandidates) {
  struct Case {
    std::vector<std::string> words;  // the last one is being typed
    std::vector<std::string> candidates;
  };
  const Case cases[] = {
      {{"GetCalculationO"}, {"GetCalculationObject"}},
      {{"getunitc"}, {"GetUnitConversionObject"}},  // any case typed
      {{"--app", "x", "SetBase"}, {"SetBaseDirectory"}},
      {{"SetBase"}, {}},  // not on the command interface
      {{"ba"}, {"batch"}},
      {{"--js"}, {"--json"}},
      {{"--bus", "se"}, {"session"}},
      {{"--socket", ""}, {}},  // a file name
      {{"--help", "re"}, {"RenameCalcFolder", "reg"}},
      {{"--help", "ba"}, {}},
      {{"CreateCalculationObject", ""}, {"<ObjectName:string>"}},
      {{"CreateCalculationObject", "Boiler", ""}, {"<UserID:string>"}},
      {{"CreateCalculationObject", "Boiler", "", "", ""}, {}},
      {{"CheckAccess", "1", ""}, {}},
      {{"CalcExecute", "n"}, {"null"}},
      {{"Validate2", "null", ""}, {"true", "false"}},
      {{"batch", ""}, {}},
      {{"reg", ""}, {"get", "set", "delete", "list"}},
      {{"reg", "set", "hk"}, {"HKLM\\", "HKCU\\"}},
      {{"reg", "set", "HKLM\\A", "x", "1", "--type", "d"}, {"dword"}},
      {{"log", "--f"}, {"--follow", "--file"}},
      {{"log", "--since", ""}, {}},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& w : c.words) line += "[" + w + "]";
    SCOPED_TRACE(line);
    EXPECT_EQ(CompletionCandidates(c.words), c.candidates);
  }
}

}  // namespace
}  // namespace kv::cli
