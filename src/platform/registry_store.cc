#include "platform/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/registry_file.h"

namespace kv::platform {

RegValue RegValue::String(std::string s, RegType t) {
  RegValue v;
  v.type = t;
  v.text = std::move(s);
  return v;
}

RegValue RegValue::Dword(uint32_t value) {
  RegValue v;
  v.type = REG_DWORD;
  v.dword = value;
  return v;
}

RegValue RegValue::Binary(std::vector<uint8_t> b) {
  RegValue v;
  v.type = REG_BINARY;
  v.binary = std::move(b);
  return v;
}

namespace {

std::string ErrnoText(int e) {
  char buf[256];
  return ::strerror_r(e, buf, sizeof buf);  // the GNU form: returns the text
}

// 0 and the whole file, or the errno of the failure (ENOENT when there is no file, also when a
// folder on the way is missing or is a file).
int ReadWhole(const std::string& path, std::string* out) {
  out->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR ? ENOENT : errno;
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      return e;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p. 0 or errno.
int MakeDirs(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string prefix = dir.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  if (::stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Writes a temporary file beside `path` and renames it over `path`. 0 or errno.
int ReplaceFileContents(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int e = 0;
  if (::fchmod(fd, 0644) != 0) e = errno;
  if (!e) e = WriteAll(fd, data);
  if (!e && ::fsync(fd) != 0) e = errno;
  if (::close(fd) != 0 && !e) e = errno;
  if (!e && ::rename(tmp.c_str(), path.c_str()) != 0) e = errno;
  if (e) {
    ::unlink(tmp.c_str());
    return e;
  }
  int dfd = ::open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return 0;
}

// Renames `path` to "<path>.corrupt-<UTC stamp>" without replacing anything already there.
int MoveAside(const std::string& path, std::string* movedTo) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  std::string base = path + ".corrupt-" + stamp;
  for (int n = 0; n < 1000; ++n) {
    std::string target = n == 0 ? base : base + "." + std::to_string(n);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      *movedTo = target;
      return 0;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // The file system cannot refuse to replace; check first.
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) continue;
    if (::rename(path.c_str(), target.c_str()) != 0) return errno;
    *movedTo = target;
    return 0;
  }
  return EEXIST;
}

// Holds flock(LOCK_EX) on "<file>.lock" while alive.
class FileLock {
 public:
  explicit FileLock(const std::string& file) {
    fd_ = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      break;
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

void Normalize(RegValue* v) {
  switch (v->type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      v->dword = 0;
      v->binary.clear();
      break;
    case REG_DWORD:
      v->text.clear();
      v->binary.clear();
      break;
    case REG_BINARY:
      v->text.clear();
      v->dword = 0;
      break;
    default:
      break;
  }
}

bool SameValue(const RegValue& a, const RegValue& b) {
  return a.type == b.type && a.text == b.text && a.dword == b.dword && a.binary == b.binary;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  std::string h = home && home[0] ? home : "";
  if (h.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
  }
  if (h.empty()) h = "/tmp";
  return h + "/.config";
}

}  // namespace

struct RegistryStore::Impl {
  struct Hive {
    std::string file;
    std::string relativeTo;
    bool cached = false;
    std::string content;  // the bytes `data` was parsed from
    RegHiveData data;
    int lastReadError = 0;  // so an unreadable file is reported once
  };

  // A change applied to a hive: the result code, and whether anything changed.
  using Change = std::function<long(RegHiveData&, bool* changed)>;

  Hive hives[2];
  std::vector<std::string> messages;  // handed to the sink once the lock is released

  Hive& Of(RegHive h) { return hives[h == RegHive::LocalMachine ? 0 : 1]; }

  // Parses `text` into `h`, reporting a malformed text. False when malformed.
  bool Adopt(Hive& h, std::string text, bool report) {
    RegParseError err;
    bool ok = ParseRegistryText(text, &h.data, &err);
    if (!ok && report) {
      messages.push_back("registry: " + h.file + " line " + std::to_string(err.line) + ": " + err.reason +
                         "; the file reads as empty until it is repaired");
    }
    h.content = std::move(text);
    h.cached = true;
    return ok;
  }

  const RegHiveData& Load(Hive& h) {
    std::string text;
    int e = ReadWhole(h.file, &text);
    if (e != 0 && e != ENOENT) {
      if (e != h.lastReadError) {
        messages.push_back("registry: cannot read " + h.file + ": " + ErrnoText(e) + "; it reads as empty");
      }
      h.lastReadError = e;
      h.cached = false;
      h.data = RegHiveData();
      return h.data;
    }
    h.lastReadError = 0;
    if (!h.cached || text != h.content) Adopt(h, std::move(text), true);
    return h.data;
  }

  long Apply(Hive& h, const Change& change) {
    // Most calls that change nothing (deleting what is missing, creating what exists) are
    // answered without taking the file lock.
    {
      RegHiveData probe = Load(h);
      bool changed = false;
      long rc = change(probe, &changed);
      if (!changed) return rc;
    }
    auto fail = [&](const std::string& what, int e) {
      messages.push_back("registry: " + what + ": " + ErrnoText(e));
      return kRegAccessDenied;
    };
    if (int e = MakeDirs(DirOf(h.file))) return fail("cannot create the folder " + DirOf(h.file), e);
    FileLock lock(h.file);
    if (lock.error()) return fail("cannot lock " + h.file + ".lock", lock.error());

    std::string text;
    int e = ReadWhole(h.file, &text);
    if (e != 0 && e != ENOENT) return fail("cannot read " + h.file, e);
    bool fresh = !h.cached || text != h.content;
    if (!Adopt(h, std::move(text), fresh)) {
      std::string movedTo;
      if (int me = MoveAside(h.file, &movedTo)) return fail("cannot keep the malformed " + h.file + " aside", me);
      messages.push_back("registry: the malformed " + h.file + " was kept as " + movedTo +
                         "; a new file is written");
      Adopt(h, std::string(), false);
    }

    RegHiveData next = h.data;
    bool changed = false;
    long rc = change(next, &changed);
    if (!changed) return rc;
    std::string out = FormatRegistryText(next, h.relativeTo);
    if (int we = ReplaceFileContents(h.file, out)) return fail("cannot write " + h.file, we);
    Adopt(h, std::move(out), false);
    return rc;
  }
};

RegistryStore::RegistryStore(std::string systemFile, std::string userFile, ErrorSink onError)
    : systemFile_(std::move(systemFile)),
      userFile_(std::move(userFile)),
      onError_(std::move(onError)),
      impl_(std::make_unique<Impl>()) {
  if (!onError_) onError_ = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
  impl_->hives[0].file = systemFile_;
  impl_->hives[0].relativeTo = "\\\\Machine";
  impl_->hives[1].file = userFile_;
  impl_->hives[1].relativeTo = "\\\\User";
}

RegistryStore::~RegistryStore() = default;

RegistryStore::Files RegistryStore::DefaultFiles() {
  const char* dir = std::getenv("KELVARIN_REGISTRY_DIR");
  if (dir && dir[0]) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return {d + "/system.reg", d + "/user.reg"};
  }
  std::string user = ConfigHome() + "/kelvarin";
  if (::geteuid() == 0) return {"/etc/kelvarin/system.reg", user + "/user.reg"};
  return {user + "/system.reg", user + "/user.reg"};
}

RegistryStore& RegistryStore::Default() {
  static const Files files = DefaultFiles();
  static RegistryStore store(files.system, files.user);
  return store;
}

const std::string& RegistryStore::FileOf(RegHive hive) const {
  return hive == RegHive::LocalMachine ? systemFile_ : userFile_;
}

namespace {

// Runs `body` under `mu`, then hands the collected messages to `sink` without the lock held.
template <typename Body>
auto Locked(std::mutex& mu, std::vector<std::string>& messages, const RegistryStore::ErrorSink& sink, Body body) {
  std::vector<std::string> pending;
  std::unique_lock<std::mutex> lock(mu);
  auto result = body();
  pending.swap(messages);
  lock.unlock();
  for (const std::string& m : pending) sink(m);
  return result;
}

}  // namespace

bool RegistryStore::KeyExists(RegHive hive, std::string_view key) {
  return Locked(mu_, impl_->messages, onError_, [&] {
    return impl_->Load(impl_->Of(hive)).Find(NormalizeKeyPath(key)) != nullptr;
  });
}

long RegistryStore::CreateKey(RegHive hive, std::string_view key) {
  std::string path = NormalizeKeyPath(key);
  return Locked(mu_, impl_->messages, onError_, [&] {
    return impl_->Apply(impl_->Of(hive), [&](RegHiveData& d, bool* changed) {
      d.Create(path, Now(), changed);
      return kRegOk;
    });
  });
}

long RegistryStore::GetValue(RegHive hive, std::string_view key, std::string_view name, RegValue* out) {
  return Locked(mu_, impl_->messages, onError_, [&] {
    const RegKeyData* k = impl_->Load(impl_->Of(hive)).Find(NormalizeKeyPath(key));
    const RegValue* v = k ? k->FindValue(name) : nullptr;
    if (!v) return kRegNotFound;
    if (out) *out = *v;
    return kRegOk;
  });
}

long RegistryStore::SetValue(RegHive hive, std::string_view key, std::string_view name, const RegValue& v) {
  std::string path = NormalizeKeyPath(key);
  RegValue value = v;
  Normalize(&value);
  return Locked(mu_, impl_->messages, onError_, [&] {
    return impl_->Apply(impl_->Of(hive), [&](RegHiveData& d, bool* changed) {
      int64_t now = Now();
      RegKeyData* k = d.Create(path, now, changed);
      if (RegValue* existing = k->FindValue(name)) {
        if (SameValue(*existing, value)) return kRegOk;
        *existing = value;
      } else {
        k->values.emplace_back(std::string(name), value);
      }
      k->stamp = now;
      *changed = true;
      return kRegOk;
    });
  });
}

long RegistryStore::DeleteValue(RegHive hive, std::string_view key, std::string_view name) {
  std::string path = NormalizeKeyPath(key);
  return Locked(mu_, impl_->messages, onError_, [&] {
    return impl_->Apply(impl_->Of(hive), [&](RegHiveData& d, bool* changed) {
      RegKeyData* k = d.Find(path);
      if (!k || !k->EraseValue(name)) return kRegNotFound;
      k->stamp = Now();
      *changed = true;
      return kRegOk;
    });
  });
}

long RegistryStore::DeleteKey(RegHive hive, std::string_view key) {
  std::string path = NormalizeKeyPath(key);
  if (path.empty()) return kRegAccessDenied;
  return Locked(mu_, impl_->messages, onError_, [&] {
    return impl_->Apply(impl_->Of(hive), [&](RegHiveData& d, bool* changed) {
      if (!d.Erase(path)) return kRegNotFound;
      size_t cut = path.rfind('\\');
      if (cut != std::string::npos) {
        if (RegKeyData* parent = d.Find(path.substr(0, cut))) parent->stamp = Now();
      }
      *changed = true;
      return kRegOk;
    });
  });
}

std::vector<std::string> RegistryStore::SubKeys(RegHive hive, std::string_view key) {
  return Locked(mu_, impl_->messages, onError_, [&] {
    const RegHiveData& d = impl_->Load(impl_->Of(hive));
    std::string path = NormalizeKeyPath(key);
    if (!d.Find(path)) return std::vector<std::string>();
    return d.SubKeyNames(path);
  });
}

std::vector<std::string> RegistryStore::ValueNames(RegHive hive, std::string_view key) {
  return Locked(mu_, impl_->messages, onError_, [&] {
    std::vector<std::string> names;
    if (const RegKeyData* k = impl_->Load(impl_->Of(hive)).Find(NormalizeKeyPath(key))) {
      for (const auto& [name, v] : k->values) names.push_back(name);
    }
    return names;
  });
}

}  // namespace kv::platform
