#pragma once
// The Lua 5.4 state a thread runs calculations in, sandboxed and bounded. Each run sees a fresh
// environment table over read-only safe globals (math, string without string.dump, table,
// utf8, pairs, ipairs, next, select, tonumber, tostring, type, pcall, error, assert, warn and the
// time helper); no io, os, package, require, debug, load, dofile or collectgarbage. A view
// never hands out the table it protects, so nothing a run does changes what the next one sees.
// An instruction budget (a count hook), a memory cap (the state's allocator) and a wall-clock
// deadline bound every run; a run that exceeds one ends with an error that pcall inside the
// script cannot swallow. The deadline also binds the library functions whose work a script's
// instructions do not measure: pattern matching counts its steps (engine/lua_patterns.h),
// string.rep is held to the memory left, table.move works in slices and table.sort compares
// through a counted function; the other library functions do work in proportion to what they
// allocate, which the cap bounds. A script is compiled as a chunk of its own, never pasted into
// other code, and receives its environment as its _ENV upvalue; nothing of it runs outside a
// run's limits.
//
// Not thread-safe: one LuaRuntime belongs to one thread (ThreadRuntime). Compiled chunks are
// cached per state, calculation bodies by their owner and the rest by their text, each cache
// dropping its least recently used chunk when full. A calculation's run reuses one environment table of the
// state, emptied when the run ends, so a run does not leave a table behind for the collector.
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct lua_State;
struct lua_Debug;

namespace kv::platform {
struct Env;
class Clock;
}  // namespace kv::platform

namespace kv::engine {

struct EngineLimits {
  static constexpr int64_t kDefaultInstructions = 10'000'000;
  static constexpr int64_t kDefaultMemoryBytes = 64ll << 20;
  static constexpr int64_t kDefaultTimeMs = 5000;
  int64_t instructions = kDefaultInstructions;  // per run
  int64_t memoryBytes = kDefaultMemoryBytes;    // per run, beyond what the state held before it
  int64_t timeMs = kDefaultTimeMs;              // per run, wall clock
};

// The most of a run's text (its ErrorText) kept; longer text is cut at a character boundary.
inline constexpr size_t kMaxRunTextBytes = 8192;
// Cuts `text` to at most kMaxRunTextBytes, at a UTF-8 character boundary, marking the cut.
void LimitRunText(std::string* text);

// Registry store (HKLM) key and values of the limits: DWORDs, 0 or missing for the default.
inline constexpr const char* kEngineKey = "SOFTWARE\\Quorlith\\Morvane Calc\\Engine";
inline constexpr const char* kInstructionLimitValue = "InstructionLimit";
inline constexpr const char* kMemoryLimitValue = "MemoryLimitKB";
inline constexpr const char* kTimeLimitValue = "TimeLimitMs";

// The limits configured in `env`'s registry store; the defaults without one.
EngineLimits ReadEngineLimits(platform::Env* env);

// How a run ended.
enum class RunEnd { kOk, kError, kInstructionLimit, kMemoryLimit, kTimeLimit };

// The helpers a script may call to report on its run (warn), collected for the run. Every
// warning counts against the run's memory; the text kept stops at kMaxRunTextBytes.
struct RunNotes {
  std::vector<std::string> warnings;
  size_t keptBytes = 0;
  // What the run may still take of its memory once the script has ended: the values it hands
  // out (outputs, its result) are charged to it.
  int64_t memoryLeft = 0;
};

class LuaRuntime {
 public:
  explicit LuaRuntime(EngineLimits limits);
  ~LuaRuntime();
  LuaRuntime(const LuaRuntime&) = delete;
  LuaRuntime& operator=(const LuaRuntime&) = delete;

  lua_State* L() const { return L_; }
  const EngineLimits& Limits() const { return limits_; }

  // Pushes the function of a calculation body, called as f(...): the script runs with the
  // state's run environment (PushRunEnvironment) as its globals, `...` are f's arguments and its
  // return values are f's. Compiled once per text. False, nothing pushed and the compiler's
  // message (chunk name and line) in `error` when it does not compile.
  bool PushBody(const std::string& script, const std::string& chunkName, std::string* error);
  // PushBody for the object `owner` (a number unique to it), which remembers the function of the
  // owner's last text, so a run of an unchanged script finds it without rebuilding its key. A
  // `version` other than 0 names the text: the same version again is the same text, found
  // without comparing it.
  bool PushBodyFor(uint64_t owner, uint64_t version, const std::string& script, const std::string& chunkName,
                   std::string* error);
  // Pushes a library formula as a function of its `params` (in order); each call runs the body
  // in a fresh environment where the params are globals holding the arguments, and returns the
  // body's return values, or, when it returns none, the global named `result` ("" for none) as
  // the body left it.
  bool PushFormula(const std::string& body, const std::vector<std::string>& params, const std::string& result,
                   const std::string& chunkName, std::string* error);
  // Pushes a fresh environment table whose missing names come from the safe globals.
  void PushEnvironment();
  // Pushes the state's run environment: empty, over the safe globals. EndRunEnvironment
  // empties it again; a run pairs the two, and is quickest when it has set the names it bound
  // to nil first.
  void PushRunEnvironment();
  void EndRunEnvironment();
  // The run's context string, which scripts read as the global Context.
  void SetContext(const std::string& context);
  // Pushes a read-only view of the table on top of the stack (which it replaces).
  void MakeReadOnly();

