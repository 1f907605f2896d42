#pragma once
// Runs the registered benchmarks and prints each one's time as a ratio against the named floor
// (or, for several floors, each benchmark against its own) measured in the same run.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kv::bench {

// A new directory for a benchmark's store under $TMPDIR (default /tmp), so that a run can choose
// the file system it measures: a disk, where each flush waits for the device, or a tmpfs.
inline std::string MakeTempDir(const std::string& tag) {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelvarin-bench-" + tag + "-XXXXXX";
  return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  // `floor` names a benchmark, with or without the suffixes ("/real_time") the library adds.
  void PrintRatios(const std::string& floor) const {
    auto f = times_.end();
    for (auto it = times_.begin(); it != times_.end(); ++it)
      if (it->first == floor || it->first.rfind(floor + "/", 0) == 0) f = it;
    if (f == times_.end() || f->second <= 0) return;
    for (const auto& [name, t] : times_)
      if (name != f->first) std::printf("ratio %s / %s = %.2f\n", name.c_str(), f->first.c_str(), t / f->second);
  }
  void PrintRatio(const std::string& name, const std::string& floor) const {
    auto t = times_.find(name), f = times_.find(floor);
    if (t == times_.end() || f == times_.end() || f->second <= 0) return;
    std::printf("ratio %s / %s = %.2f\n", name.c_str(), floor.c_str(), t->second / f->second);
  }

 private:
  std::map<std::string, double> times_;
};

inline int RunWithRatios(int argc, char** argv, const std::string& floor) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios(floor);
  benchmark::Shutdown();
  return 0;
}

// Several floors: each {benchmark, floor} pair is printed as a ratio.
inline int RunWithRatios(int argc, char** argv, const std::vector<std::pair<std::string, std::string>>& pairs) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const auto& [name, floor] : pairs) reporter.PrintRatio(name, floor);
  benchmark::Shutdown();
  return 0;
}

}  // namespace kv::bench
