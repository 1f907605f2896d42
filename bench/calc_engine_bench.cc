// Calculate of a cached CalcScript calculation against the bare Lua C API doing the same work
// (set the two globals, call the compiled chunk, read the result), and a formula calculation
// with two tag inputs against the same two reads done directly on SQLite. Targets: <= 3x and
// <= 1.5x. BM_SandboxedLua shows what the sandbox alone adds to the bare Lua work.
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <lua.hpp>
#include <string>

#include "bench_ratio.h"
#include "bench_objects.h"
#include "components/server_objects.h"
#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/library.h"
#include "engine/server_context.h"
#include "platform/env.h"
#include "tags/sqlite_tag_store.h"

namespace {

using kv::com::Variant;
using kv::engine::ParameterFields;
using kv::engine::ZrCalculation;

using kv::bench::BenchObjects;

// A store with a Stats library and the tags Plant1/a and Plant1/b, shared by the benchmarks.
struct World {
  World() {
    char tmpl[] = "/tmp/kelvarin-bench-calc-XXXXXX";
    root = mkdtemp(tmpl);
    std::filesystem::create_directories(root + "/Lib");
    objects.env = kv::com::MakeCom<kv::engine::ZrCalcEnvironment>();
    objects.env->SetBasePath(kv::com::Bstr::FromUtf8(root));
    kv::engine::SetServerObjects(&objects);
    auto lib = kv::com::MakeCom<kv::engine::ZrLibrary>();
    lib->SetName(kv::com::Bstr::FromUtf8("Stats"));
    auto mean = lib->NewFormula("Mean");
    mean->SetScript("m = (x + y) / 2");
    ParameterFields f;
    for (const char* n : {"x", "y"}) {
      f.name = n;
      mean->AddParameter(f, Variant());
    }
    f.name = "m";
    f.direction = kv::components::kParamOut;
    mean->AddParameter(f, Variant());
    lib->SaveFile(root + "/Lib/Stats.zrc");
    auto* store = dynamic_cast<kv::tags::SqliteTagStore*>(objects.env->Tags().get());
    std::string error;
    store->Set("Plant1", "a", 3.0, kv::tags::kQualityGood, 45000, "", &error);
    store->Set("Plant1", "b", 5.0, kv::tags::kQualityGood, 45000, "", &error);
  }
  ~World() {
    kv::engine::SetServerObjects(nullptr);
    std::filesystem::remove_all(root);
  }
  std::string root;
  BenchObjects objects;
};

World& TheWorld() {
  static World w;
  return w;
}

void AddParam(ZrCalculation* c, const char* name, long direction, long kind, const Variant& v) {
  ParameterFields f;
  f.name = name;
  f.direction = static_cast<int32_t>(direction);
  f.kind = static_cast<int32_t>(kind);
  if (kind == kv::components::kParamTag) {
    f.serverName = "Plant1";
    f.tagName = name;
  }
  c->AddParameter(f, v);
}

void BM_BareLua(benchmark::State& state) {
  lua_State* L = luaL_newstate();
  luaL_loadstring(L, "Out = a + b");
  const int chunk = luaL_ref(L, LUA_REGISTRYINDEX);
  lua_Integer sum = 0;
  for (auto _ : state) {
    lua_pushinteger(L, 3);
    lua_setglobal(L, "a");
    lua_pushinteger(L, 5);
    lua_setglobal(L, "b");
    lua_rawgeti(L, LUA_REGISTRYINDEX, chunk);
    lua_pcall(L, 0, 0, 0);
    lua_getglobal(L, "Out");
    sum += lua_tointeger(L, -1);
    lua_pop(L, 1);
  }
  benchmark::DoNotOptimize(sum);
  lua_close(L);
}

// Not a floor of any target: the bare work plus only what the sandbox itself asks of every run
// (globals in a table of their own over the safe ones, emptied when the run ends; the count hook
// set and cleared), to show how much of the constants ratio the sandbox alone accounts for.
void NoHook(lua_State*, lua_Debug*) {}
void BM_SandboxedLua(benchmark::State& state) {
  lua_State* L = luaL_newstate();
  luaL_loadstring(L, "return function(_ENV, ...) do Out = a + b\nend end");
  lua_pcall(L, 0, 1, 0);
  const int fn = luaL_ref(L, LUA_REGISTRYINDEX);
  lua_newtable(L);
  lua_newtable(L);
  lua_newtable(L);
  lua_setfield(L, -2, "__index");
  lua_setmetatable(L, -2);
  const int envRef = luaL_ref(L, LUA_REGISTRYINDEX);
  lua_Integer sum = 0;
  for (auto _ : state) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, fn);
    lua_rawgeti(L, LUA_REGISTRYINDEX, envRef);
    const int env = lua_gettop(L);
    lua_pushinteger(L, 3);
    lua_setfield(L, env, "a");
    lua_pushinteger(L, 5);
    lua_setfield(L, env, "b");
    lua_pushvalue(L, env - 1);
    lua_pushvalue(L, env);
    lua_sethook(L, &NoHook, LUA_MASKCOUNT, 1000);
    lua_pcall(L, 1, 1, 0);
    lua_sethook(L, nullptr, 0, 0);
    lua_pop(L, 1);
    lua_pushliteral(L, "Out");
    lua_rawget(L, env);
    sum += lua_tointeger(L, -1);
    lua_pop(L, 1);
    for (const char* name : {"a", "b", "Out"}) {
      lua_pushnil(L);
      lua_setfield(L, env, name);
    }
    lua_pushnil(L);
    if (lua_next(L, env)) lua_pop(L, 2);
    lua_settop(L, 0);
  }
  benchmark::DoNotOptimize(sum);
  lua_close(L);
}

