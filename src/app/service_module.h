#pragma once
// The process's module object: the role (a systemd service or a server started by hand), the
// service control plumbing, the run loop and the installation and registration switches.
//
// Roles: the service role is "started by the service manager", i.e. $NOTIFY_SOCKET is set
// (Type=notify); otherwise the local-server role. Status reports become sd_notify messages
// (SERVICE_RUNNING: READY=1, SERVICE_STOP_PENDING: STOPPING=1, each with STATUS= and the state in words: starting, running, stopping, stopped);
// events go to the journal in the service role and to standard output otherwise. Controls are
// signals read from a signalfd on the Run thread: SIGTERM and SIGINT stop, SIGPWR shuts down,
// SIGUSR1 is no control of ours ("Bad service request"). Those signals must be blocked in every
// thread (BlockControlSignals, before any thread starts).
#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "app/server_options.h"
#include "app/service_helpers.h"
#include "com/hresult.h"
#include "service/apartment_pool.h"

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::app {

// Blocks the control signals in the calling thread; threads started afterwards inherit it.
void BlockControlSignals();

// Where reports go; tests replace them. Defaults: sd_notify, sd_journal_send with
// SYSLOG_IDENTIFIER=CalculatorServerService, standard output.
struct ServiceOutputs {
  std::function<void(const std::string&)> notify;
  std::function<void(int priority, const std::string&)> journal;
  std::ostream* out = nullptr;
};

class CServiceModule {
 public:
  enum ServiceState { SERVICE_STOPPED = 1, SERVICE_START_PENDING = 2, SERVICE_STOP_PENDING = 3, SERVICE_RUNNING = 4 };
  enum Control { kControlStop = 1, kControlPause = 2, kControlContinue = 3, kControlInterrogate = 4,
                 kControlShutdown = 5 };

  using Outputs = ServiceOutputs;

  explicit CServiceModule(platform::Env& env, Outputs outputs = {});
  ~CServiceModule();
  CServiceModule(const CServiceModule&) = delete;
  CServiceModule& operator=(const CServiceModule&) = delete;

  // Sets m_bService, fills the status record.
  void Init();
  // Chooses the role and serves: ServiceMain when started by the service manager, else Run on
  // this thread. The process's exit code.
  int Start(const ServerOptions& options);
  void ServiceMain();
  void Handler(int control);
  void SetServiceStatus(ServiceState state);
  ServiceState CurrentState() const { return state_.load(); }
  // At most 256 characters: a journal entry in the service role, else a line on stdout.
  void LogEvent(const std::string& text);

  // Start-up, message loop and shutdown (server_host.cc). Guarded: nothing escapes it.
  void Run();
  // Asks the Run thread's loop to end (WM_QUIT). Any thread, async-signal-safe.
  void PostQuit();
  // How many quit requests were posted; the loop ends on the first.
  int QuitsPosted() const { return quitsPosted_.load(); }

  // Registration switches (service_registration.cc). The process's exit code derives from the
  // result (ExitCodeOf).
  com::HRESULT RegisterServer(bool registerTypeLib, bool service, const std::string& account,
                              const std::string& password);
  com::HRESULT RegisterServerDebug();
  com::HRESULT UnregisterServer();
  bool Install(const std::string& account, const std::string& password);
  bool UpdateService(const std::string& account, const std::string& password);
  // The helpers' status; a failure is logged and printed.
  com::HRESULT Uninstall();
  bool IsInstalled();

  // Fills HelperOptions() for this machine: the folders from the environment, the real
  // systemctl, and what the service needs to write (store, registry, log).
  void ConfigureInstallation();
  // Settings of the installation (folders, systemctl); tests set them before registering.
  ZrServiceHelpers::Options& HelperOptions() { return helperOptions_; }

  // Called on the Run thread as each start-up and shutdown step of Run begins, with the step's
  // name (tests watch the order and act between steps). Unset: nothing.
  std::function<void(const std::string& step)> onStep;

  bool m_bService = false;
  int exitCode = 0;  // the Win32 exit code of the status record

  ApartmentPool& Pool() { return *pool_; }
  platform::Env& Env() { return env_; }

 private:
  friend class RunSteps;
  void RegisterClassEntries();
  void UnregisterClassEntries();
  com::HRESULT RegisterTypeLib();
  void UnregisterTypeLib();

  platform::Env& env_;
  Outputs outputs_;
  std::unique_ptr<ApartmentPool> pool_;
  std::atomic<ServiceState> state_{SERVICE_STOPPED};
  std::atomic<int> quitsPosted_{0};
  int quitFd_ = -1;    // eventfd: the Run thread's WM_QUIT
  int signalFd_ = -1;  // the control signals, read on the Run thread
  ServerOptions serverOptions_;
  ZrServiceHelpers::Options helperOptions_;
};

// The exit code of a registration: 0 for success, else the HRESULT's low byte, or 1 when that
// byte is 0 (a failure never exits 0).
int ExitCodeOf(com::HRESULT hr);

}  // namespace kv::app
