#include "engine/lua_runtime.h"

#include <lua.hpp>

#include <cstdlib>
#include <cstring>

#include "engine/lua_patterns.h"
#include "engine/server_context.h"
#include "platform/env.h"

namespace kv::engine {
namespace {

// Instructions between two looks at the budget.
constexpr int kHookPeriod = 1000;
// Looks at the budget between two looks at the clock (a clock read costs more than a count).
constexpr int kClockPeriod = 8;
// Elements table.move moves between two looks at the clock.
constexpr lua_Integer kMoveSlice = 4096;
// string.rep results from this size on read the clock first.
constexpr int64_t kLargeCopyBytes = 64 * 1024;
// Tables at most this long sort with the comparison as given: their sort is short.
constexpr lua_Unsigned kShortSort = 1024;
// Comparisons of a long sort between two looks at the clock.
constexpr int kSortPeriod = 1024;
// Compiled chunks a state keeps by text (formulas, bodies run without an owner); the least
// recently used goes first.
constexpr size_t kMaxCompiled = 2000;
// Calculation bodies a state keeps by owner: room for the calculations of the largest groups a
// thread runs, so that a pass finds every body compiled; the least recently used goes first.
constexpr size_t kMaxOwners = 16384;

constexpr const char* kSafeFunctions[] = {"pairs", "ipairs", "next",  "select", "tonumber",
                                          "tostring", "type", "error", "assert", "rawequal"};
constexpr const char* kSafeLibraries[] = {"math", "string", "table", "utf8"};

int ReadOnlyWrite(lua_State* L) { return luaL_error(L, "attempt to change a read-only table"); }

// The iterator of a read-only view: next over the protected table (its upvalue), whatever
// state it is given, so it answers keys and values, never the table.
int ReadOnlyNext(lua_State* L) {
  lua_settop(L, 2);
  if (lua_next(L, lua_upvalueindex(1))) return 2;
  lua_pushnil(L);
  return 1;
}

// pairs(view): the iterator above, the view itself as the state.
int ReadOnlyPairs(lua_State* L) {
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_pushvalue(L, 1);
  lua_pushnil(L);
  return 3;
}

// The original library function a wrapper stands for (its second upvalue).
lua_CFunction Original(lua_State* L) {
  return reinterpret_cast<lua_CFunction>(lua_touserdata(L, lua_upvalueindex(2)));
}

int64_t DwordOr(platform::RegistryStore* reg, const char* name, int64_t fallback, int64_t scale) {
  platform::RegValue v;
  if (!reg || reg->GetValue(platform::RegHive::LocalMachine, kEngineKey, name, &v) != platform::kRegOk ||
      v.type != platform::REG_DWORD || v.dword == 0)
    return fallback;
  return static_cast<int64_t>(v.dword) * scale;
}

thread_local std::unique_ptr<LuaRuntime> t_runtime;

}  // namespace

EngineLimits ReadEngineLimits(platform::Env* env) {
  EngineLimits limits;
  platform::RegistryStore* reg = env ? env->registry : nullptr;
  limits.instructions = DwordOr(reg, kInstructionLimitValue, limits.instructions, 1);
  limits.memoryBytes = DwordOr(reg, kMemoryLimitValue, limits.memoryBytes, 1024);
  limits.timeMs = DwordOr(reg, kTimeLimitValue, limits.timeMs, 1);
  return limits;
}

void LimitRunText(std::string* text) {
  static constexpr char kCut[] = "...";
  if (text->size() <= kMaxRunTextBytes) return;
  size_t end = kMaxRunTextBytes - (sizeof(kCut) - 1);
  while (end > 0 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80) end--;
  text->resize(end);
  text->append(kCut);
}

LuaRuntime* LuaRuntime::Of(lua_State* L) {
  void* ud = nullptr;
  lua_getallocf(L, &ud);
  return static_cast<LuaRuntime*>(ud);
}

void* LuaRuntime::Alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* rt = static_cast<LuaRuntime*>(ud);
  if (!ptr) osize = 0;
  if (nsize == 0) {
    std::free(ptr);
    rt->used_ -= static_cast<int64_t>(osize);
    return nullptr;
  }
  const int64_t grow = static_cast<int64_t>(nsize) - static_cast<int64_t>(osize);
  if (grow > 0 && rt->used_ + grow > rt->cap_) {
    rt->abort_ = RunEnd::kMemoryLimit;
    return nullptr;
  }
  void* p = std::realloc(ptr, nsize);
  if (p) {
    rt->used_ += grow;
    if (rt->used_ > rt->peak_) rt->peak_ = rt->used_;
  }
  return p;
}

