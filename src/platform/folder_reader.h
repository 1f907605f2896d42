#pragma once
// Reads the files of one folder of the real file system through a descriptor of the folder,
// opened once: no walk of the folder's path for each file, and the stamp is the descriptor's.
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace kv::platform {

class FolderReader {
 public:
  FolderReader() = default;
  // Opens the folder at `path` (Windows form); ok() tells whether it could be.
  explicit FolderReader(std::string_view path);
  ~FolderReader();
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;

  bool ok() const { return fd_ >= 0; }
  // FileSystem::ReadFileStamped for the entry `name` of the folder, except that *out is
  // unspecified on failure (its storage is reused). *linked tells whether the file has other
  // names (hard links), through which it may change without a change in this folder.
  int ReadStamped(const std::string& name, std::string* out, FileStamp* stamp, bool* linked);
  // FileSystem::Stat for the entry `name` of the folder, *linked as above.
  int Stat(const std::string& name, FileStamp* stamp, bool* linked);

 private:
  int fd_ = -1;
};

}  // namespace kv::platform
