// The sandbox against a hostile script: text that would break out of code built around it, work
// inside one library call that no instruction count sees, tables handed out by the read-only
// views, and text and values beyond the run's memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "engine_fixture.h"

namespace kv::engine {
namespace {

using ::testing::HasSubstr;
using com::Variant;
using components::kParamIn;
using components::kParamOut;

// A clock whose monotonic time moves 10 ms each time it is read, so a run meets its deadline
// after a known number of looks at the clock, however fast the machine.
class SteppingClock : public platform::Clock {
 public:
  int64_t NowUnixMs() override { return 1765324800000; }
  int64_t MonotonicMs() override { return now_ += 10; }
  bool WaitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, int64_t,
                 const std::function<bool()>& ready) override {
    return ready();
  }

 private:
  std::atomic<int64_t> now_{0};
};

class SandboxTest : public testing::EngineFixture {
 protected:
  com::ComPtr<ZrCalculation> Make(const std::string& script, std::vector<std::string> libraries = {"Stats"}) {
    auto c = com::MakeCom<ZrCalculation>();
    c->SetName(Bstr::FromUtf8("Calc"));
    c->SetScript(script);
    c->SetLibraries(std::move(libraries));
    AddParam(c.Get(), "Out", kParamOut);
    return c;
  }

  // A library "Evil" of one formula f(x) with `body`.
  void SaveEvil(const std::string& body) {
    auto lib = com::MakeCom<ZrLibrary>();
    lib->SetName(Bstr::FromUtf8("Evil"));
    auto f = lib->NewFormula("f");
    f->SetScript(body);
    AddParam(f.Get(), "x", kParamIn);
    AddParam(f.Get(), "y", kParamOut);
    ASSERT_EQ(lib->SaveFile(scratch.W("Lib\\Evil.zrc")), com::S_OK);
    env->LibraryFormulaSaved(Bstr::FromUtf8("Evil"), Bstr::FromUtf8("f"));
  }

