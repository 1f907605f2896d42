#include "app/service_helpers.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>
#include <thread>

#include "app/service_files.h"
#include "app/service_names.h"
#include "com/contained_call.h"
#include "platform/env.h"

extern char** environ;

namespace kv::app {

namespace {

using com::E_FAIL;
using com::HRESULT;
using com::S_OK;

constexpr int kStopBudgetMs = 30000;
constexpr int kStopPollMs = 500;
constexpr int kStoppedSettleMs = 100;
constexpr size_t kMaxImagePathBytes = 260;

std::string Dirname(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Unquoted(const std::string& quoted) {
  if (quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"') return quoted.substr(1, quoted.size() - 2);
  return quoted;
}

// Removes `path`; 0 when it is gone (also when it was never there), else the errno value.
int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno; }

// A unit naming an account the system does not know could never start. No account: root.
bool AccountExists(const std::string& account) {
  if (account.empty()) return true;
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  return getpwnam_r(account.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr;
}

// Every method owes its caller a text naming it when an exception escapes.
template <class Body>
HRESULT Contained(const char* method, std::string* error, Body&& body) noexcept {
  return com::ContainedCall(body, [&](HRESULT) noexcept {
    try {
      *error = std::string("Exception caught in ZrServiceHelpers::") + method;
    } catch (...) {
    }
    return E_FAIL;
  });
}

}  // namespace

void PrepareServiceFolders(const std::vector<std::string>& folders, const std::string& account) {
  const passwd* pw = account.empty() ? nullptr : getpwnam(account.c_str());
  for (const std::string& f : folders) {
    std::error_code ec;
    std::filesystem::create_directories(f, ec);
    if (!pw || ec) continue;
    // Everything already there too (registry files, logs, a store made by an earlier run as
    // root), so the account can read what it must write.
    int ignored = lchown(f.c_str(), pw->pw_uid, pw->pw_gid);
    for (auto it = std::filesystem::recursive_directory_iterator(f, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      ignored = lchown(it->path().c_str(), pw->pw_uid, pw->pw_gid);
    (void)ignored;
  }
}

InstallPlaces InstallPlaces::FromEnvironment(platform::SystemInfo& system) {
  InstallPlaces p;
  auto take = [&](const char* var, std::string* dir) {
    if (auto v = system.GetEnv(var); v && !v->empty()) *dir = *v;
  };
  take("KELVARIN_UNIT_DIR", &p.unitDir);
  take("KELVARIN_DBUS_POLICY_DIR", &p.policyDir);
  take("KELVARIN_DBUS_SERVICES_DIR", &p.activationDir);
  take("KELVARIN_INTERFACES_DIR", &p.interfacesDir);
  return p;
}

SystemctlRunner RealSystemctl(platform::SystemInfo& system) {
  std::string program = system.GetEnv("KELVARIN_SYSTEMCTL").value_or("");
  if (program.empty()) program = "systemctl";
  return [program](const std::vector<std::string>& args, std::string* output) -> int {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    // The server blocks its control signals; systemctl gets the default mask back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> words = {program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; rc == 0 && (n = read(fds[0], buf, sizeof buf)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) return -1;
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
}

int WriteFileAtomically(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  for (size_t at = 0; at < data.size() && !err;) {
    ssize_t n = write(fd, data.data() + at, data.size() - at);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) at += static_cast<size_t>(n);
  }
  if (!err && fchmod(fd, 0644) != 0) err = errno;
  if (!err && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(tmp.c_str());
    return err;
  }
  int dir = open(Dirname(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return 0;
}

std::string ZrServiceHelpers::SystemErrorText(int linuxErrno) {
  const char* text = std::strerror(linuxErrno);
  if (text && *text) return text;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(com::HResultFromWin32(static_cast<uint32_t>(linuxErrno))));
  return hex;
}

ZrServiceHelpers::ZrServiceHelpers(platform::Env& env, Options options) : env_(env), options_(std::move(options)) {
  if (!options_.systemctl) options_.systemctl = RealSystemctl(*env_.system);
  if (!options_.sleep) options_.sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  if (!options_.writeFile) options_.writeFile = WriteFileAtomically;
}

std::string ZrServiceHelpers::UnitPath(const std::string& name) const {
  return options_.places.unitDir + "/" + name + ".service";
}
std::string ZrServiceHelpers::PolicyPath() const { return options_.places.policyDir + "/" + kBusPolicyFileName; }
std::string ZrServiceHelpers::ActivationPath() const {
  return options_.places.activationDir + "/" + kBusActivationFileName;
}

int ZrServiceHelpers::Systemctl(const std::vector<std::string>& args, std::string* output) {
  std::string ignored;
  return options_.systemctl(args, output ? output : &ignored);
}

bool ZrServiceHelpers::QuotedModulePath(std::string* quoted, std::string* error) {
  const std::string path = env_.system->ModulePath();
  if (path.empty()) {
    *error = "Failed call to GetModuleFileName: " + SystemErrorText(ENOENT);
    return false;
  }
  *quoted = "\"" + path + "\"";
  return true;
}

// The service manager is "open" when the unit folder is there to hold units.
bool ZrServiceHelpers::OpenManager(std::string* error) {
  struct stat st;
  if (stat(options_.places.unitDir.c_str(), &st) != 0) {
    *error = "Failed call to OpenSCManager: " + SystemErrorText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = "Failed call to OpenSCManager: " + SystemErrorText(ENOTDIR);
    return false;
  }
  return true;
}

int ZrServiceHelpers::WriteServiceFiles(const std::string& name, const std::string& quotedPath,
                                        const std::string& account) {
  UnitSettings unit;
  unit.execPath = Unquoted(quotedPath);
  unit.account = account;
  unit.registryDir = options_.registryDir;
  unit.programDataDir = options_.programDataDir;
  unit.writablePaths = options_.writablePaths;
  const std::string unitText = UnitFileText(unit);
  if (unitText.empty()) return EINVAL;
  const std::pair<std::string, std::string> files[] = {
      {UnitPath(name), unitText},
      {PolicyPath(), BusPolicyText(account)},
      {ActivationPath(), BusActivationText(account)},
  };
  // Each file is replaced whole; when one fails the earlier ones get their old text back (or
  // go, when there was none), so no half-made service is left.
  std::vector<std::pair<std::string, std::optional<std::string>>> before;
  for (const auto& [path, text] : files) {
    std::optional<std::string> old;
    std::string content;
    if (env_.fs->ReadFile(path, &content) == platform::crt::kOk) old = content;
    if (int err = options_.writeFile(path, text); err != 0) {
      for (auto it = before.rbegin(); it != before.rend(); ++it)
        it->second ? (void)options_.writeFile(it->first, *it->second) : (void)RemoveFile(it->first);
      return err;
    }
    before.emplace_back(path, std::move(old));
  }
  return 0;
}

HRESULT ZrServiceHelpers::IsInstalled(const std::string& name, bool* installed, std::string* error) {
  return Contained("IsInstalled", error, [&]() -> HRESULT {
    *installed = false;
    if (!OpenManager(error)) return E_FAIL;
    struct stat st;
    if (stat(UnitPath(name).c_str(), &st) == 0) {
      if (S_ISREG(st.st_mode)) {
        *installed = true;
        return S_OK;
      }
      *error = "Failed call to OpenService: " + SystemErrorText(EISDIR);
      return E_FAIL;
    }
    if (errno == ENOENT) return S_OK;
    *error = "Failed call to OpenService: " + SystemErrorText(errno);
    return E_FAIL;
  });
}

HRESULT ZrServiceHelpers::Install(const std::string& name, const std::string& displayName,
                                  const std::string& description, const std::string& account,
                                  const std::string& password, std::string* error) {
  return Contained("Install", error, [&]() -> HRESULT {
    std::string quoted;
    if (!QuotedModulePath(&quoted, error)) return E_FAIL;
    return InstallWithModuleName(name, displayName, description, account, password, quoted, error);
  });
}

HRESULT ZrServiceHelpers::InstallWithModuleName(const std::string& name, const std::string& displayName,
                                                const std::string& description, const std::string& account,
                                                const std::string& password, const std::string& quotedPath,
                                                std::string* error) {
  return Contained("InstallWithModuleName", error, [&]() -> HRESULT {
    bool installed = false;
    if (HRESULT hr = IsInstalled(name, &installed, error); com::FAILED(hr)) return hr;
    if (installed) return S_OK;
    if (!OpenManager(error)) return E_FAIL;
    if (!AccountExists(account)) {
      *error = "Failed call to CreateService: no account named \"" + account + "\" exists";
      return E_FAIL;
    }
    // The password has no place in a unit: the service runs as the account without one.
    (void)password;
    if (int err = WriteServiceFiles(name, quotedPath, account); err != 0) {
      *error = "Failed call to CreateService: " + SystemErrorText(err);
      return E_FAIL;
    }
    platform::RegistryStore& reg = *env_.registry;
    const long regErr = reg.SetValue(platform::RegHive::LocalMachine, kServicesKey, "ImagePath",
                                     platform::RegValue::String(quotedPath, platform::REG_EXPAND_SZ));
    if (regErr == platform::kRegOk) {
      reg.SetValue(platform::RegHive::LocalMachine, kServicesKey, "DisplayName", platform::RegValue::String(displayName));
      reg.SetValue(platform::RegHive::LocalMachine, kServicesKey, "ObjectName",
                   platform::RegValue::String(account.empty() ? "root" : account));
    }
    int rc = regErr == platform::kRegOk ? Systemctl({"daemon-reload"}) : 0;
    if (regErr == platform::kRegOk && rc == 0) rc = Systemctl({"enable", name + ".service"});
    if (regErr != platform::kRegOk || rc != 0) {
      RemoveFile(UnitPath(name));
      RemoveFile(PolicyPath());
      RemoveFile(ActivationPath());
      reg.DeleteKey(platform::RegHive::LocalMachine, kServicesKey);
      Systemctl({"daemon-reload"});
      *error = regErr != platform::kRegOk
                   ? "Failed call to CreateService: " + SystemErrorText(EACCES)
                   : "Failed call to CreateService: systemctl enable exited with status " + std::to_string(rc);
      return E_FAIL;
    }
    return SetDescription(name, description, error);
  });
}

HRESULT ZrServiceHelpers::IsThisMyServiceWithModuleName(const std::string& name, const std::string& quotedPath,
                                                        bool* result, std::string* error) {
  return Contained("IsThisMyServiceWithModuleName", error, [&]() -> HRESULT {
    *result = false;
    platform::RegistryStore& reg = *env_.registry;
    if (!reg.KeyExists(platform::RegHive::LocalMachine, kServicesKey)) {
      *error = "Failed call to Open Services Key: " + SystemErrorText(ENOENT);
      return E_FAIL;
    }
    platform::RegValue v;
    if (reg.GetValue(platform::RegHive::LocalMachine, kServicesKey, "ImagePath", &v) != platform::kRegOk ||
        (v.type != platform::REG_SZ && v.type != platform::REG_EXPAND_SZ)) {
      *error = "Failed call to Read Services Key: " + SystemErrorText(ENOENT);
      return E_FAIL;
    }
    if (v.text.size() + 1 > kMaxImagePathBytes) {
      *error = "Failed call to Read Services Key: " + SystemErrorText(ENAMETOOLONG);
      return E_FAIL;
    }
    *result = v.text.size() == quotedPath.size() && strcasecmp(v.text.c_str(), quotedPath.c_str()) == 0;
    return S_OK;
  });
}

HRESULT ZrServiceHelpers::SetDescription(const std::string& name, const std::string& description,
                                         std::string* error) {
  return Contained("SetDescription", error, [&]() -> HRESULT {
    if (env_.registry->SetValue(platform::RegHive::LocalMachine, kServicesKey, "Description",
                                platform::RegValue::String(description)) != platform::kRegOk) {
      *error = "Failed call to Write Services Key: " + SystemErrorText(EACCES);
      return E_FAIL;
    }
    return S_OK;
  });
}

HRESULT ZrServiceHelpers::UpdateService(const std::string& name, const std::string& displayName,
                                        const std::string& description, const std::string& account,
                                        const std::string& password, std::string* error) {
  return Contained("UpdateService", error, [&]() -> HRESULT {
    std::string quoted;
    if (!QuotedModulePath(&quoted, error)) return E_FAIL;
    return UpdateServiceWithModuleName(name, displayName, description, account, password, quoted, error);
  });
}

HRESULT ZrServiceHelpers::UpdateServiceWithModuleName(const std::string& name, const std::string& displayName,
                                                      const std::string& description, const std::string& account,
                                                      const std::string& password, const std::string& quotedPath,
                                                      std::string* error) {
  return Contained("UpdateServiceWithModuleName", error, [&]() -> HRESULT {
    bool mine = false;
    if (HRESULT hr = IsThisMyServiceWithModuleName(name, quotedPath, &mine, error); com::FAILED(hr)) return hr;
    if (!mine) {
      *error = "32bit service cannot override the 64bit service";
      return E_FAIL;
    }
    if (!OpenManager(error)) return E_FAIL;
    if (!AccountExists(account)) {
      *error = "Service could not be configured: no account named \"" + account + "\" exists";
      return E_FAIL;
    }
    (void)password;
    if (int err = WriteServiceFiles(name, quotedPath, account); err != 0) {
      *error = "Service could not be configured: " + SystemErrorText(err);
      return E_FAIL;
    }
    platform::RegistryStore& reg = *env_.registry;
    reg.SetValue(platform::RegHive::LocalMachine, kServicesKey, "ImagePath",
                 platform::RegValue::String(quotedPath, platform::REG_EXPAND_SZ));
    reg.SetValue(platform::RegHive::LocalMachine, kServicesKey, "DisplayName", platform::RegValue::String(displayName));
    reg.SetValue(platform::RegHive::LocalMachine, kServicesKey, "ObjectName",
                 platform::RegValue::String(account.empty() ? "root" : account));
    if (int rc = Systemctl({"daemon-reload"}); rc != 0) {
      *error = "Service could not be configured: systemctl daemon-reload exited with status " + std::to_string(rc);
      return E_FAIL;
    }
    return SetDescription(name, description, error);
  });
}

HRESULT ZrServiceHelpers::Uninstall(const std::string& name, std::string* error) {
  return Contained("Uninstall", error, [&]() -> HRESULT {
    std::string quoted;
    if (!QuotedModulePath(&quoted, error)) return E_FAIL;
    return UninstallWithModuleName(name, quoted, error);
  });
}

HRESULT ZrServiceHelpers::UninstallWithModuleName(const std::string& name, const std::string& quotedPath,
                                                  std::string* error) {
  return Contained("UninstallWithModuleName", error, [&]() -> HRESULT {
    bool installed = false;
    if (HRESULT hr = IsInstalled(name, &installed, error); com::FAILED(hr)) return hr;
    if (!installed) return S_OK;
    bool mine = false;
    if (HRESULT hr = IsThisMyServiceWithModuleName(name, quotedPath, &mine, error); com::FAILED(hr)) return hr;
    if (!mine) {
      *error = "Not able to unregister. Not this service.";
      return E_FAIL;
    }
    if (!OpenManager(error)) return E_FAIL;
    const std::string unit = name + ".service";
    // Stopping a unit that is not running succeeds, as the design wants for a stopped service.
    if (int rc = Systemctl({"stop", "--no-block", unit}); rc != 0) {
      *error = "Failed call to ControlService: " + (rc < 0 ? SystemErrorText(ENOENT)
                                                             : "systemctl stop exited with status " + std::to_string(rc));
      return E_FAIL;
    }
    bool stopped = false;
    for (int budget = kStopBudgetMs; budget > 0 && !stopped;) {
      std::string state;
      int rc = Systemctl({"is-active", unit}, &state);
      while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
      stopped = rc >= 0 && (state == "inactive" || state == "failed" || state == "unknown");
      options_.sleep(stopped ? kStoppedSettleMs : kStopPollMs);
      budget -= kStopPollMs;
    }
    // A service still running keeps its unit, so that the uninstall can be repeated once it stops;
    // removing it would leave a process systemd no longer names.
    if (!stopped) {
      *error = "Failed call to ControlService: the service did not stop within " +
               std::to_string(kStopBudgetMs / 1000) + " s";
      return kServiceNotStopped;
    }
    Systemctl({"disable", unit});
    int err = RemoveFile(UnitPath(name));
    if (err == 0) {
      RemoveFile(PolicyPath());
      RemoveFile(ActivationPath());
      env_.registry->DeleteKey(platform::RegHive::LocalMachine, kServicesKey);
    }
    Systemctl({"daemon-reload"});
    if (err != 0) {
      *error = "Failed call to DeleteService: " + SystemErrorText(err);
      return E_FAIL;
    }
    return S_OK;
  });
}

}  // namespace kv::app