void LuaRuntime::Hook(lua_State* L, lua_Debug*) {
  LuaRuntime* rt = Of(L);
  if (rt->abort_ == RunEnd::kOk) {
    rt->counted_ += kHookPeriod;
    if (rt->counted_ > rt->limits_.instructions) Abort(L, RunEnd::kInstructionLimit);
    if (--rt->clockCountdown_ > 0) return;
    rt->clockCountdown_ = kClockPeriod;
    CheckDeadline(L);
    return;
  }
  Abort(L, rt->abort_);
}

void LuaRuntime::Abort(lua_State* L, RunEnd why) {
  LuaRuntime* rt = Of(L);
  if (rt->abort_ == RunEnd::kOk) {
    rt->abort_ = why;
    // From now on every instruction fails, so a pcall in the script cannot carry on.
    lua_sethook(L, &LuaRuntime::Hook, LUA_MASKCOUNT, 1);
  }
  switch (rt->abort_) {
    case RunEnd::kInstructionLimit:
      luaL_error(L, "instruction limit of %I exceeded", static_cast<lua_Integer>(rt->limits_.instructions));
      break;
    case RunEnd::kTimeLimit:
      luaL_error(L, "time limit of %I ms exceeded", static_cast<lua_Integer>(rt->limits_.timeMs));
      break;
    default: luaL_error(L, "not enough memory"); break;
  }
  std::abort();  // luaL_error does not return
}

void LuaRuntime::CheckDeadline(lua_State* L) {
  LuaRuntime* rt = Of(L);
  if (rt->abort_ != RunEnd::kOk) Abort(L, rt->abort_);
  if (rt->clock_ && rt->clock_->MonotonicMs() >= rt->deadline_) Abort(L, RunEnd::kTimeLimit);
}

int LuaRuntime::Rep(lua_State* L) {
  size_t l, lsep;
  luaL_checklstring(L, 1, &l);
  const lua_Integer n = luaL_checkinteger(L, 2);
  luaL_optlstring(L, 3, "", &lsep);
  if (n > 0 && l + lsep >= l && l + lsep <= static_cast<size_t>(INT64_MAX) / static_cast<lua_Unsigned>(n)) {
    const auto total = static_cast<int64_t>(static_cast<lua_Unsigned>(n) * l + static_cast<lua_Unsigned>(n - 1) * lsep);
    // Nothing to copy: Lua's own would still loop n times.
    if (total == 0) {
      lua_pushliteral(L, "");
      return 1;
    }
    LuaRuntime* rt = Of(L);
    if (total > rt->cap_ - rt->used_) Abort(L, RunEnd::kMemoryLimit);
    // A large copy is work the hook does not see: the clock is read before each.
    if (total >= kLargeCopyBytes) CheckDeadline(L);
  }
  return Original(L)(L);  // and its message for a result too large
}

