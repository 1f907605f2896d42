#include "com/call_context.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/env.h"

namespace kv::com {
namespace {

thread_local const CallContext* t_current = nullptr;

size_t BufferHint(int name) {
  long hint = sysconf(name);
  return hint > 0 ? static_cast<size_t>(hint) : 1024;
}

struct Account {
  std::string name;
  gid_t gid = 0;
};

// getpwuid_r / getpwnam_r with a growing buffer.
template <class Lookup>
std::optional<Account> FindAccount(Lookup lookup) {
  std::vector<char> buf(BufferHint(_SC_GETPW_R_SIZE_MAX));
  for (;;) {
    passwd pw;
    passwd* found = nullptr;
    int rc = lookup(&pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || pw.pw_name == nullptr) return std::nullopt;
    return Account{pw.pw_name, pw.pw_gid};
  }
}

std::optional<std::string> GroupName(gid_t gid) {
  std::vector<char> buf(BufferHint(_SC_GETGR_R_SIZE_MAX));
  for (;;) {
    group gr;
    group* found = nullptr;
    int rc = getgrgid_r(gid, &gr, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || gr.gr_name == nullptr) return std::nullopt;
    return std::string(gr.gr_name);
  }
}

std::vector<std::string> GroupNamesOf(const Account& account) {
  std::vector<gid_t> gids(32);
  for (;;) {
    int count = static_cast<int>(gids.size());
    if (getgrouplist(account.name.c_str(), account.gid, gids.data(), &count) >= 0) {
      gids.resize(static_cast<size_t>(count));
      break;
    }
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

}  // namespace

CallContext CallContext::Anonymous() { return FromIdentity("\\"); }

CallContext CallContext::FromUid(uid_t uid) {
  CallContext c;
  c.hasCredentials_ = true;
  c.uid_ = uid;
  auto account = FindAccount([uid](passwd* pw, char* buf, size_t len, passwd** found) {
    return getpwuid_r(uid, pw, buf, len, found);
  });
  if (account) c.identity_ = "\\" + account->name;
  return c;
}

CallContext CallContext::FromIdentity(std::string identity, std::optional<uid_t> uid) {
  CallContext c;
  c.identity_ = std::move(identity);
  if (uid) {
    c.hasCredentials_ = true;
    c.uid_ = *uid;
  }
  return c;
}

std::string CallContext::UserName() const {
  size_t cut = identity_.rfind('\\');
  return cut == std::string::npos ? identity_ : identity_.substr(cut + 1);
}

const std::vector<std::string>& CallContext::Groups() const {
  if (!groups_) groups_ = hasCredentials_ ? GroupNamesOfUid(uid_) : std::vector<std::string>();
  return *groups_;
}

ScopedCallContext::ScopedCallContext(CallContext context) : context_(std::move(context)), previous_(t_current) {
  t_current = &context_;
}

ScopedCallContext::~ScopedCallContext() { t_current = previous_; }

const CallContext* CurrentCallContext() { return t_current; }

com::HRESULT QueryClientBlanket(std::string* serverPrincipal, std::string* privileges) {
  serverPrincipal->clear();
  privileges->clear();
  const CallContext* ctx = t_current;
  if (ctx == nullptr) {
    platform::SystemInfo* system = platform::Env::Current().system;
    *privileges = "\\" + (system ? system->UserName() : std::string());
    return com::S_OK;
  }
  if (ctx->Identity().empty()) return com::E_FAIL;
  *serverPrincipal = ctx->ServerPrincipal();
  *privileges = ctx->Identity();
  return com::S_OK;
}

std::vector<std::string> GroupNamesOfUid(uid_t uid) {
  auto account = FindAccount([uid](passwd* pw, char* buf, size_t len, passwd** found) {
    return getpwuid_r(uid, pw, buf, len, found);
  });
  return account ? GroupNamesOf(*account) : std::vector<std::string>();
}

std::vector<std::string> GroupNamesOfUser(const std::string& user) {
  if (user.empty()) return {};
  auto account = FindAccount([&user](passwd* pw, char* buf, size_t len, passwd** found) {
    return getpwnam_r(user.c_str(), pw, buf, len, found);
  });
  return account ? GroupNamesOf(*account) : std::vector<std::string>();
}

}  // namespace kv::com