  // Calls the function below its `nargs` arguments under the budget, the cap and a deadline
  // the limit's time from now on `clock`, as lua_pcall does; the message of a failed run in
  // `error` (at most kMaxRunTextBytes; nothing left on the stack then). `clock` also answers
  // the script's time.now().
  RunEnd Call(int nargs, int nresults, std::string* error, RunNotes* notes, platform::Clock& clock);

  // Library tables cached for this state, dropped when the generation moves on.
  struct CachedLibrary {
    int ref;
  };
  // Registry reference of the cached library table `name`, or -2 (LUA_NOREF) when there is
  // none for `generation`; clears every cached table when `generation` differs from the last.
  int CachedLibraryRef(const std::string& name, uint64_t generation);
  void CacheLibrary(const std::string& name, int ref);

  // Bytes the state holds now.
  int64_t MemoryInUse() const { return used_; }
  // The most the state held, counting the run's text, during the last run (or this one).
  int64_t PeakMemory() const { return peak_; }
  // True while a run is going on (a calculation run from inside one takes another state).
  bool Busy() const { return depth_ > 0; }

 private:
  static void* Alloc(void* ud, void* ptr, size_t osize, size_t nsize);
  static void Hook(lua_State* L, lua_Debug* ar);
  // Ends the run for `why` with an error; every later instruction fails too.
  [[noreturn]] static void Abort(lua_State* L, RunEnd why);
  // Ends the run when its deadline has passed (the pattern matcher's step).
  static void CheckDeadline(lua_State* L);
  static int Rep(lua_State* L);
  static int Move(lua_State* L);
  static int Sort(lua_State* L);
  static int SortLess(lua_State* L);
  static int SortCall(lua_State* L);
  static int Formula(lua_State* L);
  static int SafePcall(lua_State* L);
  static int Warn(lua_State* L);
  static int TimeNow(lua_State* L);
  static LuaRuntime* Of(lua_State* L);
  void BuildSandbox();
  void BoundLibraries();
  // Pushes the chunk of `text` (kind 'B' a body, 'F' a formula), compiled under the memory cap.
  // `keep` caches it by its text.
  bool PushCompiled(char kind, const std::string& text, const std::string& chunkName, std::string* error, bool keep);

  EngineLimits limits_;
  lua_State* L_ = nullptr;
  int64_t used_ = 0;
  int64_t peak_ = 0;
  int64_t cap_ = INT64_MAX;  // applies while a run is going on
  int64_t counted_ = 0;      // instructions of the current run
  int64_t charged_ = 0;      // bytes of the run's text, counted in used_ while it runs
  platform::Clock* clock_ = nullptr;  // the current run's
  int64_t deadline_ = 0;     // on clock_'s monotonic time
  int clockCountdown_ = 0;   // hook calls until the next look at the clock
  RunEnd abort_ = RunEnd::kOk;
  int depth_ = 0;
  RunNotes* notes_ = nullptr;
  int envMetaRef_ = -2;
  int runEnvRef_ = -2;
  int safeRef_ = -2;
  std::string context_;
  // Text -> registry ref of the function, and the texts from the most recently used.
  struct CompiledEntry {
    int ref;
    std::list<std::string>::iterator use;
  };
  std::unordered_map<std::string, CompiledEntry> compiled_;
  std::list<std::string> compiledOrder_;
  struct OwnerEntry {
    std::string script, chunkName;
    int ref;
    uint64_t version;
    std::list<uint64_t>::iterator use;
  };
  std::unordered_map<uint64_t, OwnerEntry> byOwner_;
  std::list<uint64_t> ownerOrder_;  // from the most recently used
  std::unordered_map<std::string, int> libraries_;
  uint64_t libraryGeneration_ = 0;
};

// The calling thread's runtime: made by AttachThread, or on first use, with the limits in
// force then; DetachThread (or the thread's end) closes it.
LuaRuntime& ThreadRuntime();
void AttachThreadRuntime();
void DetachThreadRuntime();

}  // namespace kv::engine