int LuaRuntime::Move(lua_State* L) {
  const lua_Integer f = luaL_checkinteger(L, 2);
  const lua_Integer e = luaL_checkinteger(L, 3);
  const lua_Integer t = luaL_checkinteger(L, 4);
  const lua_CFunction move = Original(L);
  if (e < f || (f > 0 && e - f < kMoveSlice)) return move(L);
  luaL_argcheck(L, f > 0 || e < LUA_MAXINTEGER + f, 3, "too many elements to move");
  const lua_Integer n = e - f + 1;
  luaL_argcheck(L, t <= LUA_MAXINTEGER - n + 1, 4, "destination wrap around");
  lua_settop(L, 5);
  const int tt = lua_isnil(L, 5) ? 1 : 5;
  // Slices in the order the whole move would take, so overlapping moves come out the same.
  const bool forward = t > e || t <= f || (tt != 1 && !lua_compare(L, 1, tt, LUA_OPEQ));
  for (lua_Integer done = 0; done < n;) {
    const lua_Integer len = n - done < kMoveSlice ? n - done : kMoveSlice;
    const lua_Integer from = forward ? done : n - done - len;
    lua_pushinteger(L, f + from);
    lua_replace(L, 2);
    lua_pushinteger(L, f + from + len - 1);
    lua_replace(L, 3);
    lua_pushinteger(L, t + from);
    lua_replace(L, 4);
    move(L);
    lua_settop(L, 5);
    done += len;
    CheckDeadline(L);
  }
  lua_pushvalue(L, tt);
  return 1;
}

namespace {
thread_local int t_sortCountdown = kSortPeriod;
void CountComparison(lua_State* L, void (*check)(lua_State*)) {
  if (--t_sortCountdown > 0) return;
  t_sortCountdown = kSortPeriod;
  check(L);
}
}  // namespace

int LuaRuntime::SortLess(lua_State* L) {
  CountComparison(L, &CheckDeadline);
  lua_pushboolean(L, lua_compare(L, 1, 2, LUA_OPLT));
  return 1;
}

int LuaRuntime::SortCall(lua_State* L) {
  CountComparison(L, &CheckDeadline);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, 2, 1);
  return 1;
}

int LuaRuntime::Sort(lua_State* L) {
  // A long sort compares through a function that looks at the clock: a Lua comparison is
  // counted by the hook already, the default one and a C function are not.
  if (lua_type(L, 1) == LUA_TTABLE && lua_rawlen(L, 1) > kShortSort) {
    if (lua_isnoneornil(L, 2)) {
      lua_settop(L, 1);
      lua_pushcfunction(L, &LuaRuntime::SortLess);
    } else if (lua_iscfunction(L, 2)) {
      lua_settop(L, 2);
      lua_pushcclosure(L, &LuaRuntime::SortCall, 1);
    }
  }
  return Original(L)(L);
}

int LuaRuntime::SafePcall(lua_State* L) {
  luaL_checkany(L, 1);
  const int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
  // A run past its limits ends, whatever the script catches.
  if (Of(L)->abort_ != RunEnd::kOk) return lua_error(L);
  lua_pushboolean(L, status == LUA_OK);
  lua_insert(L, 1);
  return lua_gettop(L);
}

int LuaRuntime::Warn(lua_State* L) {
  LuaRuntime* rt = Of(L);
  CheckDeadline(L);
  const int n = lua_gettop(L);
  // Built in Lua's memory, so the text counts before any of it is kept.
  for (int i = 1; i <= n; ++i) luaL_tolstring(L, i, nullptr);
  lua_concat(L, n);
  size_t len = 0;
  const char* text = lua_tolstring(L, -1, &len);
  // The warning stays charged to the run until it ends, as its text is handed out then.
  if (rt->used_ + static_cast<int64_t>(len) > rt->cap_) Abort(L, RunEnd::kMemoryLimit);
  rt->charged_ += static_cast<int64_t>(len);
  rt->used_ += static_cast<int64_t>(len);
  if (rt->used_ > rt->peak_) rt->peak_ = rt->used_;
  RunNotes* notes = rt->notes_;
  if (notes && notes->keptBytes <= kMaxRunTextBytes) {
    const size_t keep = len < kMaxRunTextBytes + 1 - notes->keptBytes ? len : kMaxRunTextBytes + 1 - notes->keptBytes;
    notes->warnings.emplace_back(text, keep);
    notes->keptBytes += keep;
  }
  return 0;
}

