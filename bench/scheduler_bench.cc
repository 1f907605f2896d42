// A thousand schedule groups with a 5 s rate on the real group threads and the real clock, for
// two minutes (KELVARIN_BENCH_SECONDS changes it): the lateness of every run (start - due), the
// process's CPU time while the threads wait between runs and in total, and the resident memory
// with the thousand threads. The floor, measured in the same run, is a thousand bare threads of
// the same stack size that sleep to the same due times and do nothing: the ratios say what the
// scheduler costs beyond waking a thread on time.
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "process_usage.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "engine/schedule_group.h"
#include "persist/collection_io.h"
#include "platform/env.h"
#include "scheduler/scheduler_supervisor.h"

namespace {

using kv::com::Bstr;
using kv::com::ComPtr;

constexpr int kGroups = 1000;
constexpr int64_t kRateMs = 5000;

int Seconds() {
  const char* s = std::getenv("KELVARIN_BENCH_SECONDS");
  return s && std::atoi(s) > 0 ? std::atoi(s) : 120;
}

int64_t NowMs() { return kv::platform::RealClock().NowUnixMs(); }

using kv::bench::CpuSeconds;
using kv::bench::RssMiB;

// Every run's lateness: the start against the nearest due time of the 5 s grid.
struct Latenesses {
  std::mutex mu;
  std::vector<double> ms;
  void Add(int64_t startMs) {
    const int64_t due = (startMs + kRateMs / 2) / kRateMs * kRateMs;
    std::lock_guard lock(mu);
    ms.push_back(static_cast<double>(startMs - due));
  }
  double Percentile(double p) {
    std::lock_guard lock(mu);
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[std::min(ms.size() - 1, static_cast<size_t>(p * static_cast<double>(ms.size())))];
  }
};

class TimedGroup : public kv::engine::ZrScheduleGroup {
 public:
  explicit TimedGroup(Latenesses* l) : l_(l) {}
  kv::com::HRESULT Execute(const Bstr&) override {
    l_->Add(NowMs());
    return kv::com::S_OK;
  }

