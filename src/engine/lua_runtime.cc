#include "engine/lua_runtime.h"

#include <lua.hpp>

#include <cstdlib>
#include <cstring>

#include "engine/server_context.h"
#include "platform/env.h"

namespace kv::engine {
namespace {

// Instructions between two looks at the budget.
constexpr int kHookPeriod = 1000;
// Compiled chunks a state keeps before it starts afresh.
constexpr size_t kMaxCompiled = 2000;

constexpr const char* kSafeFunctions[] = {"pairs", "ipairs", "next",  "select", "tonumber",
                                          "tostring", "type", "error", "assert", "rawequal"};
constexpr const char* kSafeLibraries[] = {"math", "string", "table", "utf8"};

int ReadOnlyWrite(lua_State* L) { return luaL_error(L, "attempt to change a read-only table"); }

int ReadOnlyPairs(lua_State* L) {
  lua_pushvalue(L, lua_upvalueindex(1));  // next
  lua_pushvalue(L, lua_upvalueindex(2));  // the real table
  lua_pushnil(L);
  return 3;
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
  return limits;
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
  if (p) rt->used_ += grow;
  return p;
}

void LuaRuntime::Hook(lua_State* L, lua_Debug*) {
  LuaRuntime* rt = Of(L);
  rt->counted_ += rt->abort_ == RunEnd::kOk ? kHookPeriod : 1;
  if (rt->abort_ == RunEnd::kOk && rt->counted_ <= rt->limits_.instructions) return;
  if (rt->abort_ == RunEnd::kOk) {
    rt->abort_ = RunEnd::kInstructionLimit;
    // From now on every instruction fails, so a pcall in the script cannot carry on.
    lua_sethook(L, &LuaRuntime::Hook, LUA_MASKCOUNT, 1);
  }
  luaL_error(L, "instruction limit of %I exceeded", static_cast<lua_Integer>(rt->limits_.instructions));
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
  const int n = lua_gettop(L);
  std::string text;
  for (int i = 1; i <= n; ++i) text += luaL_tolstring(L, i, nullptr);
  if (rt->notes_) rt->notes_->warnings.push_back(std::move(text));
  return 0;
}

int LuaRuntime::TimeNow(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(EnginePlatform().clock->NowUnixMs()) / 1000.0);
  return 1;
}

int LuaRuntime::NewEnv(lua_State* L) {
  Of(L)->PushEnvironment();
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
  lua_getfield(L, LUA_REGISTRYINDEX, "kv.next");
  lua_pushvalue(L, real);
  lua_pushcclosure(L, &ReadOnlyPairs, 2);
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

  lua_getglobal(L, "next");
  lua_setfield(L, LUA_REGISTRYINDEX, "kv.next");

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

bool LuaRuntime::PushCompiled(const std::string& text, const std::string& chunkName, std::string* error) {
  std::string key = chunkName;
  key.push_back('\0');
  key += text;
  if (auto it = compiled_.find(key); it != compiled_.end()) {
    lua_rawgeti(L_, LUA_REGISTRYINDEX, it->second);
    return true;
  }
  if (compiled_.size() >= kMaxCompiled) {
    for (const auto& [k, ref] : compiled_) luaL_unref(L_, LUA_REGISTRYINDEX, ref);
    compiled_.clear();
  }
  const std::string name = "=" + chunkName;
  if (luaL_loadbufferx(L_, text.data(), text.size(), name.c_str(), "t") != LUA_OK) {
    *error = lua_tostring(L_, -1) ? lua_tostring(L_, -1) : "syntax error";
    lua_pop(L_, 1);
    return false;
  }
  // The chunk only makes the function (and, for formulas, takes the environment maker).
  lua_pushcfunction(L_, &LuaRuntime::NewEnv);
  if (lua_pcall(L_, 1, 1, 0) != LUA_OK || !lua_isfunction(L_, -1)) {
    *error = lua_tostring(L_, -1) ? lua_tostring(L_, -1) : "the script did not compile";
    lua_pop(L_, 1);
    return false;
  }
  lua_pushvalue(L_, -1);
  compiled_.emplace(std::move(key), luaL_ref(L_, LUA_REGISTRYINDEX));
  return true;
}

bool LuaRuntime::PushBody(const std::string& script, const std::string& chunkName, std::string* error) {
  // The script's first line stays line 1, so messages give the user's line numbers.
  return PushCompiled("return function(_ENV, ...) do " + script + "\nend end", chunkName, error);
}

bool LuaRuntime::PushBodyFor(uint64_t owner, uint64_t version, const std::string& script,
                             const std::string& chunkName, std::string* error) {
  auto it = byOwner_.find(owner);
  if (it != byOwner_.end() &&
      ((version != 0 && it->second.version == version) ||
       (it->second.script == script && it->second.chunkName == chunkName))) {
    it->second.version = version;
    lua_rawgeti(L_, LUA_REGISTRYINDEX, it->second.ref);
    return true;
  }
  if (!PushBody(script, chunkName, error)) return false;
  if (it != byOwner_.end()) {
    luaL_unref(L_, LUA_REGISTRYINDEX, it->second.ref);
    byOwner_.erase(it);
  }
  if (byOwner_.size() >= kMaxCompiled) {
    for (const auto& [o, e] : byOwner_) luaL_unref(L_, LUA_REGISTRYINDEX, e.ref);
    byOwner_.clear();
  }
  lua_pushvalue(L_, -1);
  byOwner_.emplace(owner, OwnerEntry{script, chunkName, luaL_ref(L_, LUA_REGISTRYINDEX), version});
  return true;
}

bool LuaRuntime::PushFormula(const std::string& body, const std::vector<std::string>& params,
                             const std::string& result, const std::string& chunkName, std::string* error) {
  std::string list;
  for (const auto& p : params) list += (list.empty() ? "" : ", ") + p;
  return PushCompiled("local __kv_env = ...; return function(" + list + ") local _ENV = __kv_env() do " + body +
                          "\nend return " + (result.empty() ? "nil" : result) + " end",
                      chunkName, error);
}

RunEnd LuaRuntime::Call(int nargs, int nresults, std::string* error, RunNotes* notes) {
  const bool outer = depth_ == 0;
  if (outer) {
    counted_ = 0;
    abort_ = RunEnd::kOk;
    cap_ = used_ + limits_.memoryBytes;
    notes_ = notes;
    lua_sethook(L_, &LuaRuntime::Hook, LUA_MASKCOUNT, kHookPeriod);
  }
  ++depth_;
  const int rc = lua_pcall(L_, nargs, nresults, 0);
  --depth_;
  RunEnd end = rc == LUA_OK ? RunEnd::kOk : RunEnd::kError;
  if (rc != LUA_OK) {
    const char* msg = lua_tostring(L_, -1);
    *error = msg ? msg : "error object is not a string";
    lua_pop(L_, 1);
  }
  if (outer) {
    lua_sethook(L_, nullptr, 0, 0);
    cap_ = INT64_MAX;
    notes_ = nullptr;
    if (abort_ == RunEnd::kMemoryLimit) {
      *error = "memory limit of " + std::to_string(limits_.memoryBytes / 1024) + " KB exceeded";
      end = RunEnd::kMemoryLimit;
    } else if (abort_ == RunEnd::kInstructionLimit) {
      end = RunEnd::kInstructionLimit;
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