int LuaRuntime::TimeNow(lua_State* L) {
  LuaRuntime* rt = Of(L);
  platform::Clock& clock = rt->clock_ ? *rt->clock_ : *EnginePlatform().clock;
  lua_pushnumber(L, static_cast<lua_Number>(clock.NowUnixMs()) / 1000.0);
  return 1;
}

int LuaRuntime::Formula(lua_State* L) {
  // Upvalues: the formula's chunk, the names of its parameters, the name of its result.
  LuaRuntime* rt = Of(L);
  const int nargs = lua_gettop(L);
  rt->PushEnvironment();
  const int env = nargs + 1;
  const auto nparams = static_cast<int>(lua_rawlen(L, lua_upvalueindex(2)));
  for (int i = 1; i <= nparams; ++i) {
    lua_rawgeti(L, lua_upvalueindex(2), i);
    if (i <= nargs) lua_pushvalue(L, i);
    else lua_pushnil(L);
    lua_rawset(L, env);
  }
  // The chunk's _ENV is this call's environment while it runs, and the caller's again after,
  // so a formula that reaches itself (through a library handed to it) keeps its own.
  lua_pushvalue(L, lua_upvalueindex(1));
  const int chunk = env + 1;
  lua_getupvalue(L, chunk, 1);
  lua_pushvalue(L, env);
  lua_setupvalue(L, chunk, 1);
  lua_pushvalue(L, chunk);
  const int status = lua_pcall(L, 0, LUA_MULTRET, 0);
  lua_pushvalue(L, chunk + 1);
  lua_setupvalue(L, chunk, 1);
  if (status != LUA_OK) return lua_error(L);
  const int nres = lua_gettop(L) - (chunk + 1);
  if (nres > 0 || lua_isnil(L, lua_upvalueindex(3))) return nres;
  lua_pushvalue(L, lua_upvalueindex(3));
  lua_gettable(L, env);
  return 1;
}

LuaRuntime::LuaRuntime(EngineLimits limits) : limits_(limits) {
  L_ = lua_newstate(&LuaRuntime::Alloc, this);
  if (!L_) std::abort();
  BuildSandbox();
}

LuaRuntime::~LuaRuntime() { lua_close(L_); }

void LuaRuntime::MakeReadOnly() {
  lua_State* L = L_;
  const int real = lua_gettop(L);
  lua_newtable(L);  // the view
  lua_createtable(L, 0, 4);
  lua_pushvalue(L, real);
  lua_setfield(L, -2, "__index");
  lua_pushcfunction(L, &ReadOnlyWrite);
  lua_setfield(L, -2, "__newindex");
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");
  lua_pushvalue(L, real);
  lua_pushcclosure(L, &ReadOnlyNext, 1);
  lua_pushcclosure(L, &ReadOnlyPairs, 1);
  lua_setfield(L, -2, "__pairs");
  lua_setmetatable(L, -2);
  lua_replace(L, real);
}

