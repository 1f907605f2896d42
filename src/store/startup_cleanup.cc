#include "store/startup_cleanup.h"

#include <algorithm>
#include <vector>

#include "base/store_layout.h"
#include "com/class_registry.h"
#include "components/calc_components.h"
#include "log/debug_log.h"
#include "platform/path.h"
#include "store/edit_owner.h"
#include "store/recycle.h"

namespace kv::store {
namespace {

using platform::crt::kOk;

bool IsDigits(const std::string& s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// "<pid>-<n>" exactly in s[from, to).
bool IsPidCounter(const std::string& s, size_t from, size_t to) {
  const size_t dash = s.find('-', from);
  return dash != std::string::npos && dash < to && IsDigits(s, from, dash) && IsDigits(s, dash + 1, to);
}

// The directories of one store that hold objects, edit copies or their Recycle copies: each
// of `dirs` and the folders one level below it.
std::vector<std::string> ObjectDirectories(platform::FileSystem& fs, const std::vector<std::string>& dirs) {
  std::vector<std::string> out;
  for (const std::string& dir : dirs) {
    out.push_back(dir);
    for (const auto& e : fs.Find(dir + "\\*"))
      if (e.isDirectory && e.name != "." && e.name != "..") out.push_back(layout::Join(dir, e.name));
  }
  return out;
}

int RemoveTemporaries(platform::FileSystem& fs, const std::vector<std::string>& dirs, int64_t nowMs) {
  int removed = 0;
  for (const std::string& dir : dirs) {
    for (const auto& e : fs.Find(dir + "\\*")) {
      if (e.isDirectory || !IsLeftoverTemporaryName(e.name)) continue;
      const std::string path = layout::Join(dir, e.name);
      int64_t modified = 0;
      if (fs.ModifiedTimeMs(path, &modified) != kOk || modified >= nowMs) continue;
      if (fs.DeleteFile(path) == kOk) ++removed;
    }
  }
  return removed;
}

// The edit owner recorded in the object file at `path`; false when it cannot be read.
bool ReadEditOwner(const std::string& path, bool calculation, std::string* owner) {
  com::ComPtr<components::IZrPersistFile> file;
  const com::CLSID& clsid = calculation ? components::CLSID_ZrCalculation : components::CLSID_ZrLibrary;
  if (com::FAILED(com::CreateInstance(clsid, &file)) || !file) return false;
  if (com::FAILED(file->LoadFromFile(com::Bstr::FromUtf8(path)))) return false;
  com::Variant value;
  auto object = com::QueryInterface<com::IDispatch>(file);
  if (!object || com::FAILED(com::GetProperty(object.Get(), "EditOwner", &value)) || value.vt() != com::VT_BSTR)
    return false;
  *owner = value.bstr().ToUtf8();
  return true;
}

// Moves the edit copies below `storeDir`\Edit that nobody owns into Recycle of `storeDir`.
int RecycleOrphans(platform::FileSystem& fs, const std::string& storeDir, bool calculation) {
  int moved = 0;
  const std::string editDir = layout::Join(storeDir, layout::kEdit);
  std::vector<std::string> names;  // object names, "<folder>\<leaf>" below a folder
  for (const auto& e : fs.Find(editDir + "\\*")) {
    if (e.name == "." || e.name == "..") continue;
    if (e.isDirectory && calculation) {
      for (const auto& f : fs.Find(layout::Join(editDir, e.name) + "\\*.zrc"))
        if (!f.isDirectory) names.push_back(e.name + "\\" + f.name.substr(0, f.name.size() - 4));
    } else if (!e.isDirectory && e.name.size() > 4 && e.name.ends_with(layout::kObjectExtension)) {
      names.push_back(e.name.substr(0, e.name.size() - 4));
    }
  }
  for (const std::string& name : names) {
    const std::string path = layout::Join(editDir, name) + layout::kObjectExtension;
    std::string owner, node, editor, date;
    if (!ReadEditOwner(path, calculation, &owner)) continue;
    ParseOwnerString(owner, &node, &editor, &date);
    if (!node.empty() && !editor.empty()) continue;
    if (!MoveIntoRecycle(fs, storeDir, name, path)) continue;
    ++moved;
    g_DebugLog.Write("Kelvarin::Run: moved an edit copy nobody owns to Recycle", platform::ToFsPath(path));
  }
  return moved;
}

}  // namespace

bool IsLeftoverTemporaryName(const std::string& name) {
  // "<file>.tmp-<pid>-<n>"
  if (const size_t tmp = name.rfind(".tmp-"); tmp != std::string::npos && tmp > 0 &&
                                               IsPidCounter(name, tmp + 5, name.size()))
    return true;
  // "<prefix>.<pid>-<n>.tmp": a Recycle copy being written ("recycle.<pid>-<n>.tmp"; earlier
  // versions named it "<name>.zrc.<pid>-<n>.tmp").
  if (!name.ends_with(".tmp")) return false;
  const size_t end = name.size() - 4, dot = name.rfind('.', end - 1);
  return dot != std::string::npos && dot > 0 && IsPidCounter(name, dot + 1, end);
}

StartupCleanup CleanStoreAtStartup(platform::Env& env, const std::string& root) {
  platform::FileSystem& fs = *env.fs;
  const int64_t nowMs = env.clock->NowUnixMs();
  std::vector<std::string> stores = {root};
  for (const auto& e : fs.Find(layout::Join(root, layout::kApps) + "\\*"))
    if (e.isDirectory && e.name != "." && e.name != "..") stores.push_back(layout::AppDir(root, e.name));

  StartupCleanup done;
  std::vector<std::string> dirs = {layout::Join(root, layout::kBin)};
  for (const std::string& store : stores) {
    const std::string calc = layout::CalcDir(store), lib = layout::LibDir(store);
    for (const std::string& d : ObjectDirectories(
             fs, {calc, layout::Join(calc, layout::kEdit), layout::RecycleDir(calc), lib,
                  layout::Join(lib, layout::kEdit), layout::RecycleDir(lib)}))
      dirs.push_back(d);
    done.orphans += RecycleOrphans(fs, calc, true);
    if (store == root) done.orphans += RecycleOrphans(fs, lib, false);
  }
  std::sort(dirs.begin(), dirs.end());
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
  done.temporaries = RemoveTemporaries(fs, dirs, nowMs);
  if (done.temporaries > 0)
    g_DebugLog.Write("Kelvarin::Run: removed leftover temporary files",
                     std::to_string(done.temporaries) + " in " + platform::ToFsPath(root));
  return done;
}

}  // namespace kv::store
