#pragma once
// Change notification for folders, so that a cache of what a folder holds can be trusted until
// something in it changes instead of being checked file by file. A change is queued before the
// call that made it returns, so draining the queue at the start of a question sees every change
// made before the question. When a folder cannot be watched, or events were lost, callers go
// back to checking each file themselves.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

struct FolderEvent {
  int watch = -1;            // what Add returned for the folder
  std::string name;          // the entry in the folder that changed; empty for the folder itself
  bool isDirectory = false;  // the entry is a folder
  // The watched folder itself was deleted, moved or unmounted: its watch is gone, and its path
  // may now name another folder or nothing.
  bool self = false;
};

class FolderWatch {
 public:
  virtual ~FolderWatch() = default;
  // Watches the entries of the folder at `path` (Windows form): created, deleted, moved in or
  // out, written, attributes changed; and the folder itself being deleted or moved. The watch's
  // id (>= 0), or -1 when the folder cannot be watched (missing, not a folder, the watch limit
  // reached, a file system whose changes may come from elsewhere, such as a network share).
  // Watching a folder watched already may give the id it has.
  virtual int Add(std::string_view path) = 0;
  // Stops watching; events already queued for it may still be drained.
  virtual void Remove(int watch) = 0;
  // Appends the events queued since the last call without waiting for more. False when events
  // were lost (the queue overflowed, or it cannot be read): every folder must then be taken as
  // changed, and watches may be gone.
  virtual bool Drain(std::vector<FolderEvent>* events) = 0;
};

// The system's facility (inotify); null when the process cannot have one.
std::unique_ptr<FolderWatch> MakeFolderWatch();

// A watch driven by hand, for tests: Add gives ids in order (or -1 while `refuse` is set), and
// events are what the test posts.
class ManualFolderWatch final : public FolderWatch {
 public:
  bool refuse = false;

  int Add(std::string_view path) override;
  void Remove(int watch) override;
  bool Drain(std::vector<FolderEvent>* events) override;

  // An event for `name` in the watched folder at `path` (ignored when not watched).
  void Post(std::string_view path, std::string_view name, bool isDirectory = false);
  // The folder at `path` itself went.
  void PostSelf(std::string_view path);
  // The next Drain reports lost events.
  void Overflow() { lost_ = true; }
  bool Watching(std::string_view path) const;

 private:
  std::map<std::string, int, std::less<>> ids_;
  std::vector<FolderEvent> queue_;
  bool lost_ = false;
  int next_ = 1;
};

}  // namespace kv::platform