void LuaRuntime::BuildSandbox() {
  lua_State* L = L_;
  luaL_requiref(L, "_G", luaopen_base, 1);
  lua_pop(L, 1);
  luaL_requiref(L, LUA_STRLIBNAME, luaopen_string, 1);
  lua_pop(L, 1);
  luaL_requiref(L, LUA_TABLIBNAME, luaopen_table, 1);
  lua_pop(L, 1);
  luaL_requiref(L, LUA_MATHLIBNAME, luaopen_math, 1);
  lua_pop(L, 1);
  luaL_requiref(L, LUA_UTF8LIBNAME, luaopen_utf8, 1);
  lua_pop(L, 1);

  // string.dump would hand out binary chunks; strings reach the library through their
  // metatable, so it goes from the library itself.
  lua_getglobal(L, LUA_STRLIBNAME);
  lua_pushnil(L);
  lua_setfield(L, -2, "dump");
  lua_pop(L, 1);
  // math.random is seeded per state; keep it, it is harmless.
  BoundLibraries();

  lua_newtable(L);  // the safe globals
  const int safe = lua_gettop(L);
  for (const char* name : kSafeFunctions) {
    lua_getglobal(L, name);
    lua_setfield(L, safe, name);
  }
  for (const char* name : kSafeLibraries) {
    lua_getglobal(L, name);
    MakeReadOnly();
    lua_setfield(L, safe, name);
  }
  lua_pushcfunction(L, &LuaRuntime::SafePcall);
  lua_setfield(L, safe, "pcall");
  lua_pushcfunction(L, &LuaRuntime::Warn);
  lua_setfield(L, safe, "warn");
  lua_newtable(L);
  lua_pushcfunction(L, &LuaRuntime::TimeNow);
  lua_setfield(L, -2, "now");
  MakeReadOnly();
  lua_setfield(L, safe, "time");

  lua_createtable(L, 0, 2);  // the metatable of every run's environment
  lua_pushvalue(L, safe);
  lua_setfield(L, -2, "__index");
  envMetaRef_ = luaL_ref(L, LUA_REGISTRYINDEX);
  lua_pushliteral(L, "");
  lua_setfield(L, safe, "Context");
  safeRef_ = luaL_ref(L, LUA_REGISTRYINDEX);  // pops safe
  PushEnvironment();
  runEnvRef_ = luaL_ref(L, LUA_REGISTRYINDEX);

  // Chunks are loaded with an empty global table: nothing of the full libraries stays
  // reachable from a script.
  lua_newtable(L);
  lua_rawseti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
  lua_gc(L, LUA_GCCOLLECT);
}

void LuaRuntime::BoundLibraries() {
  lua_State* L = L_;
  // Strings reach the same table through their metatable, so the bounded functions serve both.
  lua_getglobal(L, LUA_STRLIBNAME);
  InstallBoundedPatterns(L, -1, &LuaRuntime::CheckDeadline);
  const struct {
    const char* lib;
    const char* name;
    lua_CFunction f;
  } wrapped[] = {{LUA_STRLIBNAME, "rep", &LuaRuntime::Rep},
                 {LUA_TABLIBNAME, "move", &LuaRuntime::Move},
                 {LUA_TABLIBNAME, "sort", &LuaRuntime::Sort}};
  lua_pop(L, 1);
  for (const auto& w : wrapped) {
    lua_getglobal(L, w.lib);
    lua_pushnil(L);  // no first upvalue: Original reads the second
    lua_getfield(L, -2, w.name);
    lua_pushlightuserdata(L, reinterpret_cast<void*>(lua_tocfunction(L, -1)));
    lua_remove(L, -2);
    lua_pushcclosure(L, w.f, 2);
    lua_setfield(L, -2, w.name);
    lua_pop(L, 1);
  }
}

void LuaRuntime::PushEnvironment() {
  lua_createtable(L_, 0, 8);
  lua_rawgeti(L_, LUA_REGISTRYINDEX, envMetaRef_);
  lua_setmetatable(L_, -2);
}

void LuaRuntime::PushRunEnvironment() { lua_rawgeti(L_, LUA_REGISTRYINDEX, runEnvRef_); }

void LuaRuntime::SetContext(const std::string& context) {
  // Kept with the safe globals, where a script cannot change it, and set only when it changes.
  if (context == context_) return;
  lua_rawgeti(L_, LUA_REGISTRYINDEX, safeRef_);
  lua_pushlstring(L_, context.data(), context.size());
  lua_setfield(L_, -2, "Context");
  lua_pop(L_, 1);
  context_ = context;
}

