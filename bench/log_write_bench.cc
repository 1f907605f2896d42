// Lines per second through DebugLog::Write (every category on, as a fully switched-on service
// runs), against a bare open(O_APPEND)-write-close loop of the same UTF-16 bytes. The gap is
// the cost of the time stamp, the encoding, the lock and the size check.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "log/debug_log.h"
#include "platform/env.h"
#include "platform/path.h"

namespace {
using namespace kv;

class BenchSystemInfo : public platform::SystemInfo {
 public:
  std::string root;
  std::optional<std::string> GetEnv(const std::string&) override { return std::nullopt; }
  std::string CommonAppDataFolder() override { return root + "/programdata"; }
  std::string ModuleFolder() override { return root; }
  std::string ModulePath() override { return root + "/kelvarin"; }
  std::string UserName() override { return "bench"; }
  std::string ComputerName() override { return "bench"; }
  std::string HomeFolder() override { return root; }
  bool IsSuperUser() override { return false; }
  std::optional<std::string> UserNameOfUid(uid_t) override { return "bench"; }
  std::vector<std::string> GroupNamesOfUid(uid_t) override { return {}; }
  std::vector<std::string> GroupNamesOfUser(const std::string&) override { return {}; }
};

struct Fixture {
  std::string root;
  std::unique_ptr<platform::RegistryStore> registry;
  platform::TimeZone zone = platform::TimeZone::FromSystem();
  BenchSystemInfo system;
  platform::Env env;
  DebugLog log;
  std::string line;      // one line exactly as the log writes it, without the BOM
  std::string barePath;  // where the bare loop appends, beside the log file
};
Fixture* g_fx = nullptr;

constexpr const char* kMessage = "ICalcCommands::CreateCalculationEditObject";
constexpr const char* kDetail = "Method - Start";

double g_logRate = 0;
double g_bareRate = 0;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_DebugLogWrite(benchmark::State& state) {
  DebugLog& log = g_fx->log;
  int64_t lines = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (log.IsOn(LogCategory::Methods)) log.Write(kMessage, kDetail);
    ++lines;
  }
  g_logRate = static_cast<double>(lines) / Seconds(start);
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}

void BM_BareAppend(benchmark::State& state) {
  const std::string& line = g_fx->line;
  const char* path = g_fx->barePath.c_str();
  int64_t lines = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
      benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
      ::close(fd);
    }
    ++lines;
  }
  g_bareRate = static_cast<double>(lines) / Seconds(start);
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_DebugLogWrite)->MinTime(1.0);
BENCHMARK(BM_BareAppend)->MinTime(1.0);

bool SetUp(Fixture* fx) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kelvarin-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return false;
  fx->root = tmpl;
  fx->registry = std::make_unique<platform::RegistryStore>(fx->root + "/reg/system.reg", fx->root + "/reg/user.reg");
  fx->system.root = fx->root;
  fx->env = platform::Env{fx->registry.get(), &platform::RealFileSystem(), &platform::RealClock(), &fx->zone,
                          &fx->system};
  platform::Env::SetCurrent(&fx->env);

  fx->log.Init(fx->env, static_cast<int>(LogKind::Kelvarin), "", "17.0.0.266");
  for (int i = 0; i < kLogCategoryCount; ++i) fx->log.SetCategory(static_cast<LogCategory>(i), true);
  fx->log.SetSizeLimit(1000);  // about 1 GB: no truncation during the run

  // Take the exact bytes of one line from the file the log writes.
  fx->log.Write(kMessage, kDetail);
  std::ifstream in(platform::ToFsPath(fx->log.FilePath()), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() <= 2) return false;
  fx->line = bytes.substr(2);
  // Same folder as the log, so both loops pay the same path look-up.
  fx->barePath = std::filesystem::path(platform::ToFsPath(fx->log.FilePath())).parent_path() / "bare.log";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Fixture fx;
  g_fx = &fx;
  const bool ready = SetUp(&fx);
  if (ready) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  platform::Env::SetCurrent(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(fx.root, ec);
  if (!ready) {
    std::fprintf(stderr, "log_write_bench: could not set up the log in a temporary folder\n");
    return 1;
  }
  if (g_logRate > 0 && g_bareRate > 0)
    std::printf("DebugLog::Write %.0f lines/s, bare open-append-close %.0f lines/s, ratio %.2f (%zu bytes a line)\n",
                g_logRate, g_bareRate, g_logRate / g_bareRate, fx.line.size());
  return 0;
}
