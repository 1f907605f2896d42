#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/folder_reader.h"
#include "platform/folder_watch.h"
#include "platform/open_file.h"
#include "platform/path.h"

namespace kv::platform {

int CrtErrnoFromLinux(int linuxErrno) {
  switch (linuxErrno) {
    case 0: return crt::kOk;
    case ENOENT: return crt::kENOENT;
    case EACCES:
    case EPERM: return crt::kEACCES;
    case EEXIST: return crt::kEEXIST;
    case EXDEV: return crt::kEXDEV;
    case ENOTDIR: return crt::kENOTDIR;
    case EISDIR: return crt::kEISDIR;
    case EINVAL: return crt::kEINVAL;
    case ENOSPC:
    case EDQUOT: return crt::kENOSPC;
    case ENAMETOOLONG: return crt::kENAMETOOLONG;
    case ENOTEMPTY: return crt::kENOTEMPTY;
    default: return crt::kEIO;
  }
}

std::string CrtErrnoText(int crtErrno) {
  int linuxErrno = crtErrno;
  switch (crtErrno) {
    case crt::kENAMETOOLONG: linuxErrno = ENAMETOOLONG; break;
    case crt::kENOTEMPTY: linuxErrno = ENOTEMPTY; break;
    default: break;  // the others share Linux's numbers
  }
  char buf[256];
  return ::strerror_r(linuxErrno, buf, sizeof buf);  // the GNU form: returns the text
}

int CreateDirectories(FileSystem& fs, std::string_view path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.remove_suffix(1);
  if (fs.IsDirectory(path)) return crt::kOk;
  // Level by level from the top; a level that exists already answers kEEXIST.
  for (size_t pos = path.find_first_of("/\\", 1); pos != std::string_view::npos;
       pos = path.find_first_of("/\\", pos + 1)) {
    const int err = fs.CreateDirectory(path.substr(0, pos));
    if (err != crt::kOk && err != crt::kEEXIST) return err;
  }
  const int err = fs.CreateDirectory(path);
  if (err != crt::kOk && err != crt::kEEXIST) return err;
  return fs.IsDirectory(path) ? crt::kOk : crt::kENOTDIR;
}

namespace {

// The store, the registry and the log hold calculations and passwords: the server's user and its
// group only, whatever the umask grants.
constexpr mode_t kPrivateFileMode = 0640;
constexpr mode_t kPrivateDirMode = 0750;

inline unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

struct RawEntry {
  uint64_t key;  // the first eight folded bytes, big-endian: most comparisons end here
  size_t offset;
  size_t size;
  bool isDirectory;
};

// `pat` is already folded to lower case. Iterative with single-star backtracking: linear for the
// usual one-star patterns and never worse than O(|pat| * |name|).
bool WildMatch(std::string_view pat, std::string_view name) {
  size_t p = 0, s = 0, starP = std::string_view::npos, starS = 0;
  while (s < name.size()) {
    if (p < pat.size() && pat[p] == '*') {
      starP = p++;
      starS = s;
    } else if (p < pat.size() &&
               (pat[p] == '?' || static_cast<unsigned char>(pat[p]) == FoldAscii(static_cast<unsigned char>(name[s])))) {
      ++p;
      ++s;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      s = ++starS;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

// lstat-style existence plus "is a directory", following a symlink for the latter.
bool StatEntry(int dirFd, const char* name, bool* isDir) {
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    struct stat target;
    *isDir = fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
  } else {
    *isDir = S_ISDIR(st.st_mode);
  }
  return true;
}

// The folder holding `fsPath` ("." when it has none, "/" for a root entry).
std::string ParentFolder(const std::string& fsPath) {
  size_t slash = fsPath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fsPath.substr(0, slash);
}

int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int FsyncRetry(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

class RealAppendableFile final : public AppendableFile {
 public:
  explicit RealAppendableFile(int fd) : fd_(fd) {}
  ~RealAppendableFile() override { ::close(fd_); }
  int Append(std::string_view data) override { return CrtErrnoFromLinux(WriteAll(fd_, data.data(), data.size())); }
  int Size(int64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return CrtErrnoFromLinux(errno);
    *size = st.st_size;
    return crt::kOk;
  }
  int Truncate() override { return ::ftruncate(fd_, 0) == 0 ? crt::kOk : CrtErrnoFromLinux(errno); }

 private:
  const int fd_;
};

class RealFileLock final : public FileLock {
 public:
  explicit RealFileLock(int fd) : fd_(fd) {}
  ~RealFileLock() override { ::close(fd_); }  // closing releases the lock

 private:
  const int fd_;
};

class RealFs final : public FileSystem {
 public:
  std::unique_ptr<FolderWatch> NewFolderWatch() override { return MakeFolderWatch(); }
  std::unique_ptr<FolderReader> OpenFolderReader(std::string_view path) override {
    auto reader = std::make_unique<FolderReader>(path);
    return reader->ok() ? std::move(reader) : nullptr;
  }
  std::vector<FindEntry> Find(std::string_view pattern) override;
  bool Exists(std::string_view path) override;
  bool IsDirectory(std::string_view path) override;
  int CreateDirectory(std::string_view path) override;
  int RemoveDirectory(std::string_view path) override;
  int Rename(std::string_view from, std::string_view to) override;
  int ReplaceFile(std::string_view from, std::string_view to) override;
  int DeleteFile(std::string_view path) override;
  int ReadFile(std::string_view path, std::string* out) override { return Read(path, out, nullptr); }
  int Stat(std::string_view path, FileStamp* stamp) override;
  int ReadFileStamped(std::string_view path, std::string* out, FileStamp* stamp) override {
    return Read(path, out, stamp);
  }
  int WriteFileAtomic(std::string_view path, std::string_view data) override { return Replace(path, data, true); }
  int WriteFileUnflushed(std::string_view path, std::string_view data) override { return Replace(path, data, false); }
  int LinkFile(std::string_view from, std::string_view to) override;
  int ModifiedTimeMs(std::string_view path, int64_t* ms) override;
  int OpenForAppend(std::string_view path, std::unique_ptr<AppendableFile>* file) override;
  int LockFile(std::string_view path, std::unique_ptr<FileLock>* lock) override;

 private:
  int Replace(std::string_view path, std::string_view data, bool flush);
  int Read(std::string_view path, std::string* out, FileStamp* stamp);

  std::atomic<uint64_t> tempCounter_{0};
};

std::vector<FindEntry> RealFs::Find(std::string_view pattern) {
  std::vector<FindEntry> entries;
  std::string fs = ToFsPath(pattern);
  const size_t slash = fs.rfind('/');
  const size_t lastPos = slash == std::string::npos ? 0 : slash + 1;
  if (lastPos >= fs.size()) return entries;  // "folder\" names no entry
  const std::string_view last = std::string_view(fs).substr(lastPos);

  if (last.find_first_of("*?") == std::string_view::npos) {
    bool isDir = false;
    if (StatEntry(AT_FDCWD, fs.c_str(), &isDir)) entries.push_back({std::string(last), isDir});
    return entries;
  }

  std::string folded(last);
  for (char& c : folded) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  // Windows treats "*.*" as "everything", names without a dot included.
  const bool matchAll = folded == "*" || folded == "*.*";

  const char* folder = ".";
  if (slash != std::string::npos) {
    if (slash == 0) {
      folder = "/";
    } else {
      fs[slash] = '\0';  // cut in place: the folder is fs.c_str(), `last` stays valid
      folder = fs.c_str();
    }
  }
  DIR* dir = opendir(folder);
  if (dir == nullptr) return entries;
  const int dirFd = dirfd(dir);
  // Names go back to back into one buffer and are sorted as small records over it; the
  // FindEntry strings are built once, already in order.
  std::vector<RawEntry> raw;
  raw.reserve(64);
  std::string names;
  names.reserve(4096);
  while (const dirent* e = readdir(dir)) {
    const std::string_view name(e->d_name);
    if (!matchAll && !WildMatch(folded, name)) continue;
    bool isDir = false;
    switch (e->d_type) {
      case DT_DIR: isDir = true; break;
      case DT_LNK: {
        struct stat st;
        isDir = fstatat(dirFd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        break;
      }
      case DT_UNKNOWN:
        if (!StatEntry(dirFd, e->d_name, &isDir)) continue;  // gone meanwhile
        break;
      default: break;
    }
    raw.push_back({0, names.size(), name.size(), isDir});
    names.append(name);
  }
  closedir(dir);

  std::string foldedNames(names);
  for (char& c : foldedNames) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  const char* const plain = names.data();
  const char* const fold = foldedNames.data();
  for (RawEntry& r : raw) {
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i)
      key = (key << 8) | (i < r.size ? static_cast<unsigned char>(fold[r.offset + i]) : 0u);
    r.key = key;
  }
  std::sort(raw.begin(), raw.end(), [plain, fold](const RawEntry& a, const RawEntry& b) {
    if (a.key != b.key) return a.key < b.key;
    const size_t n = std::min(a.size, b.size);
    if (int c = std::memcmp(fold + a.offset, fold + b.offset, n)) return c < 0;
    if (a.size != b.size) return a.size < b.size;
    return std::memcmp(plain + a.offset, plain + b.offset, a.size) < 0;
  });
  entries.reserve(raw.size());
  for (const RawEntry& r : raw) entries.push_back({std::string(plain + r.offset, r.size), r.isDirectory});
  return entries;
}

bool RealFs::Exists(std::string_view path) {
  struct stat st;
  return lstat(ToFsPath(path).c_str(), &st) == 0;
}

bool RealFs::IsDirectory(std::string_view path) {
  struct stat st;
  return stat(ToFsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RealFs::CreateDirectory(std::string_view path) {
  if (mkdir(ToFsPath(path).c_str(), kPrivateDirMode) == 0) return crt::kOk;
  return CrtErrnoFromLinux(errno);
}

int RealFs::RemoveDirectory(std::string_view path) {
  if (rmdir(ToFsPath(path).c_str()) == 0) return crt::kOk;
  // POSIX lets rmdir report a non-empty directory as EEXIST too.
  return errno == EEXIST ? crt::kENOTEMPTY : CrtErrnoFromLinux(errno);
}

int RealFs::Rename(std::string_view from, std::string_view to) {
  const std::string src = ToFsPath(from);
  const std::string dst = ToFsPath(to);
  if (renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return crt::kOk;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return CrtErrnoFromLinux(errno);
  // The file system does not know RENAME_NOREPLACE: check, then rename (not atomic, but the
  // best this file system offers).
  struct stat st;
  if (lstat(dst.c_str(), &st) == 0) return crt::kEEXIST;
  if (rename(src.c_str(), dst.c_str()) == 0) return crt::kOk;
  return CrtErrnoFromLinux(errno);
}

int RealFs::ReplaceFile(std::string_view from, std::string_view to) {
  if (rename(ToFsPath(from).c_str(), ToFsPath(to).c_str()) == 0) return crt::kOk;
  return CrtErrnoFromLinux(errno);
}

int RealFs::DeleteFile(std::string_view path) {
  if (unlink(ToFsPath(path).c_str()) == 0) return crt::kOk;
  return errno == EISDIR ? crt::kEACCES : CrtErrnoFromLinux(errno);
}

void StampOf(const struct stat& st, FileStamp* stamp) {
  constexpr int64_t kNs = 1000000000;
  stamp->size = static_cast<int64_t>(st.st_size);
  stamp->mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * kNs + st.st_mtim.tv_nsec;
  stamp->ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * kNs + st.st_ctim.tv_nsec;
  stamp->inode = static_cast<uint64_t>(st.st_ino);
}

int RealFs::Stat(std::string_view path, FileStamp* stamp) {
  struct stat st;
  if (stat(ToFsPath(path).c_str(), &st) != 0) return CrtErrnoFromLinux(errno);
  StampOf(st, stamp);
  return crt::kOk;
}

int RealFs::Read(std::string_view path, std::string* out, FileStamp* stamp) {
  const int fd = open(ToFsPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CrtErrnoFromLinux(errno);
  std::string data;
  const int err = ReadOpenFile(fd, &data, stamp);
  close(fd);
  if (err == crt::kOk) *out = std::move(data);
  return err;
}

int RealFs::LinkFile(std::string_view from, std::string_view to) {
  if (link(ToFsPath(from).c_str(), ToFsPath(to).c_str()) == 0) return crt::kOk;
  if (errno == EPERM || errno == EOPNOTSUPP) return crt::kEINVAL;  // no hard links here
  return CrtErrnoFromLinux(errno);
}

int RealFs::Replace(std::string_view path, std::string_view data, bool flush) {
  const std::string target = ToFsPath(path);
  const std::string prefix = target + ".tmp-" + std::to_string(getpid()) + "-";
  std::string temp;
  int fd = -1;
  // A temp name left behind by a crashed process with a reused pid is skipped, not reused.
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = prefix + std::to_string(tempCounter_.fetch_add(1, std::memory_order_relaxed));
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0 && errno != EEXIST) return CrtErrnoFromLinux(errno);
  }
  if (fd < 0) return crt::kEEXIST;

  int err = WriteAll(fd, data.data(), data.size());
  if (err == 0 && flush) err = FsyncRetry(fd);
  if (close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err == 0 && rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return CrtErrnoFromLinux(err);
  }

  if (!flush) return crt::kOk;
  // Make the rename itself durable.
  const int dirFd = open(ParentFolder(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return CrtErrnoFromLinux(errno);
  err = FsyncRetry(dirFd);
  close(dirFd);
  // Some file systems cannot fsync a directory; the data itself is already safe.
  if (err != 0 && err != EINVAL) return CrtErrnoFromLinux(err);
  return crt::kOk;
}

int RealFs::ModifiedTimeMs(std::string_view path, int64_t* ms) {
  struct stat st;
  if (stat(ToFsPath(path).c_str(), &st) != 0) return CrtErrnoFromLinux(errno);
  *ms = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  return crt::kOk;
}

int RealFs::OpenForAppend(std::string_view path, std::unique_ptr<AppendableFile>* file) {
  const int fd = ::open(ToFsPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return CrtErrnoFromLinux(errno);
  // A log left world-readable by an older version is narrowed as it is reopened.
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & ~kPrivateFileMode & 0777) != 0)
    fchmod(fd, st.st_mode & kPrivateFileMode);
  *file = std::make_unique<RealAppendableFile>(fd);
  return crt::kOk;
}

int RealFs::LockFile(std::string_view path, std::unique_ptr<FileLock>* lock) {
  const int fd = ::open(ToFsPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return CrtErrnoFromLinux(errno);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    return CrtErrnoFromLinux(err);
  }
  *lock = std::make_unique<RealFileLock>(fd);
  return crt::kOk;
}

}  // namespace

void StampFromStat(const struct stat& st, FileStamp* stamp) { StampOf(st, stamp); }

int ReadOpenFile(int fd, std::string* data, FileStamp* stamp, bool* linked) {
  struct stat st;
  if (fstat(fd, &st) != 0) return CrtErrnoFromLinux(errno);
  if (S_ISDIR(st.st_mode)) return crt::kEACCES;  // what opening a directory as a file reports on Windows
  if (stamp) StampOf(st, stamp);  // of the file opened, before its content
  if (linked) *linked = st.st_nlink > 1;
  // Size from fstat is a hint only: the file may grow or shrink while being read.
  data->resize(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096);
  size_t used = 0;
  for (;;) {
    if (used == data->size()) data->resize(data->size() * 2);
    const size_t asked = data->size() - used;
    ssize_t n = read(fd, data->data() + used, asked);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CrtErrnoFromLinux(errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
    // A regular file reads short only at its end (below the kernel's 2 GiB cap on one read):
    // no second call just to see the end.
    if (S_ISREG(st.st_mode) && static_cast<size_t>(n) < asked && asked < (size_t{1} << 30)) break;
  }
  data->resize(used);
  return crt::kOk;
}

std::unique_ptr<FolderWatch> FileSystem::NewFolderWatch() { return nullptr; }
std::unique_ptr<FolderReader> FileSystem::OpenFolderReader(std::string_view) { return nullptr; }
std::unique_ptr<FolderWatch> FileSystemWrapper::NewFolderWatch() { return target_.NewFolderWatch(); }

FileSystem& RealFileSystem() {
  static RealFs fs;
  return fs;
}

}  // namespace kv::platform
