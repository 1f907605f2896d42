#include "client/cli_help.h"

#include <gtest/gtest.h>

#include "client/cli_args.h"

namespace kv::client {
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

}  // namespace
}  // namespace kv::client
