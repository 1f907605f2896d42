#include "platform/registry_store.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/registry_text.h"
#include "platform/system_info.h"

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

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Renames `path` to "<path>.corrupt-<UTC stamp>" without replacing anything already there.
// 0 or the crt errno of the failure.
int MoveAside(FileSystem& fs, const std::string& path, std::string* movedTo) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  std::string base = path + ".corrupt-" + stamp;
  for (int n = 0; n < 1000; ++n) {
    std::string target = n == 0 ? base : base + "." + std::to_string(n);
    const int err = fs.Rename(path, target);  // never replaces an existing target
    if (err == crt::kEEXIST) continue;
    if (err == crt::kOk) *movedTo = target;
    return err;
  }
  return crt::kEEXIST;
}

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

  explicit Impl(FileSystem& fileSystem) : fs(fileSystem) {}

  FileSystem& fs;
  Hive hives[2];
  std::vector<std::string> messages;  // handed to the sink once the lock is released

  // 0 and the whole file, kENOENT when there is no file (also when a folder on the way is
  // missing or is a file), else the crt errno of the failure.
  int ReadWhole(const std::string& path, std::string* out) {
    out->clear();
    const int err = fs.ReadFile(path, out);
    return err == crt::kENOTDIR ? crt::kENOENT : err;
  }

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
    if (e != 0 && e != crt::kENOENT) {
      if (e != h.lastReadError) {
        messages.push_back("registry: cannot read " + h.file + ": " + CrtErrnoText(e) + "; it reads as empty");
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
      messages.push_back("registry: " + what + ": " + CrtErrnoText(e));
      return kRegAccessDenied;
    };
    if (int e = CreateDirectories(fs, DirOf(h.file))) return fail("cannot create the folder " + DirOf(h.file), e);
    std::unique_ptr<FileLock> lock;
    if (int e = fs.LockFile(h.file + ".lock", &lock)) return fail("cannot lock " + h.file + ".lock", e);

    std::string text;
    int e = ReadWhole(h.file, &text);
    if (e != 0 && e != crt::kENOENT) return fail("cannot read " + h.file, e);
    bool fresh = !h.cached || text != h.content;
    if (!Adopt(h, std::move(text), fresh)) {
      std::string movedTo;
      if (int me = MoveAside(fs, h.file, &movedTo)) return fail("cannot keep the malformed " + h.file + " aside", me);
      messages.push_back("registry: the malformed " + h.file + " was kept as " + movedTo +
                         "; a new file is written");
      Adopt(h, std::string(), false);
    }

    RegHiveData next = h.data;
    bool changed = false;
    long rc = change(next, &changed);
    if (!changed) return rc;
    std::string out = FormatRegistryText(next, h.relativeTo);
    if (int we = fs.WriteFileAtomic(h.file, out)) return fail("cannot write " + h.file, we);
    Adopt(h, std::move(out), false);
    return rc;
  }
};

RegistryStore::RegistryStore(std::string systemFile, std::string userFile, ErrorSink onError)
    : RegistryStore(RealFileSystem(), std::move(systemFile), std::move(userFile), std::move(onError)) {}

RegistryStore::RegistryStore(FileSystem& fs, std::string systemFile, std::string userFile, ErrorSink onError)
    : systemFile_(std::move(systemFile)),
      userFile_(std::move(userFile)),
      onError_(std::move(onError)),
      impl_(std::make_unique<Impl>(fs)) {
  if (!onError_) onError_ = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
  impl_->hives[0].file = systemFile_;
  impl_->hives[0].relativeTo = "\\\\Machine";
  impl_->hives[1].file = userFile_;
  impl_->hives[1].relativeTo = "\\\\User";
}

RegistryStore::~RegistryStore() = default;

RegistryStore::Files RegistryStore::DefaultFiles(SystemInfo& system) {
  std::string dir = system.GetEnv("KELVARIN_REGISTRY_DIR").value_or("");
  if (!dir.empty()) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return {dir + "/system.reg", dir + "/user.reg"};
  }
  std::string configHome = system.GetEnv("XDG_CONFIG_HOME").value_or("");
  if (configHome.empty() || configHome[0] != '/') {  // a relative one is invalid
    std::string home = system.HomeFolder();
    configHome = (home.empty() ? "/tmp" : home) + "/.config";
  }
  const std::string user = configHome + "/kelvarin";
  if (system.IsSuperUser()) return {"/etc/kelvarin/system.reg", user + "/user.reg"};
  return {user + "/system.reg", user + "/user.reg"};
}

RegistryStore& RegistryStore::Default() {
  static const Files files = DefaultFiles(RealSystemInfo());
  static RegistryStore store(RealFileSystem(), files.system, files.user);
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