 private:
  Latenesses* l_;
};

// CPU time while every thread waits: from 1.5 s to 4 s after each due time of the grid.
struct Sampler {
  double idleCpu = 0, idleWall = 0;
  void Run(int64_t untilMs) {
    for (;;) {
      const int64_t due = NowMs() / kRateMs * kRateMs;
      const int64_t from = due + 1500, to = due + 4000;
      if (to > untilMs) return;
      SleepUntil(from);
      const double c0 = CpuSeconds();
      const int64_t w0 = NowMs();
      SleepUntil(to);
      idleCpu += CpuSeconds() - c0;
      idleWall += static_cast<double>(NowMs() - w0) / 1000.0;
      SleepUntil(due + kRateMs);
    }
  }
  static void SleepUntil(int64_t ms) {
    const int64_t d = ms - NowMs();
    if (d > 0) std::this_thread::sleep_for(std::chrono::milliseconds(d));
  }
};

struct Figures {
  double p50, p99, max, idleCpuPct, totalCpuPct, rssMiB, rssBeforeMiB;
  size_t runs;
};

Figures g_scheduled{}, g_bare{};

void Report(benchmark::State& state, const Figures& f) {
  state.counters["late_p50_ms"] = f.p50;
  state.counters["late_p99_ms"] = f.p99;
  state.counters["late_max_ms"] = f.max;
  state.counters["idle_cpu_pct"] = f.idleCpuPct;
  state.counters["total_cpu_pct"] = f.totalCpuPct;
  state.counters["rss_MiB"] = f.rssMiB;
  state.counters["rss_before_MiB"] = f.rssBeforeMiB;
  state.counters["runs"] = static_cast<double>(f.runs);
}

Figures Measure(const std::function<void()>& start, const std::function<void()>& stop, Latenesses& late,
                int seconds) {
  Figures f{};
  f.rssBeforeMiB = RssMiB();
  const double cpu0 = CpuSeconds();
  const int64_t t0 = NowMs();
  start();
  Sampler sampler;
  sampler.Run(t0 + seconds * 1000LL);
  f.rssMiB = RssMiB();
  const double cpu = CpuSeconds() - cpu0;
  const double wall = static_cast<double>(NowMs() - t0) / 1000.0;
  stop();
  f.p50 = late.Percentile(0.5);
  f.p99 = late.Percentile(0.99);
  f.max = late.Percentile(1.0);
  f.runs = late.ms.size();
  f.idleCpuPct = sampler.idleWall > 0 ? 100.0 * sampler.idleCpu / sampler.idleWall : 0;
  f.totalCpuPct = 100.0 * cpu / wall;
  return f;
}

void BM_ScheduleGroups(benchmark::State& state) {
  char tmpl[] = "/tmp/kelvarin-bench-sched-XXXXXX";
  kv::g_BasePath = mkdtemp(tmpl);
  kv::engine::RegisterEngineClasses(&kv::SharedServerObjects());
  for (auto _ : state) {
    Latenesses late;
    late.ms.reserve(kGroups * (Seconds() / 5 + 2));
    kv::persist::NewCollection(&kv::g_pScheduleObject);
    for (int i = 0; i < kGroups; ++i) {
      auto g = kv::com::MakeCom<TimedGroup>(&late);
      const std::string name = "G" + std::to_string(i);
      g->PutName(Bstr::FromUtf8(name));
      g->PutRate(5.0 / 86400.0);
      g->PutNextRunTime(1.0);
      g->PutNextRunTimeUtc(1.0);
      kv::g_pScheduleObject->Add(Bstr::FromUtf8(name), kv::com::QueryInterface<kv::com::IDispatch>(g).Get());
    }
    const Figures f = Measure([] { kv::scheduler::StartSchedulerSupervisor(kv::platform::Env::Current()); },
                              [] { kv::scheduler::StopSchedulerSupervisor(); }, late, Seconds());
    kv::g_pScheduleObject = nullptr;
    state.SetIterationTime(1.0);
    Report(state, f);
    g_scheduled = f;
  }
}
BENCHMARK(BM_ScheduleGroups)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The floor: bare threads of the same stack size sleeping to due + 100 ms on the same grid.
void BM_BareThreads(benchmark::State& state) {
  for (auto _ : state) {
    Latenesses late;
    std::atomic<bool> stop{false};
    std::vector<pthread_t> threads(kGroups);
    struct Arg {
      Latenesses* late;
      std::atomic<bool>* stop;
    } arg{&late, &stop};
    auto body = [](void* p) -> void* {
      auto* a = static_cast<Arg*>(p);
      while (!a->stop->load()) {
        const int64_t next = (NowMs() / kRateMs + 1) * kRateMs + 100;
        timespec ts{static_cast<time_t>(next / 1000), static_cast<long>(next % 1000) * 1000000};
        clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr);
        if (!a->stop->load()) a->late->Add(NowMs());
      }
      return nullptr;
    };
    const Figures f = Measure(
        [&] {
          pthread_attr_t attr;
          pthread_attr_init(&attr);
          pthread_attr_setstacksize(&attr, kv::scheduler::kGroupThreadStackBytes);
          for (auto& t : threads) pthread_create(&t, &attr, body, &arg);
          pthread_attr_destroy(&attr);
        },
        [&] {
          stop = true;
          for (auto& t : threads) pthread_join(t, nullptr);
        },
        late, std::max(20, Seconds() / 6));
    state.SetIterationTime(1.0);
    Report(state, f);
    g_bare = f;
  }
}
BENCHMARK(BM_BareThreads)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (g_scheduled.runs && g_bare.runs) {
    auto ratio = [](const char* what, double a, double b) {
      if (b > 0) std::printf("ratio %s scheduled / bare = %.2f\n", what, a / b);
    };
    ratio("total CPU", g_scheduled.totalCpuPct, g_bare.totalCpuPct);
    ratio("idle CPU", g_scheduled.idleCpuPct, g_bare.idleCpuPct);
    ratio("RSS growth", g_scheduled.rssMiB - g_scheduled.rssBeforeMiB, g_bare.rssMiB - g_bare.rssBeforeMiB);
  }
  return 0;
}