void LuaRuntime::EndRunEnvironment() {
  lua_rawgeti(L_, LUA_REGISTRYINDEX, runEnvRef_);
  const int env = lua_gettop(L_);
  // The caller has emptied the names it bound and read; what a script made of its own is found
  // here. Setting a present field to nil during a traversal is allowed and frees nothing, so the
  // table keeps its slots for the next run's names.
  lua_pushnil(L_);
  while (lua_next(L_, env)) {
    lua_pop(L_, 1);
    lua_pushvalue(L_, -1);
    lua_pushnil(L_);
    lua_rawset(L_, env);
  }
  lua_pop(L_, 1);
}

bool LuaRuntime::PushCompiled(char kind, const std::string& text, const std::string& chunkName,
                              std::string* error, bool keep) {
  std::string key;
  if (keep) {
    key.assign(1, kind);
    key += chunkName;
    key.push_back('\0');
    key += text;
    if (auto it = compiled_.find(key); it != compiled_.end()) {
      compiledOrder_.splice(compiledOrder_.begin(), compiledOrder_, it->second.use);
      lua_rawgeti(L_, LUA_REGISTRYINDEX, it->second.ref);
      return true;
    }
  }
  const std::string name = "=" + chunkName;
  // Compiling runs nothing of the script, but may take memory: the run's cap holds for it.
  const int64_t cap = cap_;
  if (depth_ == 0) cap_ = used_ + limits_.memoryBytes;
  const int rc = luaL_loadbufferx(L_, text.data(), text.size(), name.c_str(), "t");
  cap_ = cap;
  if (rc != LUA_OK) {
    *error = lua_tostring(L_, -1) ? lua_tostring(L_, -1) : "the script did not compile";
    LimitRunText(error);
    lua_pop(L_, 1);
    return false;
  }
  if (kind == 'B') {
    // A body always runs in the state's run environment.
    lua_rawgeti(L_, LUA_REGISTRYINDEX, runEnvRef_);
    lua_setupvalue(L_, -2, 1);
  }
  if (!keep) return true;
  if (compiled_.size() >= kMaxCompiled) {
    auto last = compiled_.find(compiledOrder_.back());
    luaL_unref(L_, LUA_REGISTRYINDEX, last->second.ref);
    compiled_.erase(last);
    compiledOrder_.pop_back();
  }
  lua_pushvalue(L_, -1);
  const int ref = luaL_ref(L_, LUA_REGISTRYINDEX);
  compiledOrder_.push_front(key);
  compiled_.emplace(std::move(key), CompiledEntry{ref, compiledOrder_.begin()});
  return true;
}

bool LuaRuntime::PushBody(const std::string& script, const std::string& chunkName, std::string* error) {
  return PushCompiled('B', script, chunkName, error, true);
}

bool LuaRuntime::PushBodyFor(uint64_t owner, uint64_t version, const std::string& script,
                             const std::string& chunkName, std::string* error) {
  auto it = byOwner_.find(owner);
  if (it != byOwner_.end() &&
      ((version != 0 && it->second.version == version) ||
       (it->second.script == script && it->second.chunkName == chunkName))) {
    it->second.version = version;
    ownerOrder_.splice(ownerOrder_.begin(), ownerOrder_, it->second.use);
    lua_rawgeti(L_, LUA_REGISTRYINDEX, it->second.ref);
    return true;
  }
  // The owner's entry is its body's only holder: no second copy by text.
  if (!PushCompiled('B', script, chunkName, error, false)) return false;
  if (it != byOwner_.end()) {
    luaL_unref(L_, LUA_REGISTRYINDEX, it->second.ref);
    ownerOrder_.erase(it->second.use);
    byOwner_.erase(it);
  }
  if (byOwner_.size() >= kMaxOwners) {
    auto last = byOwner_.find(ownerOrder_.back());
    luaL_unref(L_, LUA_REGISTRYINDEX, last->second.ref);
    byOwner_.erase(last);
    ownerOrder_.pop_back();
  }
  lua_pushvalue(L_, -1);
  ownerOrder_.push_front(owner);
  byOwner_.emplace(owner,
                   OwnerEntry{script, chunkName, luaL_ref(L_, LUA_REGISTRYINDEX), version, ownerOrder_.begin()});
  return true;
}

