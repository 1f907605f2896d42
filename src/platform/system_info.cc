#include "platform/system_info.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace kv::platform {
namespace {

// The passwd entry of the effective user, copied out; false when there is none.
bool LookupUser(std::string* name, std::string* home) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
  passwd pw;
  passwd* found = nullptr;
  for (;;) {
    int rc = getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    if (name) *name = pw.pw_name ? pw.pw_name : "";
    if (home) *home = pw.pw_dir ? pw.pw_dir : "";
    return true;
  }
}

std::string NonEmptyEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// mkdir -p; true when `path` ends up as a directory.
bool MakeDirs(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void TrimTrailingSlashes(std::string* path) {
  while (path->size() > 1 && path->back() == '/') path->pop_back();
}

class RealSysInfo final : public SystemInfo {
 public:
  std::optional<std::string> GetEnv(const std::string& name) override {
    const char* v = std::getenv(name.c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  }

  std::string CommonAppDataFolder() override {
    std::string folder = NonEmptyEnv("KELVARIN_PROGRAMDATA");
    if (folder.empty()) {
      if (geteuid() == 0) {
        folder = "/var/lib";
      } else {
        folder = NonEmptyEnv("XDG_DATA_HOME");
        if (!folder.empty() && folder[0] != '/') folder.clear();  // relative ones are invalid
        if (folder.empty()) {
          std::string home = NonEmptyEnv("HOME");
          if (home.empty() && !LookupUser(nullptr, &home)) return {};
          if (home.empty()) return {};
          TrimTrailingSlashes(&home);
          folder = (home == "/" ? "" : home) + "/.local/share";
        }
      }
    }
    TrimTrailingSlashes(&folder);
    if (!MakeDirs(folder)) return {};
    return folder;
  }

  std::string ModulePath() override {
    std::vector<char> buf(PATH_MAX);
    for (;;) {
      ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
      if (n < 0) return {};
      if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
      buf.resize(buf.size() * 2);  // possibly truncated: try again with room to spare
    }
  }

  std::string ModuleFolder() override {
    std::string path = ModulePath();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    path.resize(slash);
    return path;
  }

  std::string UserName() override {
    std::string name;
    if (!LookupUser(&name, nullptr)) return {};
    return name;
  }

  std::string ComputerName() override {
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    std::string name(buf);
    const size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
  }
};

}  // namespace

SystemInfo& RealSystemInfo() {
  static RealSysInfo info;
  return info;
}

}  // namespace kv::platform
