// One schedule group's pass over N scheduled calculations Out_i = a_i*2 + b_i on tags, as the
// group thread runs it (ZrScheduleGroup::Execute), for N = 1,000 and 5,000, with each output
// tag's history fresh (a few writes) and full (the ring's 1,000 writes). The figure is the
// process's CPU time per calculation over three passes. The floor, measured on the same database
// in the same run, is the bare SQLite work of a pass in C: in one write transaction, for each
// calculation read both inputs, compute, update the output tag and write its history slot with
// prepared statements. The resident memory the server's objects add (rss_growth_MiB, from before
// the N calculations exist to after their passes) gives the memory per calculation when runs of
// different N are compared (--benchmark_filter=/1000/ and /5000/ in separate processes).
#include <sqlite3.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "bench_objects.h"
#include "process_usage.h"
#include "components/server_objects.h"
#include "engine/calc_environment.h"
#include "engine/calculation.h"
#include "engine/schedule_group.h"
#include "engine/server_context.h"
#include "platform/env.h"
#include "tags/sqlite_tag_store.h"

namespace {

using kv::com::Bstr;
using kv::com::Variant;
using kv::engine::ParameterFields;

constexpr int kPasses = 3;
constexpr int kHistory = kv::tags::SqliteTagStore::kDefaultHistoryPerTag;

using kv::bench::CpuSeconds;
using kv::bench::RssMiB;

using kv::bench::BenchObjects;

std::string Name(const char* what, int i) { return what + std::to_string(i); }

// A main store of N calculations in one group, with their 3N tags.
struct World {
  explicit World(int n) : n(n) {
    rssBefore = RssMiB();
    root = kv::bench::MakeTempDir("throughput");
    std::filesystem::create_directories(root + "/Calc");
    objects.env = kv::com::MakeCom<kv::engine::ZrCalcEnvironment>();
    objects.env->SetBasePath(Bstr::FromUtf8(root));
    kv::engine::SetServerObjects(&objects);
    store = dynamic_cast<kv::tags::SqliteTagStore*>(objects.env->Tags().get());
    std::string error;
    store->BeginBatch();
    for (int i = 0; i < n; ++i) {
      store->Set("Plant1", Name("a", i), 3.0 + i, kv::tags::kQualityGood, 45000, "", &error);
      store->Set("Plant1", Name("b", i), 5.0, kv::tags::kQualityGood, 45000, "", &error);
      store->Set("Plant1", Name("Out", i), 0.0, kv::tags::kQualityGood, 45000, "", &error);
    }
    store->EndBatch();
    group = kv::com::MakeCom<kv::engine::ZrScheduleGroup>();
    group->PutName(Bstr::FromUtf8("G"));
    for (int i = 0; i < n; ++i) {
      auto calc = kv::com::MakeCom<kv::engine::ZrCalculation>();
      calc->SetName(Bstr::FromUtf8(Name("C", i)));
      calc->SetScript("Out = a*2 + b");
      for (const char* p : {"a", "b", "Out"}) {
        ParameterFields f;
        f.name = p;
        f.direction = p[0] == 'O' ? kv::components::kParamOut : kv::components::kParamIn;
        f.kind = kv::components::kParamTag;
        f.serverName = "Plant1";
        f.tagName = Name(p, i);
        calc->AddParameter(f, Variant());
      }
      calc->SaveFile(root + "/Calc/" + Name("C", i) + ".zrc");
      kv::com::ComPtr<kv::com::IDispatch> item;
      group->AddItem(Bstr::FromUtf8(Name("C", i)), &item);
    }
  }
  ~World() {
    group = nullptr;
    kv::engine::SetServerObjects(nullptr);
    objects.env = nullptr;
    std::filesystem::remove_all(root);
  }
  // Writes every output tag until its history ring is full.
  void FillHistory() {
    std::vector<kv::tags::TagWrite> writes(n);
    std::vector<kv::tags::TagStatus> out;
    for (int i = 0; i < n; ++i) writes[i] = {"Plant1", Name("Out", i), 1.0, kv::tags::kQualityGood, 45000};
    for (int k = 0; k < kHistory; ++k) store->Write(writes, false, &out);
  }
  bool Checks() {
    kv::tags::TagSample s;
    return store->Read("Plant1", Name("Out", n - 1), &s) == kv::tags::TagStatus::kOk &&
           s.value == kv::tags::TagValue(2.0 * (3.0 + n - 1) + 5.0);
  }

