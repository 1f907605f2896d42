// The library formulas a script reaches, as the compiler-based analysis finds them: the fields
// read straight off a free name, whatever form the compiler gives the access.
#include <pthread.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/script_names.h"

namespace kv::engine {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* what;
  const char* script;
  Fields fields;
  bool compiles = true;
};

const Case kCases[] = {
    {"a call", "Out = Stats.Mean(a, b) * 2", {{"Stats", "Mean"}}},
    {"the name inside a string", "s = \"Stats.Mean(a)\" .. 'Stats.Max' .. [[Stats.Min]]", {}},
    {"the name inside comments", "-- Stats.Mean(a)\n--[==[ Stats.Max(b) ]==]\nOut = 1", {}},
    {"a local named like the library", "local Stats = {}\nOut = Stats.Mean(a)", {}},
    {"a field chain: only the free name's own field", "Out = x.Stats.Mean(a)", {{"x", "Stats"}}},
    {"a local of a closed block no longer shadows", "do local Stats = 1 end\nOut = Stats.Mean(a)",
     {{"Stats", "Mean"}}},
    {"the right-hand side of a local is outside it", "local Stats = Stats.Mean(a)", {{"Stats", "Mean"}}},
    {"a function parameter", "function f(Stats) return Stats.Mean(a) end\nOut = f(Lib)", {}},
    {"a local function sees itself", "local function Stats() return Stats.Mean end", {}},
    {"loop variables", "for Stats = 1, 3 do x = Stats.Mean end\nfor k, Util in pairs(t) do y = Util.Sum(k) end",
     {}},
    {"loop bodies close their scopes", "for Stats in pairs(t) do end\nOut = Stats.Max(t)", {{"Stats", "Max"}}},
    {"repeat-until sees the body's locals", "repeat local Stats = 1 until Stats.Done", {}},
    {"a method call and a bracketed string", "a = Stats:Mean(1)\nb = Util[\"Sum\"](2)\nc = Util[k](3)",
     {{"Stats", "Mean"}, {"Util", "Sum"}}},
    {"string and table call arguments", "a = Stats.Mean{1, 2}\nb = Text.Upper 'x'", {{"Stats", "Mean"}, {"Text", "Upper"}}},
    {"nested functions and tables",
     "local t = { f = function(x) return Geo.Area(x) end, [Keys.First] = 1, Stats.Mean(2); }\nOut = t",
     {{"Geo", "Area"}, {"Keys", "First"}, {"Stats", "Mean"}}},
    {"a function definition is no use", "function Stats.Mean(a) return a end", {}},
    // The same code as the definition above, so the same answer.
    {"assigning a field is no use", "Stats.Mean = Util.Sum", {{"Util", "Sum"}}},
    {"a parenthesised name is the name", "Out = (Stats).Mean(a)", {{"Stats", "Mean"}}},
    {"repeats count once, sorted", "a = Util.Sum(1) + Stats.Mean(2) + Util.Sum(3)", {{"Stats", "Mean"}, {"Util", "Sum"}}},
    {"keywords, labels and goto", "::top:: if a then goto top elseif Stats.Max(a) then else end", {{"Stats", "Max"}}},
    {"numbers with dots and exponents", "a = 3.5e-2 + 0x1p4 + .5\nb = Stats.Mean(a)", {{"Stats", "Mean"}}},
    {"attributes of locals", "local Stats <const> = 1\nOut = Stats.Mean", {}},
    {"escapes inside strings", "s = \"a \\\" Stats.Mean \\\\\" .. Util.Sum(1)", {{"Util", "Sum"}}},
    {"an escaped key is the key it decodes to", "Out = Util[\"S\\117m\"](1)", {{"Util", "Sum"}}},
    {"no field access at all", "Out = a + b", {}},
    // Scripts the engine cannot run name nothing: a first line for the shell is not Lua (the
    // engine compiles the text as stored), and a script with a syntax error has no byte code.
    {"a first line for the shell", "#!/usr/bin/lua Stats.Mean\nOut = Util.Sum(1)", {}, false},
    {"a syntax error", "Out = Stats.Mean(a)\nif then", {}, false},
    {"an unfinished string", "Out = Stats.Mean(a)\ns = 'open", {}, false},
};