void BM_CalculateConstants(benchmark::State& state) {
  TheWorld();
  auto calc = kv::com::MakeCom<ZrCalculation>();
  calc->SetName(kv::com::Bstr::FromUtf8("Bench"));
  calc->SetScript("Out = a + b");
  AddParam(calc.Get(), "a", kv::components::kParamIn, kv::components::kParamConstant, Variant::I4(3));
  AddParam(calc.Get(), "b", kv::components::kParamIn, kv::components::kParamConstant, Variant::I4(5));
  AddParam(calc.Get(), "Out", kv::components::kParamOut, kv::components::kParamConstant, Variant());
  calc->Calculate();
  if (calc->Result() != Variant::I4(8)) state.SkipWithError(calc->ErrorText().c_str());
  for (auto _ : state) calc->Calculate();
}

void BM_BareSqliteReads(benchmark::State& state) {
  const std::string path = TheWorld().root + "/bin/tags.db";
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT value, quality, time, units FROM tags WHERE server=?1 AND tag=?2", -1, &st, nullptr);
  double sum = 0;
  for (auto _ : state) {
    for (const char* tag : {"a", "b"}) {
      sqlite3_bind_text(st, 1, "Plant1", -1, SQLITE_STATIC);
      sqlite3_bind_text(st, 2, tag, -1, SQLITE_STATIC);
      if (sqlite3_step(st) == SQLITE_ROW) sum += sqlite3_column_double(st, 0);
      sqlite3_reset(st);
    }
  }
  benchmark::DoNotOptimize(sum);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

void BM_CalculateFormulaTags(benchmark::State& state) {
  TheWorld();
  auto calc = kv::com::MakeCom<ZrCalculation>();
  calc->SetName(kv::com::Bstr::FromUtf8("Bench"));
  calc->SetScript("Out = Stats.Mean(a, b)");
  calc->SetLibraries({"Stats"});
  AddParam(calc.Get(), "a", kv::components::kParamIn, kv::components::kParamTag, Variant());
  AddParam(calc.Get(), "b", kv::components::kParamIn, kv::components::kParamTag, Variant());
  AddParam(calc.Get(), "Out", kv::components::kParamOut, kv::components::kParamConstant, Variant());
  calc->Calculate();
  if (calc->Result() != Variant::R8(4)) state.SkipWithError(calc->ErrorText().c_str());
  for (auto _ : state) calc->Calculate();
}

BENCHMARK(BM_BareLua);
BENCHMARK(BM_SandboxedLua);
BENCHMARK(BM_CalculateConstants);
BENCHMARK(BM_BareSqliteReads);
BENCHMARK(BM_CalculateFormulaTags);

}  // namespace

int main(int argc, char** argv) {
  return kv::bench::RunWithRatios(argc, argv,
                                  {{"BM_CalculateConstants", "BM_BareLua"},
                                   {"BM_SandboxedLua", "BM_BareLua"},
                                   {"BM_CalculateFormulaTags", "BM_BareSqliteReads"}});
}