  void SetTimeLimit(uint32_t ms) {
    testEnv.registry().SetValue(platform::RegHive::LocalMachine, kEngineKey, kTimeLimitValue,
                                platform::RegValue::Dword(ms));
    DetachThreadRuntime();
  }
};

// Each text closes the code a script used to be pasted into and runs something of its own: a
// value, a bounded loop, a loop without end. None may run; each is the compiler's error.
TEST_F(SandboxTest, TextThatClosesTheWrapperIsACompileError) {
  const char* texts[] = {
      "end end and function() return 42 end or function() do",
      "end end and (function() local n = 0 for i = 1, 1e6 do n = n + 1 end return function() return n end end)() "
      "or function() do",
      "end end and (function() while true do end end)() and function() do",
      "end return 42 end --",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    auto calc = Make(text, {});
    calc->Calculate();
    EXPECT_EQ(calc->Level(), components::kLevelError);
    EXPECT_EQ(calc->StatusText(), "Compile error");
    EXPECT_THAT(calc->ErrorText(), HasSubstr("Calc:1:"));
    EXPECT_EQ(calc->Result(), Variant());

    SaveEvil(text);
    auto user = Make("return Evil.f(1)", {"Evil"});
    user->Calculate();
    EXPECT_EQ(user->Level(), components::kLevelError);
    EXPECT_EQ(user->StatusText(), "Library error");
    EXPECT_THAT(user->ErrorText(), HasSubstr("Evil.f:1:"));
    EXPECT_EQ(user->Result(), Variant());
  }
  // Formulas still take their arguments by name, answer their result and keep line numbers.
  SaveEvil("local z = x * 2\ny = z + 1");
  auto user = Make("return Evil.f(4)", {"Evil"});
  user->Calculate();
  EXPECT_EQ(user->Result(), Variant::I4(9));
  SaveEvil("local z = 1\nreturn nil + z");
  user->Calculate();
  EXPECT_THAT(user->ErrorText(), HasSubstr("Evil.f:2: attempt to perform arithmetic"));
}

struct LongCase {
  const char* script;
  const char* status;  // "OK" for a run that ends well
  const char* errorHas;
};

// Work inside one library call is bound by the run's deadline (or, where it only allocates, its
// memory), and a pcall in the script does not outlast it. The clock steps on each read, so each
// case meets its deadline after a hundred looks at the clock.
TEST_F(SandboxTest, LongLibraryCallsEndAtTheDeadline) {
  SetLimits(1'000'000'000, 4096);
  SetTimeLimit(1000);
  SteppingClock clock;
  platform::Env stepping = testEnv.env();
  stepping.clock = &clock;
  const LongCase cases[] = {
      {"return string.find(('a'):rep(300), '.-.-.-.-.-.-.-.-b')", "Time limit", "time limit of 1000 ms exceeded"},
      {"return ('a'):rep(5000):gsub('a*a*a*a*a*b', '')", "Time limit", "time limit"},
      {"return string.match(('a'):rep(300), '(.-)(.-)(.-)(.-)(.-)(.-)(.-)b')", "Time limit", "time limit"},
      {"for w in ('a'):rep(300):gmatch('.-.-.-.-.-.-.-.-b') do end", "Time limit", "time limit"},
      {"return string.find(('a'):rep(1e6), ('a'):rep(5e5) .. 'b', 1, true)", "Time limit", "time limit"},
      {"return table.move({}, 1, 1 << 62, 2)", "Time limit", "time limit"},
      {"return table.move({}, math.mininteger, -1, 1)", "Run error", "too many elements to move"},
      {"while true do end", "Time limit", "time limit"},
      {"while true do pcall(string.find, ('a'):rep(300), '.-.-.-.-.-.-.-.-b') end", "Time limit", "time limit"},
      {"return #string.rep('', math.maxinteger)", "OK", ""},
      {"return #string.rep('', math.maxinteger, '')", "OK", ""},
      {"return string.rep('x', 1 << 40)", "Memory limit", "memory limit of 4096 KB exceeded"},
      {"return string.rep('x', math.maxinteger, 'y')", "Run error", "resulting string too large"},
  };
  for (const LongCase& c : cases) {
    SCOPED_TRACE(c.script);
    // Made while the stepping clock is the server's, the calculation keeps it.
    com::ComPtr<ZrCalculation> calc;
    {
      testing::ScopedServerObjects scoped(stepping);
      scoped.environment = env;
      calc = Make(c.script, {});
    }
    calc->Calculate();
    EXPECT_EQ(calc->StatusText(), c.status);
    EXPECT_THAT(calc->ErrorText(), HasSubstr(c.errorHas));
    EXPECT_EQ(calc->Level(), std::string(c.status) == "OK" ? components::kLevelOk : components::kLevelError);
  }
  // The thread carries on, and the bounded functions (on long tables) answer as Lua's own do.
  auto after = Make(
      "local t = {} for i = 1, 5000 do t[i] = (i * 7919) % 5003 end table.sort(t) "
      "local u = {} for i = 1, 3000 do u[i] = -i end table.sort(u, math.ult) "
      "local m = table.move({1, 2, 3, 4, 5}, 1, 4, 2) "
      "local big = {} for i = 1, 10000 do big[i] = i end table.move(big, 1, 9999, 2) "
      "local s, n = ('hello world'):gsub('(%w+)', '<%1>') "
      "return table.concat({t[1], t[5000], u[1], m[5], big[10000], big[2], big[5000], s, n, ('x'):rep(3, ','), "
      "string.find('a.b', '.', 1, true), string.match('key=val', '(%w+)=(%w+)')}, ' ')",
      {});
  after->Calculate();
  EXPECT_EQ(after->StatusText(), "OK") << after->ErrorText();
  EXPECT_EQ(after->Result(), Variant::Str("1 5002 -3000 4 9999 1 4999 <hello> <world> 2 x,x,x 2 key val"));
}

// Every way a script reaches a table, tried on every library: a second run still sees the
// libraries as they were.
TEST_F(SandboxTest, ViewsNeverHandOutTheTablesTheyProtect) {
  const char* libraries[] = {"math", "string", "table", "utf8", "time", "Stats", "_ENV"};
  const char* reaches[] = {
      "select(2, pairs(L))",
      "select(3, pairs(L))",
      "select(2, (pairs(L))(L, nil))",
      "select(2, (pairs(L))({}, nil))",
      "select(2, next(L))",
      "L",
      "rawget and rawget(L, '__index')",
      "getmetatable and getmetatable(L)",
      "getmetatable and getmetatable('')",
      "('').__index",
      "select(2, pcall(pairs, L))",
      "debug and debug.getregistry()",
  };
  // Replaces every field of the table it reaches, and the names the check below uses.
  const std::string tamper =
      "local function over(t) "
      "  if type(t) ~= 'table' then return end "
      "  pcall(function() for k in next, t do t[k] = function() return 1000 end end end) "
      "  for _, n in ipairs({'floor', 'format', 'rep', 'find', 'concat', 'char', 'now', 'Mean', '__index'}) do "
      "    pcall(function() t[n] = function() return 1000 end end) "
      "  end "
      "end "
      "pcall(function() over(REACH) end) return 1";
  for (const char* lib : libraries) {
    for (const char* reach : reaches) {
      std::string script = tamper;
      script.replace(script.find("REACH"), 5, reach);
      SCOPED_TRACE(script);
      auto calc = Make("local L = " + std::string(lib) + "\n" + script);
      calc->Calculate();
      ASSERT_EQ(calc->Level(), components::kLevelOk) << calc->ErrorText();
    }
  }
  auto check = Make(
      "return math.floor(2.5) == 2 and string.format('%d', 5) == '5' and ('x'):rep(2) == 'xx' and "
      "('abc'):find('b') == 2 and table.concat({1, 2}, ',') == '1,2' and utf8.char(65) == 'A' and "
      "time.now() > 1e9 and Stats.Mean(1, 3) == 2 and type(pairs) == 'function'");
  check->Calculate();
  EXPECT_EQ(check->Result(), Variant::Bool(true)) << check->ErrorText();
}

struct TextCase {
  const char* script;
  const char* status;
  const char* errorHas;
};

// Warnings, error text and the values a run hands out count against its memory, and ErrorText
// keeps at most kMaxRunTextBytes.
TEST_F(SandboxTest, TextAndValuesCountAgainstTheRunsMemory) {
  SetLimits(100'000'000, 4096);
  const TextCase cases[] = {
      {"for i = 1, 200 do warn(('w'):rep(1 << 20)) end return 1", "Memory limit", "memory limit of 4096 KB"},
      {"warn(('w'):rep(100000)) return 1", "Warning", "www"},
      {"for i = 1, 1000 do warn('note ', i) end return 1", "Warning", "note 1; note 2"},
      {"error(('e'):rep(1 << 20))", "Run error", "eee"},
      {"error(('\xc3\xa9'):rep(10000))", "Run error", "\xc3\xa9\xc3\xa9"},
      {"Out = ('o'):rep(3 << 19)", "Memory limit", "output Out exceeds the memory limit of 4096 KB"},
      {"return ('r'):rep(3 << 19)", "Memory limit", "its value exceeds the memory limit"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.script);
    auto calc = Make(c.script, {});
    calc->Calculate();
    EXPECT_EQ(calc->StatusText(), c.status);
    const std::string text = calc->ErrorText();
    EXPECT_THAT(text, HasSubstr(c.errorHas));
    EXPECT_LE(text.size(), kMaxRunTextBytes);
    if (text.size() > kMaxRunTextBytes - 8) {
      EXPECT_EQ(text.substr(text.size() - 3), "...");
    }
    // Whole characters only.
    EXPECT_EQ(Bstr::FromUtf8(text).ToUtf8(), text);
  }
  auto fits = Make("Out = ('o'):rep(1000) return #Out", {});
  fits->Calculate();
  EXPECT_EQ(fits->Result(), Variant::I4(1000));
}

}  // namespace
}  // namespace kv::engine
