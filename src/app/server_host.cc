#include "app/server_host.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/scheduler_health.h"
#include "app/service_module.h"
#include "app/upgrade_utils.h"
#include "com/class_registry.h"
#include "com/contained_call.h"
#include "command_object/shared_objects.h"
#include "command_object/workspace_service.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "dispatch/calc_commands.h"
#include "engine/authorization_service.h"
#include "engine/engine_registration.h"
#include "log/debug_log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "scheduler/schedule.h"
#include "scheduler/scheduler_supervisor.h"
#include "security/server_security.h"
#include "service/apartment_pool.h"
#include "service/fault_translator.h"
#include "transport/server.h"
#include "store/startup_cleanup.h"
#include "units/units_table.h"

namespace kv::app {

namespace {

// The command-line client beside this binary, by its full path so the banner's line can be
// pasted as it stands; its bare name when it is not there (an installed client is on PATH).
std::string ClientCommand() {
  const std::string beside = platform::Env::Current().system->ModuleFolder() + "/kelvarin-cli";
  return access(beside.c_str(), X_OK) == 0 ? beside : "kelvarin-cli";
}

// Per-connection limits: a DWORD under HKLM SOFTWARE\Kelvarin\Limits replaces the default;
// 0 or another type leaves it.
void ReadConnectionLimits(platform::Env& env, transport::Server::Options* options) {
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

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether every apartment still runs posted work: each probe posts a no-op that stamps the
// time it ran. The stamps are shared with the posted work, which may outlive the probe.
class ApartmentProbe {
 public:
  explicit ApartmentProbe(ApartmentPool& pool)
      : pool_(pool), stamps_(std::make_shared<std::vector<std::atomic<int64_t>>>(pool.Size())) {
    for (auto& s : *stamps_) s = NowMs();
  }
  void Post() {
    for (int i = 1; i <= pool_.Size(); ++i)
      pool_.At(i).Post([stamps = stamps_, i] { (*stamps)[static_cast<size_t>(i - 1)] = NowMs(); });
  }
  bool AllAnsweredWithin(int64_t ms) const {
    const int64_t now = NowMs();
    for (const auto& s : *stamps_)
      if (now - s.load() > ms) return false;
    return true;
  }

 private:
  ApartmentPool& pool_;
  std::shared_ptr<std::vector<std::atomic<int64_t>>> stamps_;
};

}  // namespace

class RunSteps {
 public:
  explicit RunSteps(CServiceModule& m) : m_(m), env_(m.Env()) {}
  ~RunSteps() { StopServing(); }

  void Execute() {
    Step("RecordRunThread", &RunSteps::RecordRunThread);              // 1
    Step("InitDiagnosticLog", &RunSteps::InitDiagnosticLog);          // 2
    Step("InitCom", &RunSteps::InitCom);                              // 3
    Step("LogStarting", &RunSteps::LogStarting);                      // 4
    Step("InitSecurity", &RunSteps::InitSecurity);                    // 5
    Step("CreateLocks", &RunSteps::CreateLocks);                      // 6
    // 7 and 8 come after 18: see server_host.h.
    Step("ReadSettings", &RunSteps::ReadSettings);                    // 9
    Step("QueryVersion", &RunSteps::QueryVersion);                    // 10
    Step("CreateEvents", &RunSteps::CreateEvents);                    // 11
    Step("RefreshAuthorization", &RunSteps::RefreshAuthorization);    // 12
    Step("CreateEnvironment", &RunSteps::CreateEnvironment);          // 13
    Step("LookupBasePath", &RunSteps::LookupBasePath);                // 14
    if (g_BasePath.empty()) {
      // No store anywhere but the file-system root: refuse to start rather than make one there.
      std::fprintf(stderr, "kelvarin: %s\n", config::kNoBasePathMessage);
      g_DebugLog.Write("Kelvarin::Run: cannot start", config::kNoBasePathMessage);
      ReleaseObjects();
      m_.exitCode = 1;
      return;
    }
    Step("MoveAfterUpgrade", &RunSteps::MoveAfterUpgrade);            // 15
    Step("CleanStore", &RunSteps::CleanStore);  // what a crash or a lost client left behind
    Step("LoadSchedule", &RunSteps::LoadSchedule);                    // 16
    Step("LoadUnits", &RunSteps::LoadUnits);                          // 17
    Step("HandUnitsToEnvironment", &RunSteps::HandUnitsToEnvironment);  // 18
    Notify("RegisterClassObjects");                                   // 7
    if (!RegisterClassObjects()) {
      // Nothing is served (another server holds the socket or the name): this process must
      // not save its schedule over that server's, so it leaves without the shutdown steps.
      ReleaseObjects();
      m_.exitCode = 1;
      return;
    }
    Step("ReportStarted", &RunSteps::ReportStarted);                  // 8
    Step("StartSupervisor", &RunSteps::StartSupervisor);              // 19
    Step("MessageLoop", &RunSteps::MessageLoop);                      // 20

    Step("SaveSchedule", &RunSteps::SaveSchedule);                    // shutdown 1
    Step("SignalStop", &RunSteps::SignalStop);                        // 2
    Step("WaitForSupervisor", &RunSteps::WaitForSupervisor);          // 3
    Step("StopServing", &RunSteps::StopServing);  // no call reaches the objects from here on
    Step("ReleaseObjects", &RunSteps::ReleaseObjects);                // 4
    Step("Pause", &RunSteps::Pause);                                  // 5
    Step("DeleteLocksAndEvents", &RunSteps::DeleteLocksAndEvents);    // 6
    Step("RevokeClassObjects", &RunSteps::RevokeClassObjects);        // 7
    Step("UninitCom", &RunSteps::UninitCom);                          // 8
  }

