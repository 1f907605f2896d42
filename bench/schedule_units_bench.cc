// A group thread's due pass (ComputeRunTimes on a 15-second group, due on every pass) against
// the same arithmetic on plain doubles, and the GetConversion command on the default units table
// against the bare conversion arithmetic. Both run on a fixed clock in a zone with daylight rules.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_ratio.h"
#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "platform/env.h"
#include "platform/ole_date.h"
#include "scheduler/run_times.h"
#include "units/units_table.h"
#include "units/units_commands.h"

namespace {

using kv::com::Bstr;
using kv::com::ComPtr;

constexpr double kSecond = 1.0 / 86400.0;
constexpr double kRate = 15 * kSecond;
constexpr int64_t kStartMs = 1736935200000;  // 2025-01-15 10:00 UTC

// The fixed clock and zone every benchmark runs on, and a scratch store for the units table.
struct BenchEnv {
  BenchEnv() {
    kv::platform::TimeZone::FromPosixRule("EST5EDT,M3.2.0,M11.1.0", &zone);
    env.fs = &kv::platform::RealFileSystem();
    env.clock = &clock;
    env.zone = &zone;
    kv::platform::Env::SetCurrent(&env);
    char tmpl[] = "/tmp/kelvarin-bench-units-XXXXXX";
    store = mkdtemp(tmpl);
    kv::g_BasePath = store;
    kv::engine::RegisterEngineClasses(&kv::SharedServerObjects());
    kv::units::GetUnitConversionObject();
  }
  kv::platform::FixedClock clock{kStartMs};
  kv::platform::TimeZone zone;
  kv::platform::Env env;
  std::string store;
};

BenchEnv& Env() {
  static BenchEnv env;
  return env;
}

double NowUtc() { return kv::platform::UnixSecondsToOleDate(static_cast<double>(Env().clock.NowUnixMs()) / 1000.0); }

void BM_ComputeRunTimes(benchmark::State& state) {
  Env();
  ComPtr<kv::components::IZrScheduleGroup> g;
  kv::com::CreateInstance(kv::components::CLSID_ZrScheduleGroup, &g);
  g->PutRate(kRate);
  g->PutComputedRunTime(NowUtc() - kRate);
  g->PutNextRunTimeUtc(NowUtc());
  long priority = 0;
  bool due = true;
  const kv::platform::LocalTime time = Env().env.Time();
  for (auto _ : state) {
    Env().clock.Advance(15000);
    benchmark::DoNotOptimize(kv::scheduler::ComputeRunTimes(time, g.Get(), false, &priority, &due));
    if (!due) break;
  }
  if (!due) state.SkipWithError("a pass was not due");
  state.SetItemsProcessed(state.iterations());
}

// The fields of a group and a pass's arithmetic on them: the due test, the step from the base
// by k whole rates, the local and UTC conversions, the run rate.
void BM_BareRunTimeArithmetic(benchmark::State& state) {
  struct {
    double rate = kRate, computed, nextUtc, next = 0, lastUtc = 0, last = 0, runRate = 0, first = 0;
    long priority = 0;
  } g;
  double u = NowUtc();
  g.computed = u - kRate;
  g.nextUtc = u;
  const double offset = -5.0 / 24;  // local minus UTC
  for (auto _ : state) {
    u += kRate;
    benchmark::DoNotOptimize(u);
    long priority = g.priority;
    const double n = std::floor((u + offset) * 86400.0) / 86400.0;
    benchmark::DoNotOptimize(n);
    if (u >= g.nextUtc - kSecond / 2) {
      double t = g.computed;
      if (t <= u) {
        double k = std::trunc((u - t) / g.rate);
        t += (k == 0 ? 1 : k) * g.rate;
      }
      while (t < u + kSecond / 2) t += g.rate;
      g.computed = t;
      g.nextUtc = t;
      g.next = t + offset;
      if (g.lastUtc > 0) g.runRate = u - g.lastUtc;
      g.lastUtc = u;
      g.last = u + offset;
      if (g.first == 0) g.first = g.next;
    }
    benchmark::DoNotOptimize(priority);
    benchmark::DoNotOptimize(g);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_GetConversion(benchmark::State& state) {
  Env();
  kv::ZrCalcCmdObject cmd;
  const Bstr type = Bstr::FromUtf8("Temperature"), in = Bstr::FromUtf8("F"), out = Bstr::FromUtf8("C");
  double multiplier = 0, offset = 0;
  bool ok = true;
  for (auto _ : state) {
    ok = kv::units::GetConversion(cmd, type, in, out, &multiplier, &offset) && ok;
    benchmark::DoNotOptimize(multiplier);
    benchmark::DoNotOptimize(offset);
  }
  if (!ok || std::fabs(multiplier - 1.8) > 1e-12) state.SkipWithError("wrong conversion");
  state.SetItemsProcessed(state.iterations());
}

void BM_BareConversionArithmetic(benchmark::State& state) {
  double mIn = 0.5555555555555556, oIn = -17.77777777777778, mOut = 1, oOut = 0;
  double multiplier = 0, offset = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(mIn);
    benchmark::DoNotOptimize(oIn);
    benchmark::DoNotOptimize(mOut);
    benchmark::DoNotOptimize(oOut);
    multiplier = mOut / mIn;
    offset = (oOut - oIn) / mIn;
    benchmark::DoNotOptimize(multiplier);
    benchmark::DoNotOptimize(offset);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BareRunTimeArithmetic);
BENCHMARK(BM_ComputeRunTimes);
BENCHMARK(BM_BareConversionArithmetic);
BENCHMARK(BM_GetConversion);

}  // namespace

int main(int argc, char** argv) {
  int rc = kv::bench::RunWithRatios(argc, argv,
                                    {{"BM_ComputeRunTimes", "BM_BareRunTimeArithmetic"},
                                     {"BM_GetConversion", "BM_BareConversionArithmetic"}});
  kv::g_pUnitConversionObject = nullptr;
  std::filesystem::remove_all(Env().store);
  return rc;
}
