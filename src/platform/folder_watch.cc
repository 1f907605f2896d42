#include "platform/folder_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/path.h"

namespace kv::platform {
namespace {

constexpr uint32_t kMask = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
                           IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose every change is made by this machine's kernel, which is what queues the
// events. On a network share (or a FUSE mount that may be one) another host's writes would go
// unseen, so such folders are not watched.
bool ChangesAreLocal(const char* fsPath) {
  struct statfs sf;
  if (statfs(fsPath, &sf) != 0) return false;
  switch (static_cast<unsigned long>(sf.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x794C7630:  // overlayfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0x52654973:  // reiserfs
    case 0x3153464A:  // jfs
      return true;
    default:
      return false;
  }
}

class InotifyWatch final : public FolderWatch {
 public:
  explicit InotifyWatch(int fd) : fd_(fd) {}
  ~InotifyWatch() override { ::close(fd_); }

  int Add(std::string_view path) override {
    const std::string fsPath = ToFsPath(path);
    if (!ChangesAreLocal(fsPath.c_str())) return -1;
    const int wd = inotify_add_watch(fd_, fsPath.c_str(), kMask);
    return wd >= 0 ? wd : -1;  // ENOSPC at the watch limit, ENOENT, ENOTDIR, EACCES
  }

  void Remove(int watch) override { inotify_rm_watch(fd_, watch); }

  bool Drain(std::vector<FolderEvent>* events) override {
    alignas(inotify_event) char buf[16384];
    bool complete = true;
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return complete && errno == EAGAIN;
      }
      if (n == 0) return false;
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) {
          complete = false;
          continue;
        }
        FolderEvent& e = events->emplace_back();
        e.watch = ev->wd;
        if (ev->len > 0) e.name = ev->name;  // NUL-padded
        e.isDirectory = (ev->mask & IN_ISDIR) != 0;
        e.self = (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) != 0;
      }
    }
  }

 private:
  const int fd_;
};

}  // namespace

std::unique_ptr<FolderWatch> MakeFolderWatch() {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<InotifyWatch>(fd);
}

int ManualFolderWatch::Add(std::string_view path) {
  if (refuse) return -1;
  const std::string key = ToFsPath(path);
  auto it = ids_.find(key);
  if (it != ids_.end()) return it->second;
  ids_.emplace(key, next_);
  return next_++;
}

void ManualFolderWatch::Remove(int watch) {
  for (auto it = ids_.begin(); it != ids_.end(); ++it)
    if (it->second == watch) {
      ids_.erase(it);
      return;
    }
}

bool ManualFolderWatch::Drain(std::vector<FolderEvent>* events) {
  events->insert(events->end(), queue_.begin(), queue_.end());
  queue_.clear();
  const bool complete = !lost_;
  lost_ = false;
  return complete;
}

void ManualFolderWatch::Post(std::string_view path, std::string_view name, bool isDirectory) {
  auto it = ids_.find(ToFsPath(path));
  if (it != ids_.end()) queue_.push_back({it->second, std::string(name), isDirectory, false});
}

void ManualFolderWatch::PostSelf(std::string_view path) {
  auto it = ids_.find(ToFsPath(path));
  if (it == ids_.end()) return;
  queue_.push_back({it->second, "", true, true});
  ids_.erase(it);
}

bool ManualFolderWatch::Watching(std::string_view path) const { return ids_.count(ToFsPath(path)) != 0; }

}  // namespace kv::platform
