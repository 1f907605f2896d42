// CalculationCrossReference and FormulaCrossReference over a store of 10,000 calculations in 50
// folders and 100 libraries of 20 formulas: the first question with an empty reference index
// (cold) and repeated questions (warm), against a bare loop that reads and parses the same files
// with pugixml in the same run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "com/unknown.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "engine/calculation.h"
#include "engine/engine_registration.h"
#include "engine/calc_environment.h"
#include "engine/library.h"
#include "engine/reference_index.h"
#include "store/store_commands.h"

namespace {

using kv::engine::ParameterFields;
using kv::engine::ZrCalculation;

constexpr int kFolders = 50;
constexpr int kPerFolder = 200;
constexpr int kLibraries = 100;
constexpr int kFormulas = 20;

void WriteText(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  ::close(fd);
}

// A calculation as a plant would have it: a few lines of script calling two library formulas,
// tag inputs and outputs, a constant and the Value of another calculation.
void FillCalculation(ZrCalculation& c, int folder, int i) {
  const int lib = (folder * kPerFolder + i) % kLibraries;
  const std::string l = "Lib" + std::to_string(lib);
  c.SetName(kv::com::Bstr::FromUtf8("Calc" + std::to_string(i)));
  c.SetScript("-- Balance of unit " + std::to_string(i) + " in area " + std::to_string(folder) +
              "\nlocal k = Gain * 1.05\nOut = Stats.Mean(In1, In2) * k + " + l + ".F" + std::to_string(i % kFormulas) +
              "(In3, Prev)\nif Out > 100 then Alarm = 1 else Alarm = 0 end\n");
  c.SetLibraries({"Stats", l});
  const std::string node = "plant" + std::to_string(folder % 4);
  const std::string tag = "A" + std::to_string(folder) + "FIC" + std::to_string(i);
  for (int p = 1; p <= 3; ++p)
    c.AddParameter(ParameterFields{.name = "In" + std::to_string(p), .kind = kv::components::kParamTag,
                                   .serverName = node, .tagName = tag + "_" + std::to_string(p), .units = "m3/h"},
                   kv::com::Variant::R8(0));
  c.AddParameter(ParameterFields{.name = "Out", .direction = kv::components::kParamOut,
                                 .kind = kv::components::kParamTag, .serverName = node, .tagName = tag + "_OUT"},
                 kv::com::Variant::R8(0));
  c.AddParameter(ParameterFields{.name = "Alarm", .direction = kv::components::kParamOut}, kv::com::Variant::I4(0));
  c.AddParameter(ParameterFields{.name = "Gain"}, kv::com::Variant::R8(1.5));
  c.AddParameter(ParameterFields{.name = "Prev", .kind = kv::components::kParamCalculation,
                                 .calcName = "Area" + std::to_string(folder) + "\\Calc" + std::to_string((i + 1) % kPerFolder)},
                 kv::com::Variant());
}

struct Store {
  std::string root;
  std::vector<std::string> calcFiles, libFiles;
};

Store MakeStore() {
  Store s;
  char tmpl[] = "/tmp/kelvarin-bench-xref-XXXXXX";
  s.root = mkdtemp(tmpl);
  for (const char* d : {"Calc/Edit", "Lib/Edit", "Apps"}) std::filesystem::create_directories(s.root + "/" + d);
  for (int f = 0; f < kFolders; ++f) {
    const std::string dir = s.root + "/Calc/Area" + std::to_string(f);
    std::filesystem::create_directories(dir);
    for (int i = 0; i < kPerFolder; ++i) {
      auto c = kv::com::MakeCom<ZrCalculation>();
      FillCalculation(*c, f, i);
      s.calcFiles.push_back(dir + "/Calc" + std::to_string(i) + ".zrc");
      WriteText(s.calcFiles.back(), c->ToXml());
    }
  }
  for (int l = 0; l < kLibraries; ++l) {
    auto lib = kv::com::MakeCom<kv::engine::ZrLibrary>();
    lib->SetName(kv::com::Bstr::FromUtf8("Lib" + std::to_string(l)));
    for (int f = 0; f < kFormulas; ++f) {
      auto formula = lib->NewFormula("F" + std::to_string(f));
      formula->SetScript("return Stats.Mean(a, b) * " + std::to_string(f) + " + (c or 0)");
      formula->AddParameter(ParameterFields{.name = "a"}, kv::com::Variant::R8(0));
      formula->AddParameter(ParameterFields{.name = "b"}, kv::com::Variant::R8(0));
    }
    s.libFiles.push_back(s.root + "/Lib/Lib" + std::to_string(l) + ".zrc");
    WriteText(s.libFiles.back(), lib->ToXml());
  }
  return s;
}

// The environment of the server with a reference index the benchmark can empty: the commands
// take the environment's own index when it keeps one.
class BenchEnvironment : public kv::engine::ZrCalcEnvironment, public kv::components::IZrReferenceIndex {
 public:
  kv::com::ComPtr<kv::engine::ZrReferenceIndex> index = kv::com::MakeCom<kv::engine::ZrReferenceIndex>();

