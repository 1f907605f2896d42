// Listing a store of 100,000 calculations in 100 folders with GetCalculationList, against a bare
// recursive directory read of the same tree.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_ratio.h"
#include "command_object/calc_cmd_base.h"
#include "config/config.h"
#include "store/store_commands.h"

namespace {

constexpr int kFolders = 100;
constexpr int kPerFolder = 1000;

std::string MakeStore() {
  char tmpl[] = "/tmp/kelvarin-bench-store-XXXXXX";
  std::string root = mkdtemp(tmpl);
  for (int f = 0; f < kFolders; ++f) {
    std::string dir = root + "/Calc/Area" + std::to_string(f);
    std::filesystem::create_directories(dir);
    for (int i = 0; i < kPerFolder; ++i) {
      std::string file = dir + "/Calc" + std::to_string(i) + ".zrc";
      int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
  return root;
}

const std::string& Store() {
  static const std::string root = MakeStore();
  return root;
}

size_t BareRead(const std::string& dir) {
  size_t n = 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (e->d_type == DT_DIR)
      n += BareRead(dir + "/" + e->d_name);
    else
      ++n;
  }
  ::closedir(d);
  return n;
}

void BM_BareRecursiveRead(benchmark::State& state) {
  const std::string calc = Store() + "/Calc";
  size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = BareRead(calc));
  if (n != kFolders * kPerFolder) state.SkipWithError("bare read found the wrong number of files");
}

void BM_GetCalculationList(benchmark::State& state) {
  kv::g_BasePath = Store();
  kv::ZrCalcCmdObject obj;
  size_t n = 0;
  for (auto _ : state) {
    kv::com::Variant list;
    kv::store::GetCalculationList(obj, &list);
    n = list.IsArray() ? list.array().Count() : 0;
    benchmark::DoNotOptimize(list);
  }
  if (n != kFolders * kPerFolder) state.SkipWithError("the list has the wrong number of names");
}

BENCHMARK(BM_BareRecursiveRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetCalculationList)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  int rc = kv::bench::RunWithRatios(argc, argv, "BM_BareRecursiveRead");
  std::filesystem::remove_all(Store());
  return rc;
}
