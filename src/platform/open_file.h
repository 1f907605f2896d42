#pragma once
// The real file system's read of an open descriptor, shared by the readers that open files
// their own way (relative to an open folder).
#include <sys/stat.h>

#include <string>

#include "platform/file_system.h"

namespace kv::platform {

// Reads the open file `fd` whole into *data (whose storage is reused), with the stamp of the
// descriptor taken before the content. 0 or crt errno (kEACCES for a directory); *data is
// unspecified on failure. Leaves `fd` open. *linked (when given) tells whether the file has
// other names (hard links).
int ReadOpenFile(int fd, std::string* data, FileStamp* stamp, bool* linked = nullptr);
// The stamp a stat result describes.
void StampFromStat(const struct stat& st, FileStamp* stamp);

}  // namespace kv::platform
