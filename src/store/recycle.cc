// Taking stored files out of the store and replacing them.
//
// Recycle keeps the last g_RecycleCopies copies of each object name: "<leaf>.zrc" is its first
// copy and "<leaf>.<n>.zrc" the n-th after it. "<leaf>.zrc.last" holds the last n used, so a
// save neither lists the directory (which may hold thousands of other copies) nor grows it
// without end: after placing copy n it removes copy n - cap.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "base/store_layout.h"
#include "command_object/calc_cmd_base.h"
#include "config/config.h"
#include "platform/env.h"
#include "store/recycle.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using platform::crt::kEEXIST;
using platform::crt::kENOENT;
using platform::crt::kOk;

// Past this many taken names something is wrong with the directory; give up.
constexpr int kMaxRecycleAttempts = 1000;

// One object's copies in its recycle directory.
struct Copies {
  platform::FileSystem& fs;
  std::string dir, leaf;

  std::string Copy(long n) const {
    return dir + "\\" + leaf + (n == 0 ? std::string() : "." + std::to_string(n)) + layout::kObjectExtension;
  }
  std::string CounterFile() const { return dir + "\\" + leaf + layout::kObjectExtension + ".last"; }

  // The number of the newest copy; -1 when there is none. Without a counter file (a store
  // written before there was one) the directory is listed once for this object.
  long Newest() const {
    std::string text;
    if (fs.ReadFile(CounterFile(), &text) == kOk && !text.empty() &&
        text.find_first_not_of("0123456789\n") == std::string::npos)
      return std::strtol(text.c_str(), nullptr, 10);
    if (!fs.Exists(Copy(0))) return -1;
    long highest = 0;
    for (const auto& e : fs.Find(dir + "\\" + leaf + ".*.zrc")) {
      if (e.name.size() <= leaf.size() + 5) continue;
      const std::string middle = e.name.substr(leaf.size() + 1, e.name.size() - leaf.size() - 5);
      if (middle.empty() || middle.find_first_not_of("0123456789") != std::string::npos) continue;
      highest = std::max(highest, std::strtol(middle.c_str(), nullptr, 10));
    }
    return highest;
  }

  // Removes the copies older than the newest `keep` once copy `newest` is in place (the oldest
  // first, down to the first number already gone).
  void Trim(long newest, long keep) const {
    for (long n = newest - keep; n >= 0 && fs.DeleteFile(Copy(n)) == kOk; --n) {
    }
  }

  // Places a copy under the next free number with `place(path)`, which never replaces, so a
  // number taken meanwhile (another process, a counter lost in a crash) is skipped, not
  // overwritten. The counter is only a hint checked against the directory, so it is not flushed.
  // Answers place's error.
  template <typename Place>
  int PlaceNext(Place place) const {
    long n = Newest();
    for (int attempt = 0; attempt < kMaxRecycleAttempts; ++attempt) {
      const int err = place(Copy(++n));
      if (err == kEEXIST) continue;
      if (err != kOk) return err;
      fs.WriteFileUnflushed(CounterFile(), std::to_string(n) + "\n");
      Trim(n, std::max<long>(1, g_RecycleCopies));
      return kOk;
    }
    return kEEXIST;
  }
  bool MoveIn(const std::string& from) const {
    return PlaceNext([&](const std::string& to) { return fs.Rename(from, to); }) == kOk;
  }
};

// One recycle at a time in this process: two saves of one name would otherwise read the same
// counter and trim each other's copies.
std::mutex g_recycleLock;

// "<storeDir>\Recycle", and below it the folder of a "<folder>\<name>" calculation, so that a
// folder's own directory never holds a Recycle directory and stays removable.
bool EnsureRecycleDirectory(platform::FileSystem& fs, const std::string& storeDir, const std::string& name,
                            Copies* copies) {
  copies->dir = layout::RecycleDir(storeDir);
  copies->leaf = name;
  if (const size_t slash = name.rfind('\\'); slash != std::string::npos) {
    int err = fs.CreateDirectory(copies->dir);
    if (err != kOk && err != kEEXIST) return false;
    copies->dir += "\\" + name.substr(0, slash);
    copies->leaf = name.substr(slash + 1);
  }
  int err = fs.CreateDirectory(copies->dir);
  return err == kOk || err == kEEXIST;
}

// A copy of `path` in Recycle: a second name of the file where the file system has links, else a
// copy written beside its place first so that a crash leaves at most a stray temporary there
// (removed at the next start). Nothing stored: nothing to keep, and no directory is made.
bool CopyIntoRecycle(platform::FileSystem& fs, const std::string& path, const std::string& storeDir,
                     const std::string& name) {
  static std::atomic<unsigned> counter{0};
  if (!fs.Exists(path)) return true;
  Copies copies{fs, {}, {}};
  if (!EnsureRecycleDirectory(fs, storeDir, name, &copies)) return false;
  // A second name for the stored file keeps its bytes without copying or flushing them: the store
  // replaces a stored file by renaming a new one over it, never by writing into it.
  const int linked = copies.PlaceNext([&](const std::string& to) { return fs.LinkFile(path, to); });
  if (linked == kOk || linked == kENOENT) return true;
  if (linked != platform::crt::kEINVAL) return false;
  std::string content;
  int err = fs.ReadFile(path, &content);
  if (err == kENOENT) return true;
  if (err != kOk) return false;
  // Named apart from the object so that its own temporary suffix fits whatever the name's length.
  const std::string temp =
      copies.dir + "\\recycle." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
  if (fs.WriteFileAtomic(temp, content) != kOk) return false;
  if (copies.MoveIn(temp)) return true;
  fs.DeleteFile(temp);
  return false;
}

}  // namespace

bool MoveIntoRecycle(platform::FileSystem& fs, const std::string& storeDir, const std::string& name,
                            const std::string& from) {
  std::lock_guard<std::mutex> hold(g_recycleLock);
  Copies copies{fs, {}, {}};
  return EnsureRecycleDirectory(fs, storeDir, name, &copies) && copies.MoveIn(from);
}

bool RecycleFile(CCalcCmdBase& cmd, const std::string& storeDir, const std::string& name, bool keepStored) {
  auto& fs = cmd.Fs();
  const std::string path = layout::Join(storeDir, name) + layout::kObjectExtension;
  if (cmd.m_accessMode != CCalcCmdBase::kAccessChecked) return keepStored || fs.DeleteFile(path) == kOk;
  if (!keepStored) return store::MoveIntoRecycle(fs, storeDir, name, path);
  std::lock_guard<std::mutex> hold(g_recycleLock);
  return CopyIntoRecycle(fs, path, storeDir, name);
}

bool MoveOverFile(CCalcCmdBase& cmd, const std::string& source, const std::string& target) {
  return cmd.Fs().ReplaceFile(source, target) == kOk;
}

}  // namespace kv::store
