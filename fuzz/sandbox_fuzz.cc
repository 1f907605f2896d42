// Any text as a calculation's script and as a library formula, run in one sandboxed Lua state
// with small limits: every run ends within its deadline plus a margin, the state never holds more
// than its cap beyond what it held before, and whatever a run did, the next one sees the
// libraries as they were.
#include <lua.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/lua_runtime.h"
#include "fuzz_check.h"
#include "platform/clock.h"

namespace {

using kv::engine::EngineLimits;
using kv::engine::LuaRuntime;
using kv::engine::RunEnd;
using kv::engine::RunNotes;

constexpr int64_t kTimeMs = 300;
constexpr int64_t kMemoryBytes = 8ll << 20;
// Time a run may take past its deadline: the clock is read every few thousand steps, and the
// sanitizers slow everything down.
constexpr int64_t kMarginMs = 1500;
// What a run may hold past its cap: the block whose allocation failed is never granted, but the
// counted text of warn is added before it is checked.
constexpr int64_t kMemorySlack = 1 << 16;

LuaRuntime& Runtime() {
  static LuaRuntime* rt = [] {
    EngineLimits limits;
    limits.instructions = 20'000'000;
    limits.memoryBytes = kMemoryBytes;
    limits.timeMs = kTimeMs;
    return new LuaRuntime(limits);
  }();
  return *rt;
}

// Calls the function on top with `nargs` arguments below it; checks the run's time and memory.
void Run(LuaRuntime& rt, int nargs) {
  lua_State* L = rt.L();
  const int64_t before = rt.MemoryInUse();
  RunNotes notes;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  const RunEnd end = rt.Call(nargs, 1, &error, &notes, kv::platform::RealClock());
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  FUZZ_CHECK(ms <= kTimeMs + kMarginMs);
  FUZZ_CHECK(rt.PeakMemory() <= before + kMemoryBytes + kMemorySlack);
  FUZZ_CHECK(error.size() <= kv::engine::kMaxRunTextBytes);
  if (end == RunEnd::kOk) lua_pop(L, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LuaRuntime& rt = Runtime();
  lua_State* L = rt.L();
  const std::string script(reinterpret_cast<const char*>(data), size);
  std::string error;
  const int top = lua_gettop(L);
  if (rt.PushBody(script, "fuzz", &error)) Run(rt, 0);
  rt.EndRunEnvironment();
  if (rt.PushFormula(script, {"x", "y"}, "r", "lib.f", &error)) {
    lua_pushinteger(L, 3);
    lua_pushliteral(L, "text");
    Run(rt, 2);
  }
  FUZZ_CHECK(lua_gettop(L) == top);

  // The libraries are as they were, whatever the script reached.
  static const std::string check =
      "return math.floor(2.5) == 2 and string.rep('ab', 2, ',') == 'ab,ab' and ('abc'):find('b', 1, true) == 2 "
      "and select(2, ('x1y22'):gsub('%d+', '')) == 2 and table.concat({1, 2}, '-') == '1-2' and "
      "utf8.char(65) == 'A' and type(time.now()) == 'number' and type(pairs) == 'function' and Probe == nil";
  FUZZ_CHECK(rt.PushBody(check, "check", &error));
  RunNotes notes;
  FUZZ_CHECK(rt.Call(0, 1, &error, &notes, kv::platform::RealClock()) == RunEnd::kOk);
  FUZZ_CHECK(lua_toboolean(L, -1));
  lua_pop(L, 1);
  rt.EndRunEnvironment();
  return 0;
}
