#pragma once
// File-system stand-in. Paths are given in the system's Windows form and converted with
// ToFsPath at this boundary. Errors come back as the Windows C runtime's errno numbers
// (the values the commands test), never as exceptions.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

// errno values as the Windows C runtime numbers them; Linux errno is mapped onto these.
namespace crt {
inline constexpr int kOk = 0;
inline constexpr int kENOENT = 2;
inline constexpr int kEIO = 5;
inline constexpr int kEACCES = 13;
inline constexpr int kEEXIST = 17;
inline constexpr int kEXDEV = 18;
inline constexpr int kENOTDIR = 20;
inline constexpr int kEISDIR = 21;
inline constexpr int kEINVAL = 22;
inline constexpr int kENOSPC = 28;
inline constexpr int kENAMETOOLONG = 38;
inline constexpr int kENOTEMPTY = 41;
}  // namespace crt

// Maps a Linux errno to the numbering above (unknown values map to kEIO).
int CrtErrnoFromLinux(int linuxErrno);
// The system's text for a number above ("No such file or directory"), for messages.
std::string CrtErrnoText(int crtErrno);

struct FindEntry {
  std::string name;  // the entry's own name, no folder
  bool isDirectory = false;
};

// One version of a file: size, modification and status-change times (ns since the epoch) and
// inode. A file replaced by a rename gets another inode; one rewritten in place gets new times,
// but only at the file system's clock granularity (a few ms), which callers that cache by stamp
// must allow for.
struct FileStamp {
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};

// An exclusive advisory lock on a file, held until the object is destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// A file open for appending. Errors are crt errno values, as everywhere in this interface.
class AppendableFile {
 public:
  virtual ~AppendableFile() = default;  // closes the file
  // Writes all of `data` at the end of the file.
  virtual int Append(std::string_view data) = 0;
  // The file's size now (after this and other writers' appends).
  virtual int Size(int64_t* size) = 0;
  // Empties the file; the next Append writes from its start.
  virtual int Truncate() = 0;
};

class FolderWatch;
class FolderReader;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // find-first / find-next over `pattern`: a folder followed by "\" and a last component that may
  // hold "*" and "?" ("base\Calc\*", "base\Calc\*.zrc"), or an exact path. Matching of the last
  // component ignores case, as on Windows. A "*"-style pattern over a folder also yields "." and
  // "..", as Windows does; "*.*" matches every name, dotless ones too. Entries come sorted by
  // name without regard to case (ties: byte order), so every machine lists the same order. A
  // missing folder yields an empty list.
  virtual std::vector<FindEntry> Find(std::string_view pattern) = 0;

  // True when a file or directory exists at `path` (what a find-first on the exact path finds).
  virtual bool Exists(std::string_view path) = 0;
  virtual bool IsDirectory(std::string_view path) = 0;

  // One level, no parents, mode 0750 (narrowed by the umask). 0 or crt errno (kEEXIST when
  // anything exists there). Files this layer creates are 0640.
  virtual int CreateDirectory(std::string_view path) = 0;
  // Only an empty directory. 0 or crt errno (kENOTEMPTY when entries remain).
  virtual int RemoveDirectory(std::string_view path) = 0;
  // Renames a file or directory; never replaces an existing target (kEEXIST), as on Windows.
  virtual int Rename(std::string_view from, std::string_view to) = 0;
  // Renames a file over an existing one in one atomic step (the target is replaced, never lost).
  virtual int ReplaceFile(std::string_view from, std::string_view to) = 0;
  // A file (or link) only: a directory gives kEACCES, as on Windows.
  virtual int DeleteFile(std::string_view path) = 0;

  // The whole file into *out, which is left untouched on failure (a directory gives kEACCES).
  virtual int ReadFile(std::string_view path, std::string* out) = 0;
  // The stamp of the file at `path`: 0, or crt errno (kENOENT when missing). A file system that
  // cannot tell answers kEINVAL, and callers then treat every read as a new version.
  virtual int Stat(std::string_view path, FileStamp* stamp) { return crt::kEINVAL; }
  // ReadFile with the stamp of the file it read (taken before the content, so a change made
  // while reading gives a stamp that no longer matches); errors as Stat, then as ReadFile.
  virtual int ReadFileStamped(std::string_view path, std::string* out, FileStamp* stamp) {
    const int err = Stat(path, stamp);
    return err != crt::kOk ? err : ReadFile(path, out);
  }
  // Writes a temporary file beside `path`, fsyncs it, renames it over `path` and fsyncs the
  // directory: afterwards `path` holds either the old or the new content, never a torn one.
  // This is the one way files are replaced whole; nothing else writes a temporary file.
  virtual int WriteFileAtomic(std::string_view path, std::string_view data) = 0;
  // As WriteFileAtomic without waiting for the disk: after a crash `path` may hold the old
  // content, or be empty. Only for hints that are checked when read (a counter), never for
  // stored objects.
  virtual int WriteFileUnflushed(std::string_view path, std::string_view data) { return WriteFileAtomic(path, data); }
  // Gives the file `from` the second name `to` (a hard link), never replacing: kEEXIST when
  // `to` exists. A file system without links answers kEINVAL and callers copy instead.
  virtual int LinkFile(std::string_view from, std::string_view to) { return crt::kEINVAL; }

  // When `path` (a file or directory) was last modified, in milliseconds since 1970 (UTC). 0 or
  // crt errno; a file system that cannot tell answers kEINVAL.
  virtual int ModifiedTimeMs(std::string_view path, int64_t* ms) { return crt::kEINVAL; }

  // Opens `path` for appending, creating it when missing (a file, never a directory: kEISDIR).
  virtual int OpenForAppend(std::string_view path, std::unique_ptr<AppendableFile>* file) = 0;
  // Waits for an exclusive lock on `path`, creating the file when missing. The lock is held
  // between processes, and between threads of one process, as long as *lock lives.
  virtual int LockFile(std::string_view path, std::unique_ptr<FileLock>* lock) = 0;

  // Capabilities a file system may have; callers fall back to the calls above without them.
  //
  // Change notification for this file system's folders (platform/folder_watch.h); null when it
  // has none.
  virtual std::unique_ptr<FolderWatch> NewFolderWatch();
  // Reads the files of the folder at `path` through a descriptor of the folder, opened once
  // (platform/folder_reader.h); null when this file system cannot, or the folder cannot be
  // opened.
  virtual std::unique_ptr<FolderReader> OpenFolderReader(std::string_view path);
};