  int n;
  double rssBefore;
  std::string root;
  BenchObjects objects;
  kv::tags::SqliteTagStore* store = nullptr;
  kv::com::ComPtr<kv::engine::ZrScheduleGroup> group;
};

World* g_world = nullptr;

World& TheWorld(int n) {
  if (!g_world || g_world->n != n) {
    delete g_world;
    g_world = nullptr;
    g_world = new World(n);
  }
  return *g_world;
}

void Fill(World& w, bool full) {
  static bool filled = false;
  static int filledN = 0;
  if (full && !(filled && filledN == w.n)) {
    w.FillHistory();
    filled = true;
    filledN = w.n;
  }
}

void BM_Server(benchmark::State& state) {
  World& w = TheWorld(static_cast<int>(state.range(0)));
  Fill(w, state.range(1) != 0);
  w.group->Execute(Bstr());  // compiles every body and makes every plan
  if (!w.Checks()) state.SkipWithError("wrong output");
  for (auto _ : state) {
    const double c0 = CpuSeconds();
    for (int p = 0; p < kPasses; ++p) w.group->Execute(Bstr());
    state.SetIterationTime((CpuSeconds() - c0) / kPasses / w.n);
  }
  state.counters["rss_growth_MiB"] = RssMiB() - w.rssBefore;
}

void BM_Floor(benchmark::State& state) {
  World& w = TheWorld(static_cast<int>(state.range(0)));
  Fill(w, state.range(1) != 0);
  const std::string path = w.root + "/bin/tags.db";
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_stmt *read = nullptr, *update = nullptr, *history = nullptr, *begin = nullptr, *commit = nullptr;
  sqlite3_prepare_v2(db, "SELECT value FROM tags WHERE server=?1 AND tag=?2", -1, &read, nullptr);
  sqlite3_prepare_v2(db, "UPDATE tags SET value=?3, quality=192, time=?4, writes=writes+1 WHERE server=?1 AND tag=?2"
                     " RETURNING writes", -1, &update, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO tag_history(server, tag, slot, seq, value, quality, time)"
                     " VALUES(?1, ?2, ?3, ?4, ?5, 192, ?6) ON CONFLICT(server, tag, slot) DO UPDATE SET"
                     " seq=excluded.seq, value=excluded.value, quality=excluded.quality, time=excluded.time",
                     -1, &history, nullptr);
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  std::vector<std::string> a(w.n), b(w.n), out(w.n);
  for (int i = 0; i < w.n; ++i) a[i] = Name("a", i), b[i] = Name("b", i), out[i] = Name("Out", i);
  auto readTag = [&](const std::string& tag) {
    sqlite3_bind_text(read, 1, "Plant1", 6, SQLITE_STATIC);
    sqlite3_bind_text(read, 2, tag.data(), static_cast<int>(tag.size()), SQLITE_STATIC);
    const double v = sqlite3_step(read) == SQLITE_ROW ? sqlite3_column_double(read, 0) : 0;
    sqlite3_reset(read);
    return v;
  };
  double time = 46000;
  for (auto _ : state) {
    const double c0 = CpuSeconds();
    for (int p = 0; p < kPasses; ++p) {
      time += 1.0 / 86400;
      sqlite3_step(begin);
      sqlite3_reset(begin);
      for (int i = 0; i < w.n; ++i) {
        const double v = readTag(a[i]) * 2 + readTag(b[i]);
        sqlite3_bind_text(update, 1, "Plant1", 6, SQLITE_STATIC);
        sqlite3_bind_text(update, 2, out[i].data(), static_cast<int>(out[i].size()), SQLITE_STATIC);
        sqlite3_bind_double(update, 3, v);
        sqlite3_bind_double(update, 4, time);
        const sqlite3_int64 seq = sqlite3_step(update) == SQLITE_ROW ? sqlite3_column_int64(update, 0) : 0;
        sqlite3_reset(update);
        sqlite3_bind_text(history, 1, "Plant1", 6, SQLITE_STATIC);
        sqlite3_bind_text(history, 2, out[i].data(), static_cast<int>(out[i].size()), SQLITE_STATIC);
        sqlite3_bind_int64(history, 3, seq % kHistory);
        sqlite3_bind_int64(history, 4, seq);
        sqlite3_bind_double(history, 5, v);
        sqlite3_bind_double(history, 6, time);
        sqlite3_step(history);
        sqlite3_reset(history);
      }
      if (sqlite3_step(commit) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
      sqlite3_reset(commit);
    }
    state.SetIterationTime((CpuSeconds() - c0) / kPasses / w.n);
  }
  for (sqlite3_stmt* s : {read, update, history, begin, commit}) sqlite3_finalize(s);
  sqlite3_close(db);
}

// Arguments: N, history full (1) or fresh (0). Fresh runs first: a full history stays full.
void Args(benchmark::internal::Benchmark* b) {
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_Floor)->Args({1000, 0})->Apply(Args);
BENCHMARK(BM_Server)->Args({1000, 0})->Apply(Args);
BENCHMARK(BM_Floor)->Args({1000, 1})->Apply(Args);
BENCHMARK(BM_Server)->Args({1000, 1})->Apply(Args);
BENCHMARK(BM_Floor)->Args({5000, 0})->Apply(Args);
BENCHMARK(BM_Server)->Args({5000, 0})->Apply(Args);
BENCHMARK(BM_Floor)->Args({5000, 1})->Apply(Args);
BENCHMARK(BM_Server)->Args({5000, 1})->Apply(Args);

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const char* a : {"1000/0", "1000/1", "5000/0", "5000/1"})
    pairs.emplace_back(std::string("BM_Server/") + a + "/iterations:1/manual_time",
                       std::string("BM_Floor/") + a + "/iterations:1/manual_time");
  const int rc = kv::bench::RunWithRatios(argc, argv, pairs);
  delete g_world;
  return rc;
}