  kv::com::HRESULT StoreNames(const std::string& key, const Scan& scan, std::vector<std::string>* names) override {
    return index->StoreNames(key, scan, names);
  }
  kv::com::HRESULT CalculationSummaries(const std::string& base, const std::vector<std::string>& names,
                                        std::vector<kv::components::SummaryPtr>* out) override {
    return index->CalculationSummaries(base, names, out);
  }
  kv::com::HRESULT LibrarySummaries(const std::string& root, const std::vector<std::string>& names,
                                    std::vector<kv::components::LibrarySummaryPtr>* out) override {
    return index->LibrarySummaries(root, names, out);
  }
};

kv::com::ComPtr<BenchEnvironment> g_env;

// Files an hour old, as a store's files are: the index trusts their stamps at once.
void AgeAll(const Store& s) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 3600;
  times[1] = times[0];
  for (const auto* files : {&s.calcFiles, &s.libFiles})
    for (const auto& f : *files) utimensat(AT_FDCWD, f.c_str(), times, 0);
}

const Store& TheStore() {
  static const Store store = [] {
    kv::engine::RegisterEngineClasses(&kv::SharedServerObjects());
    Store s = MakeStore();
    AgeAll(s);
    kv::g_BasePath = s.root;
    g_env = kv::com::MakeCom<BenchEnvironment>();
    g_env->SetBasePath(kv::com::Bstr::FromUtf8(s.root));
    kv::g_pEnvironment = g_env;
    return s;
  }();
  return store;
}

void EmptyIndex() { g_env->index = kv::com::MakeCom<kv::engine::ZrReferenceIndex>(); }

size_t BareParse(const std::vector<std::string>& files) {
  size_t elements = 0;
  std::string text;
  for (const auto& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    fstat(fd, &st);
    text.resize(static_cast<size_t>(st.st_size));
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    pugi::xml_document doc;
    if (n > 0 && doc.load_buffer_inplace(text.data(), static_cast<size_t>(n))) ++elements;
  }
  return elements;
}

void BM_BareParseCalculations(benchmark::State& state) {
  const Store& s = TheStore();
  size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = BareParse(s.calcFiles));
  if (n != s.calcFiles.size()) state.SkipWithError("bare parse missed files");
}

void BM_BareParseCalculationsAndLibraries(benchmark::State& state) {
  const Store& s = TheStore();
  size_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = BareParse(s.calcFiles) + BareParse(s.libFiles));
  if (n != s.calcFiles.size() + s.libFiles.size()) state.SkipWithError("bare parse missed files");
}

template <bool cold>
void BM_CalculationCrossReference(benchmark::State& state) {
  TheStore();
  kv::ZrCalcCmdObject obj;
  size_t users = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      EmptyIndex();
      state.ResumeTiming();
    }
    kv::com::Variant v;
    kv::store::CalculationCrossReference(obj, kv::com::Bstr::FromUtf8("Area7\\Calc3"), &v);
    users = v.IsArray() ? v.array().Count() : 0;
  }
  if (users != 1) state.SkipWithError("wrong number of users");
}

template <bool cold>
void BM_FormulaCrossReference(benchmark::State& state) {
  const Store& s = TheStore();
  kv::ZrCalcCmdObject obj;
  size_t calcs = 0, formulas = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      EmptyIndex();
      state.ResumeTiming();
    }
    kv::com::Variant v;
    kv::store::FormulaCrossReference(obj, kv::com::Bstr::FromUtf8("Stats"), kv::com::Bstr::FromUtf8("Mean"), &v);
    formulas = v.array().At(0).IsArray() ? v.array().At(0).array().Count() : 0;
    calcs = v.array().At(1).IsArray() ? v.array().At(1).array().Count() : 0;
  }
  if (calcs != s.calcFiles.size() || formulas != kLibraries * kFormulas) state.SkipWithError("wrong users");
}

BENCHMARK(BM_BareParseCalculations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareParseCalculationsAndLibraries)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalculationCrossReference<true>)->Name("BM_CalculationCrossReference/cold")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalculationCrossReference<false>)->Name("BM_CalculationCrossReference/warm")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormulaCrossReference<true>)->Name("BM_FormulaCrossReference/cold")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormulaCrossReference<false>)->Name("BM_FormulaCrossReference/warm")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  int rc = kv::bench::RunWithRatios(
      argc, argv,
      {{"BM_CalculationCrossReference/cold", "BM_BareParseCalculations"},
       {"BM_CalculationCrossReference/warm", "BM_BareParseCalculations"},
       {"BM_FormulaCrossReference/cold", "BM_BareParseCalculationsAndLibraries"},
       {"BM_FormulaCrossReference/warm", "BM_BareParseCalculationsAndLibraries"}});
  std::filesystem::remove_all(TheStore().root);
  kv::g_pEnvironment = nullptr;
  g_env = nullptr;
  return rc;
}