TEST(ScriptReferences, FieldsOfFreeNamesOnly) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FormulaReferences(c.script), c.fields);
    ScriptNames names;
    std::string error;
    ASSERT_EQ(AnalyzeScript(c.script, "test", &names, &error), c.compiles) << error;
    if (c.compiles) {
      EXPECT_EQ(names.fields, c.fields);
    }
  }
}

// A function with more than 256 constants, or a name longer than a short string, reaches _ENV
// and the key through registers instead of one instruction; those accesses still count.
TEST(ScriptReferences, GlobalsReachedThroughRegisters) {
  std::string script = "local t = {";
  for (int i = 0; i < 300; ++i) script += "'c" + std::to_string(i) + "', ";
  script += "}\nOut = Stats.Mean(a) + Util:Sum(b) + Late.Field\nLateGlobal = x + y\n";
  // Arithmetic on locals names the locals' registers, below the ones holding _ENV and the key.
  script += "local p, r = 1, 2\nLateSum = p + r\n";
  script += "Averages_of_all_flows_in_the_whole_plant_area.Mean(q)\n";
  ScriptNames names;
  std::string error;
  ASSERT_TRUE(AnalyzeScript(script, "test", &names, &error)) << error;
  const Fields expected = {{"Averages_of_all_flows_in_the_whole_plant_area", "Mean"},
                           {"Late", "Field"},
                           {"Stats", "Mean"},
                           {"Util", "Sum"}};
  EXPECT_EQ(names.fields, expected);
  EXPECT_EQ(names.written, (std::vector<std::string>{"LateGlobal", "LateSum", "Out"}));
  EXPECT_EQ(names.read, (std::vector<std::string>{"Averages_of_all_flows_in_the_whole_plant_area", "Late", "Stats",
                                                  "Util", "a", "b", "q", "x", "y"}));
  EXPECT_EQ(FormulaReferences(script), expected);

  // The environment held in a local: its fields are globals all the same.
  ASSERT_TRUE(AnalyzeScript("local _ENV = _ENV\nOut = Stats.Mean(a)", "test", &names, &error)) << error;
  EXPECT_EQ(names.written, std::vector<std::string>{"Out"});
  EXPECT_EQ(names.fields, (Fields{{"Stats", "Mean"}}));
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Nested `return function() ... end` around a formula call.
std::string NestedFunctions(int depth) {
  return Repeat("return function() ", depth) + "return Deep.Field(x)" + Repeat(" end", depth);
}

struct Analysis {
  bool compiled = false;
  std::string error;
  Fields fields;
};

// The deeply nested scripts, analysed on a thread with the smallest stack a server thread has
// (a scheduler group's), where running out of stack would crash rather than pass.
void* AnalyzeDeepScripts(void* arg) {
  auto* results = static_cast<std::vector<Analysis>*>(arg);
  const std::string scripts[] = {
      "x = " + std::string(100000, '(') + "1" + std::string(100000, ')'),
      "x = " + std::string(100000, '{') + std::string(100000, '}'),
      "x = " + Repeat("not ", 100000) + "Stats.Mean",
      "x = a" + Repeat(" .. a", 100000),
      Repeat("do ", 100000) + Repeat("end ", 100000),
      NestedFunctions(100000),
  };
  for (const std::string& s : scripts) {
    Analysis a;
    ScriptNames names;
    a.compiled = AnalyzeScript(s, "deep", &names, &a.error);
    a.fields = FormulaReferences(s);
    results->push_back(std::move(a));
  }
  return nullptr;
}

TEST(ScriptReferences, NestingBeyondTheCompilersLimitIsAnError) {
  std::vector<Analysis> results;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, &AnalyzeDeepScripts, &results), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(results.size(), 6u);
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(results[i].compiled);
    EXPECT_NE(results[i].error, "");
    EXPECT_EQ(results[i].fields, Fields{});
  }
}

// Up to the compiler's own limit, the innermost function's accesses are read.
TEST(ScriptReferences, TheDeepestFunctionsTheCompilerTakesAreRead) {
  int depth = 200;
  ScriptNames names;
  std::string error;
  while (depth > 0 && !AnalyzeScript(NestedFunctions(depth), "deep", &names, &error)) --depth;
  ASSERT_GT(depth, 50);
  EXPECT_EQ(names.fields, (Fields{{"Deep", "Field"}}));
  EXPECT_EQ(names.read, (std::vector<std::string>{"Deep", "x"}));
}

}  // namespace
}  // namespace kv::engine
