#include "app/server_host.h"

#include <signal.h>
#include <unistd.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "com/class_registry.h"
#include "commands/shared_objects.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "dispatch/calc_commands.h"
#include "engine/authorization_service.h"
#include "engine/engine_registration.h"
#include "log/debug_log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "scheduler/schedule.h"
#include "security/server_security.h"
#include "service/apartment_pool.h"
#include "store/startup_cleanup.h"
#include "units/units_table.h"

namespace kv::app {

namespace {

// The server the stop signals reach; atomic so the handler reads it safely.
std::atomic<transport::Server*> g_server{nullptr};

void StopServing() {
  if (transport::Server* s = g_server.load()) s->Stop();
}

void OnSignal(int) { StopServing(); }

void InstallSignalHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// The store's directories; on Windows an installer makes them, here the first start does.
// Through the file system layer, so the store's folders get its private modes.
void EnsureStoreLayout() {
  platform::FileSystem& fs = *platform::Env::Current().fs;
  for (const char* sub : {"Calc\\Edit", "Lib\\Edit", "bin"}) {
    const std::string dir = g_BasePath + "\\" + sub;
    if (int err = platform::CreateDirectories(fs, dir); err != platform::crt::kOk)
      g_DebugLog.Write("Kelvarin::Run: cannot create the store directory " + dir, platform::CrtErrnoText(err));
  }
}

void RegisterClasses() {
  engine::RegisterEngineClasses(&SharedServerObjects());
  RegisterCommandClasses();
  if (engine::AuthorizationServiceDisabledByPolicy(platform::Env::Current()))
    engine::UnregisterAuthorizationService();
  else
    engine::RegisterAuthorizationService(platform::Env::Current());
  security::ZrServerSecurity::RefreshCache();
}

void CreateSharedObjects() {
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrCalcEnvironment, &g_pEnvironment)) || !g_pEnvironment)
    g_DebugLog.Write("Kelvarin::Run: failed to create the calculation environment", "");
  else
    g_pEnvironment->SetBasePath(com::Bstr::FromUtf8(g_BasePath));
  scheduler::GetScheduleObject();
  units::GetUnitConversionObject();
  if (g_pEnvironment && g_pUnitConversionObject)
    g_pEnvironment->SetUnitConversionObject(com::QueryInterface<com::IDispatch>(g_pUnitConversionObject).Get());
}

// The command-line client beside this binary, by its full path so the banner's line can be
// pasted as it stands; its bare name when it is not there (an installed client is on PATH).
std::string ClientCommand() {
  const std::string beside = platform::Env::Current().system->ModuleFolder() + "/kelvarin-cli";
  return access(beside.c_str(), X_OK) == 0 ? beside : "kelvarin-cli";
}

void AnnounceReady(const transport::Server& server, const transport::Server::Options& options) {
  std::string address = server.Address(), reach = "--address " + address;
  if (options.bus != transport::Server::Options::Private) {
    const char* bus = options.bus == transport::Server::Options::System ? "system" : "session";
    address = std::string("the name com.quorlith.Kelvarin on the ") + bus + " bus";
    reach = std::string("--bus ") + bus;
  }
  std::printf("kelvarin %s serving %s\nstore: %s\nlog: %s\nconnect: %s %s CalcCommandVersion\n%s\n",
              kServerVersion, address.c_str(), platform::ToFsPath(g_BasePath).c_str(),
              platform::ToFsPath(g_DebugLog.FilePath()).c_str(), ClientCommand().c_str(), reach.c_str(),
              kReadyLine);
  std::fflush(stdout);
  if (int r = sd_notify(0, "READY=1"); r < 0)
    std::fprintf(stderr, "kelvarin: cannot report readiness to $NOTIFY_SOCKET: %s\n", std::strerror(-r));
}

// Per-connection limits: a DWORD under HKLM SOFTWARE\Kelvarin\Limits replaces the default;
// 0 or another type leaves it.
void ReadConnectionLimits(transport::Server::Options* options) {
  platform::Env& env = platform::Env::Current();
  if (!env.registry) return;
  auto read = [&](const char* name, size_t* value) {
    platform::RegValue v;
    if (env.registry->GetValue(platform::RegHive::LocalMachine, "SOFTWARE\\Kelvarin\\Limits", name, &v) ==
            platform::kRegOk &&
        v.type == platform::REG_DWORD && v.dword != 0)
      *value = v.dword;
  };
  read("MaxQueuedBytes", &options->maxQueuedBytes);
  read("MaxPendingCalls", &options->maxPendingCalls);
  read("MaxObjects", &options->maxObjects);
}

}  // namespace

void StartServices() {
  g_DebugLog.Init(platform::Env::Current(), static_cast<int>(LogKind::Kelvarin), "", kServerVersion);
  InstallDebugLogAsErrorSink();
  if (g_DebugLog.IsOn(LogCategory::Steps)) g_DebugLog.Write("Service Starting", "");
  if (!config::LoadConfiguration(platform::Env::Current())) {
    std::fprintf(stderr, "kelvarin: %s\n", config::kNoBasePathMessage);
    g_DebugLog.Write("Kelvarin::Run: cannot start", config::kNoBasePathMessage);
    std::exit(1);
  }
  EnsureStoreLayout();
  RegisterClasses();
  CreateSharedObjects();
  store::CleanStoreAtStartup(platform::Env::Current(), g_BasePath);
}

ServeOutcome Serve(const ServerOptions& options) {
  ApartmentPool pool;
  transport::Server::Options transportOptions = options.transport;
  ReadConnectionLimits(&transportOptions);
  if (options.exitWhenIdle) transportOptions.onLastObjectReleased = StopServing;
  transport::Server server(transportOptions, pool);
  std::string error;
  if (server.Start(&error) < 0) {
    std::fprintf(stderr, "kelvarin: cannot start serving: %s\n", error.c_str());
    g_DebugLog.Write("Kelvarin::Run: cannot start serving", error);
    return {false, 1};
  }
  g_server = &server;
  InstallSignalHandlers();
  AnnounceReady(server, transportOptions);
  int rc = server.Run() < 0 ? 1 : 0;
  g_server = nullptr;
  return {true, rc};
}

void StopServices() {
  if (g_pScheduleObject) scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  g_pScheduleObject = nullptr;
  g_pUnitConversionObject = nullptr;
  g_pEnvironment = nullptr;
}

}  // namespace kv::app
