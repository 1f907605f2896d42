#include "platform/system_info.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <vector>

namespace kv::platform {
namespace {

size_t BufferHint(int name) {
  long hint = sysconf(name);
  return hint > 0 ? static_cast<size_t>(hint) : 1024;
}

struct Account {
  std::string name, home;
  gid_t gid = 0;
};

// The one look-up in the user database: getpwuid_r / getpwnam_r (passed as `lookup`) with a
// buffer that grows until the entry fits. The entry is copied out; nullopt when there is none.
template <class Lookup>
std::optional<Account> FindAccount(Lookup lookup) {
  std::vector<char> buf(BufferHint(_SC_GETPW_R_SIZE_MAX));
  for (;;) {
    passwd pw;
    passwd* found = nullptr;
    const int rc = lookup(&pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || pw.pw_name == nullptr) return std::nullopt;
    return Account{pw.pw_name, pw.pw_dir ? pw.pw_dir : "", pw.pw_gid};
  }
}

std::optional<Account> AccountOfUid(uid_t uid) {
  return FindAccount([uid](passwd* pw, char* buf, size_t len, passwd** found) {
    return getpwuid_r(uid, pw, buf, len, found);
  });
}

std::optional<Account> AccountNamed(const std::string& user) {
  if (user.empty()) return std::nullopt;
  return FindAccount([&user](passwd* pw, char* buf, size_t len, passwd** found) {
    return getpwnam_r(user.c_str(), pw, buf, len, found);
  });
}

std::optional<std::string> GroupName(gid_t gid) {
  std::vector<char> buf(BufferHint(_SC_GETGR_R_SIZE_MAX));
  for (;;) {
    group gr;
    group* found = nullptr;
    const int rc = getgrgid_r(gid, &gr, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || gr.gr_name == nullptr) return std::nullopt;
    return std::string(gr.gr_name);
  }
}

std::vector<std::string> GroupNamesOf(const std::optional<Account>& account) {
  if (!account) return {};
  std::vector<gid_t> gids(32);
  for (;;) {
    int count = static_cast<int>(gids.size());
    if (getgrouplist(account->name.c_str(), account->gid, gids.data(), &count) >= 0) {
      gids.resize(static_cast<size_t>(count));
      break;
    }
    // glibc reports the size it needs; others may not, so grow at least twofold.
    if (count <= static_cast<int>(gids.size())) count = static_cast<int>(gids.size()) * 2;
    if (count > 65536) return {};
    gids.resize(static_cast<size_t>(count));
  }
  std::vector<std::string> names;
  for (gid_t gid : gids) {
    if (auto name = GroupName(gid)) names.push_back(std::move(*name));
  }
  return names;
}

std::string NonEmptyEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// mkdir -p (0750: the log and store live below); true when `path` ends up as a directory.
bool MakeDirs(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0750) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(path.c_str(), 0750) != 0 && errno != EEXIST) return false;
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
          std::string home = HomeFolder();
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

  std::string UserName() override { return UserNameOfUid(geteuid()).value_or(""); }

  std::string ComputerName() override {
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    std::string name(buf);
    const size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
  }

  std::string HomeFolder() override {
    std::string home = NonEmptyEnv("HOME");
    if (home.empty()) {
      if (auto account = AccountOfUid(geteuid())) home = account->home;
    }
    return home;
  }

  bool IsSuperUser() override { return geteuid() == 0; }

  std::optional<std::string> UserNameOfUid(uid_t uid) override {
    auto account = AccountOfUid(uid);
    if (!account) return std::nullopt;
    return account->name;
  }

  std::vector<std::string> GroupNamesOfUid(uid_t uid) override { return GroupNamesOf(AccountOfUid(uid)); }

  std::vector<std::string> GroupNamesOfUser(const std::string& user) override {
    return GroupNamesOf(AccountNamed(user));
  }
};

}  // namespace

bool SystemInfo::ResolveIPv4(const std::string& host, std::string* canonical, std::vector<std::string>* addresses) {
  canonical->clear();
  addresses->clear();
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  for (addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_canonname && canonical->empty()) *canonical = a->ai_canonname;
    if (a->ai_family != AF_INET || !a->ai_addr) continue;
    char text[INET_ADDRSTRLEN];
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
    if (std::find(addresses->begin(), addresses->end(), text) == addresses->end()) addresses->push_back(text);
  }
  freeaddrinfo(found);
  return true;
}

SystemInfo& RealSystemInfo() {
  static RealSysInfo info;
  return info;
}

}  // namespace kv::platform
