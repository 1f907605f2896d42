// SaveCalcXML + LoadCalcXML of a calculation with 200 parameters through the server (a client
// on the private socket, the real components, the load storing the calculation each time),
// against pugixml parsing and serialising the same document bare in the same run.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <thread>

#include "bench_ratio.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "com/class_registry.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "dispatch/calc_commands.h"
#include "engine/authorization_service.h"
#include "engine/engine_registration.h"
#include "platform/env.h"
#include "service/apartment_pool.h"
#include "transport/server.h"

namespace {

using kv::com::Variant;

constexpr int kParameters = 200;
constexpr char kName[] = "Bench200";

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

struct Fixture {
  Fixture() {
    dir = kv::bench::MakeTempDir("xml");
    setenv("KELVARIN_REGISTRY_DIR", (dir + "/reg").c_str(), 1);
    setenv("KELVARIN_PROGRAMDATA", dir.c_str(), 1);
    kv::g_BasePath = dir + "/store";
    for (const char* sub : {"Calc/Edit", "Lib/Edit", "bin"}) std::filesystem::create_directories(kv::g_BasePath + "/" + sub);
    kv::engine::RegisterEngineClasses(&kv::SharedServerObjects());
    kv::RegisterCommandClasses();
    kv::engine::RegisterAuthorizationService(kv::platform::Env::Current());
    kv::com::CreateInstance(kv::components::CLSID_ZrCalcEnvironment, &kv::g_pEnvironment);
    if (kv::g_pEnvironment) kv::g_pEnvironment->SetBasePath(kv::com::Bstr::FromUtf8(kv::g_BasePath));
    kv::transport::Server::Options options;
    options.socketPath = dir + "/bus";
    server = std::make_unique<kv::transport::Server>(options, pool);
    std::string error;
    if (server->Start(&error) < 0) std::fprintf(stderr, "bench: %s\n", error.c_str());
    runner = std::thread([this] { server->Run(); });
    ok = Prepare();
  }
  ~Fixture() {
    server->Stop();
    runner.join();
    server.reset();
    std::filesystem::remove_all(dir);
  }

  // Stores the calculation with its parameters through the commands; `text` is its export.
  bool Prepare() {
    if (!kv::client::Connection::Open("unix:path=" + dir + "/bus", &conn).ok()) return false;
    if (!conn->CreateInstance("Kelvarin.CalcCommands", &cmd).ok()) return false;
    kv::client::CallResult r;
    if (!cmd->Call("CreateCalculationObject", {Variant::Str(kName), Variant::Str("BENCH"), Variant::Str("bench")}, &r)
             .ok())
      return false;
    calc = r.result;
    if (!cmd->Call("SaveCalculationObject", {calc}, &r).ok()) return false;
    if (!cmd->Call("SaveCalcXML", {Variant::Str(kName)}, &r).ok()) return false;
    std::string empty = r.result.bstr().ToUtf8();
    std::string params = "<Parameters>";
    for (int i = 0; i < kParameters; ++i)
      params += "<Parameter><Name>Tag" + std::to_string(i) + "</Name><Units>kg/h</Units><Value type=\"5\">" +
                std::to_string(i * 1.25) + "</Value></Parameter>";
    params += "</Parameters>";
    const size_t at = empty.find("<Parameters />");
    if (at == std::string::npos) return false;
    empty.replace(at, 14, params);
    // Stored as its file, the form the export gives, so that the export runs whatever the import
    // thinks of the script.
    {
      std::ofstream out(kv::g_BasePath + "/Calc/" + kName + ".zrc", std::ios::binary | std::ios::trunc);
      out << empty;
    }
    if (kv::g_pEnvironment) kv::g_pEnvironment->RemoveCalculation(kv::com::Bstr::FromUtf8(kName));
    if (!cmd->Call("SaveCalcXML", {Variant::Str(kName)}, &r).ok()) return false;
    text = r.result.bstr().ToUtf8();
    return text.find("Tag199") != std::string::npos;
  }

  std::string dir;
  kv::ApartmentPool pool;
  std::unique_ptr<kv::transport::Server> server;
  std::thread runner;
  std::shared_ptr<kv::client::Connection> conn;
  std::shared_ptr<kv::client::RemoteObject> cmd;
  Variant calc;
  std::string text;
  bool ok = false;
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

void BM_BarePugixmlParseAndSerialise(benchmark::State& state) {
  if (!Shared().ok) return state.SkipWithError("the calculation could not be prepared");
  const std::string& text = Shared().text;
  for (auto _ : state) {
    pugi::xml_document doc;
    doc.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_ws_pcdata);
    StringWriter w;
    doc.document_element().print(w, "  ");
    benchmark::DoNotOptimize(w.out);
  }
}

void BM_SaveAndLoadCalcXML(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok) return state.SkipWithError("the calculation could not be prepared");
  for (auto _ : state) {
    kv::client::CallResult r;
    if (!f.cmd->Call("SaveCalcXML", {Variant::Str(kName)}, &r).ok()) return state.SkipWithError("SaveCalcXML failed");
    if (!f.cmd->Call("LoadCalcXML", {r.result, f.calc}, &r).ok() || r.result.i4() != 1)
      return state.SkipWithError("LoadCalcXML failed");
  }
}

void BM_SaveCalcXML(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok) return state.SkipWithError("the calculation could not be prepared");
  for (auto _ : state) {
    kv::client::CallResult r;
    if (!f.cmd->Call("SaveCalcXML", {Variant::Str(kName)}, &r).ok()) return state.SkipWithError("SaveCalcXML failed");
  }
}

BENCHMARK(BM_BarePugixmlParseAndSerialise)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveAndLoadCalcXML)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveCalcXML)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return kv::bench::RunWithRatios(argc, argv, "BM_BarePugixmlParseAndSerialise"); }
