#pragma once
// File-system stand-in. Paths are given in the system's Windows form and converted with
// ToFsPath at this boundary. Errors come back as the Windows C runtime's errno numbers
// (the values the commands test), never as exceptions.
#include <cstdint>
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

struct FindEntry {
  std::string name;  // the entry's own name, no folder
  bool isDirectory = false;
};

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

  // One level, no parents. 0 or crt errno (kEEXIST when anything exists there).
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
  // Writes a temporary file beside `path`, fsyncs it, renames it over `path` and fsyncs the
  // directory: afterwards `path` holds either the old or the new content, never a torn one.
  virtual int WriteFileAtomic(std::string_view path, std::string_view data) = 0;
};

// The process's real file system.
FileSystem& RealFileSystem();

}  // namespace kv::platform