// Creates `path` and every missing folder above it (mkdir -p) through `fs`. 0 when `path` ends
// up a directory; kENOTDIR when it or a level above it is something else; else the failing
// CreateDirectory's error.
int CreateDirectories(FileSystem& fs, std::string_view path);

// The process's real file system.
FileSystem& RealFileSystem();

// Forwards every call to a target file system. A test that injects a fault derives from it
// and overrides only the call that is to fail.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  FileSystem& target() const { return target_; }

  std::vector<FindEntry> Find(std::string_view pattern) override { return target_.Find(pattern); }
  bool Exists(std::string_view path) override { return target_.Exists(path); }
  bool IsDirectory(std::string_view path) override { return target_.IsDirectory(path); }
  int CreateDirectory(std::string_view path) override { return target_.CreateDirectory(path); }
  int RemoveDirectory(std::string_view path) override { return target_.RemoveDirectory(path); }
  int Rename(std::string_view from, std::string_view to) override { return target_.Rename(from, to); }
  int ReplaceFile(std::string_view from, std::string_view to) override { return target_.ReplaceFile(from, to); }
  int DeleteFile(std::string_view path) override { return target_.DeleteFile(path); }
  int ReadFile(std::string_view path, std::string* out) override { return target_.ReadFile(path, out); }
  int Stat(std::string_view path, FileStamp* stamp) override { return target_.Stat(path, stamp); }
  int ReadFileStamped(std::string_view path, std::string* out, FileStamp* stamp) override {
    return target_.ReadFileStamped(path, out, stamp);
  }
  int ModifiedTimeMs(std::string_view path, int64_t* ms) override { return target_.ModifiedTimeMs(path, ms); }
  int WriteFileAtomic(std::string_view path, std::string_view data) override {
    return target_.WriteFileAtomic(path, data);
  }
  int WriteFileUnflushed(std::string_view path, std::string_view data) override {
    return target_.WriteFileUnflushed(path, data);
  }
  int LinkFile(std::string_view from, std::string_view to) override { return target_.LinkFile(from, to); }
  int OpenForAppend(std::string_view path, std::unique_ptr<AppendableFile>* file) override {
    return target_.OpenForAppend(path, file);
  }
  int LockFile(std::string_view path, std::unique_ptr<FileLock>* lock) override { return target_.LockFile(path, lock); }
  // The target's folders change only through the target, so its notification holds for the
  // wrapper too. Folder readers are not forwarded: they read the target directly, past any
  // read a wrapper overrides.
  std::unique_ptr<FolderWatch> NewFolderWatch() override;

 private:
  FileSystem& target_;
};

}  // namespace kv::platform
