#include "engine/lua_references.h"

#include "engine/script_names.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kv::engine {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* what;
  const char* script;
  Fields fields;
  bool complete = true;
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
    {"repeats count once, sorted", "a = Util.Sum(1) + Stats.Mean(2) + Util.Sum(3)", {{"Stats", "Mean"}, {"Util", "Sum"}}},
    {"keywords, labels and goto", "::top:: if a then goto top elseif Stats.Max(a) then else end", {{"Stats", "Max"}}},
    {"numbers with dots and exponents", "a = 3.5e-2 + 0x1p4 + .5\nb = Stats.Mean(a)", {{"Stats", "Mean"}}},
    {"attributes of locals", "local Stats <const> = 1\nOut = Stats.Mean", {}},
    {"escapes inside strings", "s = \"a \\\" Stats.Mean \\\\\" .. Util.Sum(1)", {{"Util", "Sum"}}},
    {"a first line for the shell", "#!/usr/bin/lua Stats.Mean\nOut = Util.Sum(1)", {{"Util", "Sum"}}},
    {"a syntax error keeps what came before", "Out = Stats.Mean(a)\nif then", {{"Stats", "Mean"}}, false},
    {"an unfinished string", "Out = Stats.Mean(a)\ns = 'open", {{"Stats", "Mean"}}, false},
};

TEST(LuaReferences, FindsFieldsOfFreeNamesOnly) {
  for (const Case& c : kCases) {
    ScriptReferences refs = FindScriptReferences(c.script);
    EXPECT_EQ(refs.fields, c.fields) << c.what;
    EXPECT_EQ(refs.complete, c.complete) << c.what;
  }
}

// The engine's compiler-based analysis behind its own reference questions must agree on every
// valid script that reaches formulas only as `Name.Field`.
TEST(LuaReferences, AgreesWithTheEngineScriptAnalysis) {
  for (const Case& c : kCases) {
    const std::string script = c.script;
    if (!c.complete || script.find(':') != std::string::npos || script.find('[') != std::string::npos ||
        script[0] == '#')
      continue;
    ScriptNames names;
    std::string error;
    ASSERT_TRUE(AnalyzeScript(script, "test", &names, &error)) << c.what << ": " << error;
    EXPECT_EQ(FindScriptReferences(script).fields, names.fields) << c.what;
  }
}

}  // namespace
}  // namespace kv::engine
