// The server's entry: a local server that serves the two command classes over D-Bus until it is
// told to stop (SIGTERM, SIGINT) or, with --exit-when-idle, until the last client object is gone.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "com/class_registry.h"
#include "dispatch/calc_commands.h"
#include "commands/shared_objects.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "engine/authorization_service.h"
#include "engine/engine_registration.h"
#include "log/debug_log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "scheduler/schedule.h"
#include "units/units_table.h"
#include "security/server_security.h"
#include "service/apartment_pool.h"
#include "transport/server.h"

namespace kv {
namespace {

constexpr const char* kVersion = "17.0.0.266";

constexpr const char* kUsage =
    "Usage: kelvarin [OPTIONS]\n"
    "\n"
    "Serves the calculation commands (CalcCommands, CalcAppCommands) over D-Bus.\n"
    "\n"
    "Options:\n"
    "  --socket PATH      listen on this private socket (peer-to-peer D-Bus). Default:\n"
    "                     $KELVARIN_SOCKET, else $XDG_RUNTIME_DIR/kelvarin/bus, else\n"
    "                     /run/kelvarin/bus as root, else /tmp/kelvarin-<uid>/bus\n"
    "  --bus system|session\n"
    "                     register com.quorlith.Kelvarin on a bus daemon instead\n"
    "  --exit-when-idle   end when the last client object has been released\n"
    "  --version          print the version and exit\n"
    "  --help             print this text and exit\n"
    "\n"
    "The object store lives under the root base directory: the HKLM registry value\n"
    "\"Shared Path\" (SOFTWARE\\Wow6432Node\\Quorlith\\Morvane Calc), else $MORVANE_CALC_BASE,\n"
    "else <data folder>/Quorlith/Morvane Calc. The registry files are in $KELVARIN_REGISTRY_DIR\n"
    "(else /etc/kelvarin as root, else $XDG_CONFIG_HOME/kelvarin).\n"
    "\n"
    "Connect with:  kelvarin-cli --address unix:path=SOCKET CalcCommandVersion\n"
    "          or:  busctl --address=unix:path=SOCKET introspect com.quorlith.Kelvarin /com/quorlith/Kelvarin\n";

transport::Server* g_server = nullptr;

void OnSignal(int) {
  if (g_server) g_server->Stop();
}

std::string DefaultSocketPath() {
  if (const char* s = getenv("KELVARIN_SOCKET"); s && *s) return s;
  if (const char* r = getenv("XDG_RUNTIME_DIR"); r && *r) return std::string(r) + "/kelvarin/bus";
  if (geteuid() == 0) return "/run/kelvarin/bus";
  return "/tmp/kelvarin-" + std::to_string(geteuid()) + "/bus";
}

// The store's directories; on Windows an installer makes them, here the first start does.
void EnsureStoreLayout() {
  std::error_code ec;
  for (const char* sub : {"Calc/Edit", "Lib/Edit", "bin"}) {
    std::filesystem::create_directories(platform::ToFsPath(g_BasePath) + "/" + sub, ec);
    if (ec) g_DebugLog.Write("Kelvarin::Run: cannot create the store directory " + g_BasePath + "\\" + sub, ec.message());
  }
}

int Main(int argc, char** argv) {
  transport::Server::Options options;
  options.socketPath = DefaultSocketPath();
  bool exitWhenIdle = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kelvarin: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("kelvarin %s\n", kVersion);
      return 0;
    } else if (a == "--socket") {
      options.socketPath = value("--socket");
    } else if (a == "--bus") {
      std::string b = value("--bus");
      if (b == "system") {
        options.bus = transport::Server::Options::System;
      } else if (b == "session") {
        options.bus = transport::Server::Options::Session;
      } else {
        std::fprintf(stderr, "kelvarin: --bus takes system or session, not '%s'\n", b.c_str());
        return 2;
      }
    } else if (a == "--exit-when-idle") {
      exitWhenIdle = true;
    } else {
      std::fprintf(stderr, "kelvarin: unknown argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }

  g_DebugLog.Init(static_cast<int>(LogKind::Kelvarin), "", kVersion);
  InstallDebugLogAsErrorSink();
  if (g_DebugLog.IsOn(LogCategory::Steps)) g_DebugLog.Write("Service Starting", "");

  config::LoadConfiguration();
  EnsureStoreLayout();
  engine::RegisterEngineClasses(&SharedServerObjects());
  RegisterCommandClasses();
  if (engine::AuthorizationServiceDisabledByPolicy())
    engine::UnregisterAuthorizationService();
  else
    engine::RegisterAuthorizationService();
  security::ZrServerSecurity::RefreshCache();
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrCalcEnvironment, &g_pEnvironment)) || !g_pEnvironment)
    g_DebugLog.Write("Kelvarin::Run: failed to create the calculation environment", "");
  else
    g_pEnvironment->SetBasePath(com::Bstr::FromUtf8(g_BasePath));
  scheduler::GetScheduleObject();
  units::GetUnitConversionObject();
  if (g_pEnvironment && g_pUnitConversionObject)
    g_pEnvironment->SetUnitConversionObject(com::QueryInterface<com::IDispatch>(g_pUnitConversionObject).Get());

  int rc = 0;
  {
    ApartmentPool pool;
    if (exitWhenIdle) options.onLastObjectReleased = [] { if (g_server) g_server->Stop(); };
    transport::Server server(options, pool);
    std::string error;
    if (int err = server.Start(&error); err < 0) {
      std::fprintf(stderr, "kelvarin: cannot start serving: %s\n", error.c_str());
      g_DebugLog.Write("Kelvarin::Run: cannot start serving", error);
      return 1;
    }
    g_server = &server;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string address = server.Address();
    if (address.empty()) address = "the bus name com.quorlith.Kelvarin";
    std::printf("kelvarin %s serving %s\nstore: %s\nlog: %s\nconnect: kelvarin-cli --address %s CalcCommandVersion\n",
                kVersion, address.c_str(), platform::ToFsPath(g_BasePath).c_str(),
                platform::ToFsPath(g_DebugLog.FilePath()).c_str(), address.c_str());
    std::fflush(stdout);
    rc = server.Run() < 0 ? 1 : 0;
    g_server = nullptr;
  }
  if (g_pScheduleObject) scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  g_pScheduleObject = nullptr;
  g_pUnitConversionObject = nullptr;
  g_pEnvironment = nullptr;
  return rc;
}

}  // namespace
}  // namespace kv

int main(int argc, char** argv) { return kv::Main(argc, argv); }
