#include "cli/batch_line.h"

#include <gtest/gtest.h>

namespace kv::cli {
namespace {

TEST(BatchLineTest, Lines) {
  struct Case {
    const char* line;
    bool ok;
    std::string name, method;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"", true, "", "", {}},
      {"   \t ", true, "", "", {}},
      {"# a comment", true, "", "", {}},
      {"   # indented comment \"unclosed", true, "", "", {}},
      {"CalcCommandVersion", true, "", "CalcCommandVersion", {}},
      {"  GetConversion Temperature C  ", true, "", "GetConversion", {"Temperature", "C"}},
      {"calc = GetCalculationObject \"Boiler feed\"", true, "calc", "GetCalculationObject", {"Boiler feed"}},
      {"calc=GetCalculationObject x", true, "calc", "GetCalculationObject", {"x"}},
      {"_c2 =GetCalculationObject x", true, "_c2", "GetCalculationObject", {"x"}},
      {"M \"\" '' x", true, "", "M", {"", "", "x"}},
      {"M \"say \\\"hi\\\" \\\\ \\n\"", true, "", "M", {"say \"hi\" \\ \\n"}},
      {"M '[\"a b\", c]'", true, "", "M", {"[\"a b\", c]"}},
      {"M ab\"c d\"'e f'g", true, "", "M", {"abc de fg"}},
      {"M a=b", true, "", "M", {"a=b"}},
      {"M #not-a-comment", true, "", "M", {"#not-a-comment"}},
      {"\"x = y\" z", true, "", "x = y", {"z"}},
      {"M \"open", false, "", "", {}},
      {"M 'open", false, "", "", {}},
      {"calc =", false, "", "", {}},
      {"calc = ", false, "", "", {}},
      {"2calc = M", false, "", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    BatchLine out;
    std::string error;
    bool ok = ParseBatchLine(c.line, &out, &error);
    ASSERT_EQ(ok, c.ok) << error;
    if (!ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(out.name, c.name);
    EXPECT_EQ(out.method, c.method);
    EXPECT_EQ(out.args, c.args);
  }
}

}  // namespace
}  // namespace kv::cli