 private:
  void Notify(const char* name) {
    if (m_.onStep) m_.onStep(name);
  }
  void Step(const char* name, void (RunSteps::*step)()) {
    Notify(name);
    (this->*step)();
  }

  void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(500)); }

  void RecordRunThread() { runThread_ = std::this_thread::get_id(); }

  void InitDiagnosticLog() {
    g_DebugLog.Init(env_, static_cast<int>(LogKind::Kelvarin), "", kServerVersion);
    InstallDebugLogAsErrorSink();
  }

  // COM's part here: the in-process classes (engine components, the command classes) become
  // creatable by class identifier.
  void InitCom() {
    engine::RegisterEngineClasses(&SharedServerObjects());
    RegisterCommandClasses();
    if (engine::AuthorizationServiceDisabledByPolicy(env_))
      engine::UnregisterAuthorizationService();
    else
      engine::RegisterAuthorizationService(env_);
  }

  void LogStarting() {
    if (g_DebugLog.IsOn(LogCategory::Steps)) g_DebugLog.Write("Service Starting", "");
  }

  // Every caller is admitted: the access gate decides rights per command.
  void InitSecurity() {}

  // ScheduleLock and UnitsLock exist for the life of the process.
  void CreateLocks() { (void)ScheduleLock(), (void)UnitsLock(); }

  // Opens the socket or takes the bus name and serves on a bus thread of its own.
  bool RegisterClassObjects() {
    transport::Server::Options options = m_.serverOptions_.transport;
    ReadConnectionLimits(env_, &options);
    options.rootInterfaces.push_back(SchedulerHealthInterface(env_));
    if (m_.serverOptions_.exitWhenIdle)
      options.onLastObjectReleased = [this] {
        if (!m_.m_bService) m_.PostQuit();
      };
    transportOptions_ = options;
    server_ = std::make_unique<transport::Server>(options, m_.Pool());
    std::string error;
    if (server_->Start(&error) < 0) {
      g_DebugLog.Write("Kelvarin::Run: failed call to RegisterClassObjects", error);
      std::fprintf(stderr, "kelvarin: cannot start serving: %s\n", error.c_str());
      server_.reset();
      return false;
    }
    busThread_ = std::thread([this] {
      if (server_->Run() < 0) {
        busFailed_ = true;
        m_.PostQuit();
      }
    });
    return true;
  }

  void ReportStarted() {
    m_.LogEvent("Service started");
    PrintBanner();
    if (m_.m_bService) m_.SetServiceStatus(CServiceModule::SERVICE_RUNNING);
    WedgeForTest();
  }

