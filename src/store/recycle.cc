// Taking stored files out of the store and replacing them.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "commands/calc_cmd_base.h"
#include "base/store_layout.h"
#include "platform/env.h"

namespace kv {
namespace {

using platform::crt::kEEXIST;
using platform::crt::kENOENT;
using platform::crt::kOk;

// Past this many taken names something is wrong with the directory; give up.
constexpr int kMaxRecycleAttempts = 1000;

// The highest n of "<leaf>.<n>.zrc" in `dir` (0 when there is none).
long HighestRecycledNumber(platform::FileSystem& fs, const std::string& dir, const std::string& leaf) {
  long highest = 0;
  for (const auto& e : fs.Find(dir + "\\" + leaf + ".*.zrc")) {
    if (e.name.size() <= leaf.size() + 5) continue;
    const std::string middle = e.name.substr(leaf.size() + 1, e.name.size() - leaf.size() - 5);
    if (middle.empty() || middle.find_first_not_of("0123456789") != std::string::npos) continue;
    highest = std::max(highest, std::strtol(middle.c_str(), nullptr, 10));
  }
  return highest;
}

// Moves `from` to "<dir>\<leaf>.zrc", or to "<dir>\<leaf>.<n>.zrc" past the highest n taken.
// The rename never replaces, so a name taken meanwhile is skipped, not overwritten.
bool MoveIntoRecycle(platform::FileSystem& fs, const std::string& from, const std::string& dir,
                     const std::string& leaf) {
  int err = fs.Rename(from, dir + "\\" + leaf + ".zrc");
  if (err != kEEXIST) return err == kOk;
  long n = HighestRecycledNumber(fs, dir, leaf);
  for (int attempt = 0; attempt < kMaxRecycleAttempts; ++attempt) {
    err = fs.Rename(from, dir + "\\" + leaf + "." + std::to_string(++n) + ".zrc");
    if (err != kEEXIST) return err == kOk;
  }
  return false;
}

// "<storeDir>\Recycle", and below it the folder of a "<folder>\<name>" calculation, so that a
// folder's own directory never holds a Recycle directory and stays removable.
bool EnsureRecycleDirectory(platform::FileSystem& fs, const std::string& storeDir, const std::string& name,
                            std::string* dir, std::string* leaf) {
  *dir = layout::RecycleDir(storeDir);
  *leaf = name;
  if (const size_t slash = name.rfind('\\'); slash != std::string::npos) {
    int err = fs.CreateDirectory(*dir);
    if (err != kOk && err != kEEXIST) return false;
    *dir += "\\" + name.substr(0, slash);
    *leaf = name.substr(slash + 1);
  }
  int err = fs.CreateDirectory(*dir);
  return err == kOk || err == kEEXIST;
}

// A copy of `path` in the recycle directory, written beside it first so that a crash leaves at
// most a stray temporary there.
bool CopyIntoRecycle(platform::FileSystem& fs, const std::string& path, const std::string& dir,
                     const std::string& leaf) {
  static std::atomic<unsigned> counter{0};
  std::string content;
  int err = fs.ReadFile(path, &content);
  if (err == kENOENT) return true;  // nothing stored yet: nothing to keep
  if (err != kOk) return false;
  const std::string temp =
      dir + "\\" + leaf + ".zrc." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
  if (fs.WriteFileAtomic(temp, content) != kOk) return false;
  if (MoveIntoRecycle(fs, temp, dir, leaf)) return true;
  fs.DeleteFile(temp);
  return false;
}

}  // namespace

bool CCalcCmdBase::RecycleFile(const std::string& storeDir, const std::string& name, bool keepStored) {
  auto& fs = Fs();
  const std::string path = layout::Join(storeDir, name) + layout::kObjectExtension;
  if (m_accessMode != kAccessChecked) return keepStored || fs.DeleteFile(path) == kOk;
  std::string dir, leaf;
  if (!EnsureRecycleDirectory(fs, storeDir, name, &dir, &leaf)) return false;
  return keepStored ? CopyIntoRecycle(fs, path, dir, leaf) : MoveIntoRecycle(fs, path, dir, leaf);
}

bool CCalcCmdBase::MoveOverFile(const std::string& source, const std::string& target) {
  return Fs().ReplaceFile(source, target) == kOk;
}

}  // namespace kv
