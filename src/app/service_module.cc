#include "app/service_module.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdint>
#include <iostream>

#include "app/service_names.h"
#include "platform/env.h"

namespace kv::app {

namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGPWR, SIGUSR1}) sigaddset(&set, s);
  return set;
}

const char* StateName(CServiceModule::ServiceState s) {
  switch (s) {
    // What systemctl status shows a person.
    case CServiceModule::SERVICE_STOPPED: return "stopped";
    case CServiceModule::SERVICE_START_PENDING: return "starting";
    case CServiceModule::SERVICE_STOP_PENDING: return "stopping";
    case CServiceModule::SERVICE_RUNNING: return "running";
  }
  return "stopped";
}

}  // namespace

void BlockControlSignals() {
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int ExitCodeOf(com::HRESULT hr) {
  if (com::SUCCEEDED(hr)) return 0;
  const int low = static_cast<int>(static_cast<uint32_t>(hr) & 0xFFu);
  return low == 0 ? 1 : low;
}

CServiceModule::CServiceModule(platform::Env& env, Outputs outputs)
    : env_(env), outputs_(std::move(outputs)), pool_(std::make_unique<ApartmentPool>()) {
  if (!outputs_.notify) outputs_.notify = [](const std::string& s) { sd_notify(0, s.c_str()); };
  if (!outputs_.journal)
    outputs_.journal = [](int priority, const std::string& s) {
      sd_journal_send("MESSAGE=%s", s.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=%s", kServiceName,
                      nullptr);
    };
  if (!outputs_.out) outputs_.out = &std::cout;
  quitFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  helperOptions_.places = InstallPlaces::FromEnvironment(*env_.system);
}

CServiceModule::~CServiceModule() {
  if (quitFd_ >= 0) close(quitFd_);
  if (signalFd_ >= 0) close(signalFd_);
}

void CServiceModule::Init() {
  m_bService = true;
  state_ = SERVICE_STOPPED;
  exitCode = 0;
}

int CServiceModule::Start(const ServerOptions& options) {
  serverOptions_ = options;
  m_bService = true;
  // No service manager started us: the local-server role.
  if (!env_.system->GetEnv("NOTIFY_SOCKET")) m_bService = false;
  if (m_bService) {
    ServiceMain();
    return exitCode;
  }
  sigset_t set = ControlSignals();
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ < 0) {
    // Without the descriptor the signals keep their default action rather than being lost.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::cerr << "kelvarin: cannot read the control signals; they end the process unsaved\n";
  }
  Run();
  return exitCode;
}

void CServiceModule::ServiceMain() {
  state_ = SERVICE_START_PENDING;
  sigset_t set = ControlSignals();
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ < 0) {
    LogEvent("Handler not installed");
    exitCode = 1;
    return;
  }
  SetServiceStatus(SERVICE_START_PENDING);
  Run();
  SetServiceStatus(SERVICE_STOPPED);
  LogEvent("Service stopped");
}

void CServiceModule::Handler(int control) {
  switch (control) {
    case kControlStop:
    case kControlShutdown:
      SetServiceStatus(SERVICE_STOP_PENDING);
      PostQuit();
      break;
    case kControlPause:
    case kControlContinue:
    case kControlInterrogate:
      break;
    default:
      LogEvent("Bad service request");
  }
}

void CServiceModule::SetServiceStatus(ServiceState state) {
  state_ = state;
  if (!m_bService) return;
  std::string msg;
  if (state == SERVICE_RUNNING) msg = "READY=1\n";
  if (state == SERVICE_STOP_PENDING) msg = "STOPPING=1\n";
  msg += std::string("STATUS=") + StateName(state);
  outputs_.notify(msg);
}

void CServiceModule::LogEvent(const std::string& text) {
  const std::string line = text.substr(0, 256);
  if (m_bService)
    outputs_.journal(LOG_INFO, line);
  else
    *outputs_.out << line << std::endl;
}

void CServiceModule::PostQuit() {
  quitsPosted_.fetch_add(1);
  uint64_t one = 1;
  ssize_t ignored = write(quitFd_, &one, sizeof one);
  (void)ignored;
}

}  // namespace kv::app