  void PrintBanner() {
    std::string address = server_->Address(), reach = "--address " + address;
    if (transportOptions_.bus != transport::Server::Options::Private) {
      const char* bus = transportOptions_.bus == transport::Server::Options::System ? "system" : "session";
      address = std::string("the name com.quorlith.Kelvarin on the ") + bus + " bus";
      reach = std::string("--bus ") + bus;
    }
    std::printf("kelvarin %s serving %s\nstore: %s\nlog: %s\nconnect: %s %s CalcCommandVersion\n%s\n",
                kServerVersion, address.c_str(), platform::ToFsPath(g_BasePath).c_str(),
                platform::ToFsPath(g_DebugLog.FilePath()).c_str(), ClientCommand().c_str(), reach.c_str(),
                kReadyLine);
    std::fflush(stdout);
  }

  void WedgeForTest() {
    const std::string which = env_.system->GetEnv(kWedgeApartmentVar).value_or("");
    const int n = std::atoi(which.c_str());
    if (n < 1 || n > m_.Pool().Size()) return;
    m_.Pool().At(n).Post([released = released_] {
      while (!released->load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
  }

  void ReadSettings() {
    g_bOdmWorkspaceSet = !config::ReadOdmWorkspace(env_).empty();
    g_bStoreAndForwardEnabled = config::ReadStoreAndForward(env_) != 0 ? -1 : 0;
    g_RecycleCopies = config::ReadRecycleCopies(env_);
  }

  void QueryVersion() {
    struct utsname u;
    if (uname(&u) != 0) g_DebugLog.Write("Kelvarin::Run: failed call to GetVersionEx", "");
  }

  // StopEvent, GroupsChangedEvent and ExecuteItemEvent belong to the scheduler's supervisor.
  void CreateEvents() {}

  void RefreshAuthorization() { security::ZrServerSecurity::RefreshCache(); }

  void CreateEnvironment() {
    com::HRESULT hr = com::CreateInstance(components::CLSID_ZrCalcEnvironment, &g_pEnvironment);
    if (com::FAILED(hr) || !g_pEnvironment) {
      g_pEnvironment = nullptr;
      g_DebugLog.Write("Kelvarin::Run: Failed to create ZrCalcEnvironment",
                       DebugLog::HResultText(com::FAILED(hr) ? hr : com::E_FAIL));
    }
  }

  void LookupBasePath() {
    g_BasePath = config::LookupBasePath(env_);
    if (g_BasePath.empty()) return;
    EnsureStoreLayout();
    if (g_pEnvironment) g_pEnvironment->SetBasePath(com::Bstr::FromUtf8(g_BasePath));
  }

  // The store's directories; on Windows an installer makes them, here the first start does.
  // Through the file system layer, so the store's folders get its private modes.
  void EnsureStoreLayout() {
    platform::FileSystem& fs = *env_.fs;
    for (const char* sub : {"Calc\\Edit", "Lib\\Edit", "bin"}) {
      const std::string dir = g_BasePath + "\\" + sub;
      if (int err = platform::CreateDirectories(fs, dir); err != platform::crt::kOk)
        g_DebugLog.Write("Kelvarin::Run: cannot create the store directory " + dir, platform::CrtErrnoText(err));
    }
  }

  void MoveAfterUpgrade() {
    ZrUpgradeUtils mover(env_, g_BasePath);
    mover.MoveAfterUpgrade();
  }

  void CleanStore() { store::CleanStoreAtStartup(env_, g_BasePath); }

  void LoadSchedule() {
    com::ContainedCall([] { scheduler::GetScheduleObject(); }, [](com::HRESULT hr) noexcept {
      g_pScheduleObject = nullptr;
      g_DebugLog.Write("Kelvarin::Run: Exception caught calling GetScheduleObject", DebugLog::HResultText(hr));
      return hr;
    });
  }

  void LoadUnits() {
    com::ContainedCall([] { units::GetUnitConversionObject(); }, [](com::HRESULT hr) noexcept {
      g_pUnitConversionObject = nullptr;
      g_DebugLog.Write("Kelvarin::Run: Exception caught calling GetUnitConversionObject", DebugLog::HResultText(hr));
      return hr;
    });
  }

  void HandUnitsToEnvironment() {
    if (!g_pEnvironment) return;
    com::ComPtr<com::IDispatch> units;
    if (g_pUnitConversionObject) units = com::QueryInterface<com::IDispatch>(g_pUnitConversionObject);
    g_pEnvironment->SetUnitConversionObject(units.Get());
  }

  void StartSupervisor() {
    scheduler::StartSchedulerSupervisor(
        env_, {.threadInit = InstallFaultTranslator, .runWorkspace = [&env = env_](const com::Bstr& group, com::Bstr* context) {
                 return RunGroupInWorkspace(env, group, context);
               }});
  }

  // Runs until a quit is posted: control signals and, in the service role with a watchdog, the
  // keep-alive pings, sent only while every apartment still answers.
  void MessageLoop() {
    uint64_t watchdogUsec = 0;
    const bool watchdog = m_.m_bService && sd_watchdog_enabled(0, &watchdogUsec) > 0 && watchdogUsec >= 2000;
    const int64_t periodMs = static_cast<int64_t>(watchdogUsec / 1000), intervalMs = periodMs / 2;
    ApartmentProbe probe(m_.Pool());
    int64_t nextPing = NowMs();
    for (;;) {
      int timeout = -1;
      if (watchdog) {
        const int64_t now = NowMs();
        if (now >= nextPing) {
          if (probe.AllAnsweredWithin(periodMs)) m_.outputs_.notify("WATCHDOG=1");
          probe.Post();
          nextPing = now + intervalMs;
        }
        timeout = static_cast<int>(nextPing - now);
      }
      pollfd fds[2] = {{m_.quitFd_, POLLIN, 0}, {m_.signalFd_, POLLIN, 0}};
      int n = poll(fds, m_.signalFd_ >= 0 ? 2 : 1, timeout);
      if (n < 0 && errno != EINTR) break;
      if (n > 0 && (fds[0].revents & POLLIN)) break;
      if (n > 0 && m_.signalFd_ >= 0 && (fds[1].revents & POLLIN)) {
        signalfd_siginfo info;
        while (read(m_.signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) HandleSignal(info.ssi_signo);
      }
    }
    if (busFailed_) m_.exitCode = 1;
  }

  void HandleSignal(uint32_t signo) {
    switch (signo) {
      case SIGTERM:
      case SIGINT:
        m_.Handler(CServiceModule::kControlStop);
        break;
      case SIGPWR:
        m_.Handler(CServiceModule::kControlShutdown);
        break;
      default:
        m_.Handler(static_cast<int>(128 + signo));  // no control of ours
    }
  }

  void SaveSchedule() {
    released_->store(true);
    if (g_pScheduleObject) scheduler::SaveScheduleObject(g_pScheduleObject.Get());
  }
  void SignalStop() { scheduler::StopEvent().Set(); }
  void WaitForSupervisor() { scheduler::StopSchedulerSupervisor(); }

  // The bus thread ends, and every call already posted to an apartment has run.
  void StopServing() {
    released_->store(true);
    if (!server_) return;
    server_->Stop();
    if (busThread_.joinable()) busThread_.join();
    for (int i = 1; i <= m_.Pool().Size(); ++i) m_.Pool().At(i).Run([] {});
  }

  void ReleaseObjects() {
    g_pScheduleObject = nullptr;
    g_pUnitConversionObject = nullptr;
    g_pEnvironment = nullptr;
  }

  void DeleteLocksAndEvents() {}

  // Leaves the bus name or closes the socket, with every client connection.
  void RevokeClassObjects() { server_.reset(); }

  void UninitCom() {}

  CServiceModule& m_;
  platform::Env& env_;
  std::thread::id runThread_;
  transport::Server::Options transportOptions_;
  std::unique_ptr<transport::Server> server_;
  std::thread busThread_;
  std::atomic<bool> busFailed_{false};
  std::shared_ptr<std::atomic<bool>> released_ = std::make_shared<std::atomic<bool>>(false);
};

void CServiceModule::Run() {
  RunSteps steps(*this);
  com::ContainedCall([&] { steps.Execute(); }, [](com::HRESULT hr) noexcept {
    g_DebugLog.Write("CServiceModule::Run", DebugLog::HResultText(hr));
    return hr;
  });
}

}  // namespace kv::app
