#include "platform/folder_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/open_file.h"
#include "platform/path.h"

namespace kv::platform {

FolderReader::FolderReader(std::string_view path)
    : fd_(::open(ToFsPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

FolderReader::~FolderReader() {
  if (fd_ >= 0) ::close(fd_);
}

int FolderReader::ReadStamped(const std::string& name, std::string* out, FileStamp* stamp, bool* linked) {
  const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CrtErrnoFromLinux(errno);
  const int err = ReadOpenFile(fd, out, stamp, linked);
  ::close(fd);
  return err;
}

int FolderReader::Stat(const std::string& name, FileStamp* stamp, bool* linked) {
  struct stat st;
  if (::fstatat(fd_, name.c_str(), &st, 0) != 0) return CrtErrnoFromLinux(errno);
  StampFromStat(st, stamp);
  *linked = st.st_nlink > 1;
  return crt::kOk;
}

}  // namespace kv::platform