bool LuaRuntime::PushFormula(const std::string& body, const std::vector<std::string>& params,
                             const std::string& result, const std::string& chunkName, std::string* error) {
  if (!PushCompiled('F', body, chunkName, error, true)) return false;
  lua_createtable(L_, static_cast<int>(params.size()), 0);
  for (size_t i = 0; i < params.size(); ++i) {
    lua_pushlstring(L_, params[i].data(), params[i].size());
    lua_rawseti(L_, -2, static_cast<lua_Integer>(i + 1));
  }
  if (result.empty()) lua_pushnil(L_);
  else lua_pushlstring(L_, result.data(), result.size());
  lua_pushcclosure(L_, &LuaRuntime::Formula, 3);
  return true;
}

RunEnd LuaRuntime::Call(int nargs, int nresults, std::string* error, RunNotes* notes, platform::Clock& clock) {
  const bool outer = depth_ == 0;
  if (outer) {
    counted_ = 0;
    charged_ = 0;
    peak_ = used_;
    abort_ = RunEnd::kOk;
    cap_ = used_ + limits_.memoryBytes;
    notes_ = notes;
    clock_ = &clock;
    deadline_ = clock.MonotonicMs() + limits_.timeMs;
    clockCountdown_ = kClockPeriod;
    lua_sethook(L_, &LuaRuntime::Hook, LUA_MASKCOUNT, kHookPeriod);
  }
  ++depth_;
  const int rc = lua_pcall(L_, nargs, nresults, 0);
  --depth_;
  RunEnd end = rc == LUA_OK ? RunEnd::kOk : RunEnd::kError;
  if (rc != LUA_OK) {
    size_t len = 0;
    const char* msg = lua_tolstring(L_, -1, &len);
    if (msg) error->assign(msg, len < kMaxRunTextBytes + 1 ? len : kMaxRunTextBytes + 1);
    else *error = "error object is not a string";
    LimitRunText(error);
    lua_pop(L_, 1);
  }
  if (outer) {
    lua_sethook(L_, nullptr, 0, 0);
    if (notes) notes->memoryLeft = cap_ - used_;
    used_ -= charged_;
    charged_ = 0;
    cap_ = INT64_MAX;
    notes_ = nullptr;
    clock_ = nullptr;
    if (abort_ == RunEnd::kMemoryLimit) {
      *error = "memory limit of " + std::to_string(limits_.memoryBytes / 1024) + " KB exceeded";
      end = RunEnd::kMemoryLimit;
    } else if (abort_ != RunEnd::kOk) {
      end = abort_;
    }
    if (abort_ != RunEnd::kOk) lua_gc(L_, LUA_GCCOLLECT);
    abort_ = RunEnd::kOk;
  }
  return end;
}

int LuaRuntime::CachedLibraryRef(const std::string& name, uint64_t generation) {
  if (generation != libraryGeneration_) {
    for (const auto& [n, ref] : libraries_) luaL_unref(L_, LUA_REGISTRYINDEX, ref);
    libraries_.clear();
    libraryGeneration_ = generation;
  }
  auto it = libraries_.find(name);
  return it == libraries_.end() ? LUA_NOREF : it->second;
}

void LuaRuntime::CacheLibrary(const std::string& name, int ref) {
  if (auto it = libraries_.find(name); it != libraries_.end()) luaL_unref(L_, LUA_REGISTRYINDEX, it->second);
  libraries_[name] = ref;
}

LuaRuntime& ThreadRuntime() {
  if (!t_runtime) t_runtime = std::make_unique<LuaRuntime>(ReadEngineLimits(ServerPlatform()));
  return *t_runtime;
}

void AttachThreadRuntime() {
  if (!t_runtime) t_runtime = std::make_unique<LuaRuntime>(ReadEngineLimits(ServerPlatform()));
}

void DetachThreadRuntime() { t_runtime.reset(); }

}  // namespace kv::engine
