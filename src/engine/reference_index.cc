#include "engine/reference_index.h"

#include "engine/reference_summary.h"
#include "engine/server_context.h"
#include "platform/env.h"
#include "platform/folder_reader.h"
#include "platform/path.h"

namespace kv::engine {
namespace {

using components::LibrarySummary;
using components::ReferenceSummary;

// A folder's path in file-system form, as the folder table keys it: one "/" between
// components, none at the end, so that a store's folder has one key however it was spelled.
std::string FolderKey(std::string_view path) {
  std::string out = platform::ToFsPath(path);
  size_t w = 0;
  for (size_t r = 0; r < out.size(); ++r)
    if (out[r] != '/' || w == 0 || out[w - 1] != '/') out[w++] = out[r];
  if (w > 1 && out[w - 1] == '/') --w;
  out.resize(w);
  return out;
}

std::string_view ParentKey(std::string_view key) {
  const size_t slash = key.rfind('/');
  return slash == std::string_view::npos || slash == 0 ? std::string_view() : key.substr(0, slash);
}

template <class Summary>
std::shared_ptr<const Summary> SummaryOf(std::string& text, bool (*read)(std::string&, Summary*)) {
  auto summary = std::make_shared<Summary>();
  if (!read(text, summary.get())) return nullptr;
  return summary;
}

template <class Summary>
std::shared_ptr<const Summary> ReadSummary(platform::FileSystem& fs, const std::string& path,
                                           bool (*read)(std::string&, Summary*)) {
  std::string text;
  if (fs.ReadFile(path, &text) != 0) return nullptr;
  return SummaryOf(text, read);
}

}  // namespace

// Forwards to the file system the scan was given, watching each folder before it is listed, so
// that a change made after the listing is an event.
class ZrReferenceIndex::RecordingFs final : public platform::FileSystemWrapper {
 public:
  RecordingFs(platform::FileSystem& target, ZrReferenceIndex& index, Listing* listing)
      : FileSystemWrapper(target), index_(index), listing_(listing) {}
  bool complete = true;

  std::vector<platform::FindEntry> Find(std::string_view pattern) override {
    const size_t slash = pattern.find_last_of("\\/");
    const std::string folder = FolderKey(slash == std::string_view::npos ? "." : pattern.substr(0, slash));
    {
      std::lock_guard lock(index_.mu_);
      if (FolderPtr f = index_.Watched(target(), folder))
        listing_->folders.emplace_back(f, f->changes.load());
      else
        complete = false;
    }
    return target().Find(pattern);
  }

 private:
  ZrReferenceIndex& index_;
  Listing* listing_;
};

ZrReferenceIndex::ZrReferenceIndex() : chooseWatch_(true) {}

ZrReferenceIndex::ZrReferenceIndex(std::unique_ptr<platform::FolderWatch> watch) : watch_(std::move(watch)) {}

ZrReferenceIndex::~ZrReferenceIndex() = default;

void ZrReferenceIndex::TakeEvents(platform::FileSystem& fs) {
  if (chooseWatch_) {
    // Only a file system that can report its changes gets a watch; others are checked by stamp.
    chooseWatch_ = false;
    watch_ = fs.NewFolderWatch();
  }
  if (!watch_) return;
  events_.clear();
  if (!watch_->Drain(&events_)) {
    DropAll();
    return;
  }
  std::vector<FolderPtr> named;
  for (const platform::FolderEvent& e : events_) {
    // Every path the folder is known by (none when its watch was dropped before).
    named.clear();
    for (auto [it, end] = byWatch_.equal_range(e.watch); it != end; ++it) named.push_back(it->second);
    for (const FolderPtr& f : named) {
      if (e.self) {
        Drop(f);
        continue;
      }
      f->changes.fetch_add(1);
      // A subfolder (or a link to one) created, deleted, moved or changed: whatever is kept
      // under its path may now be of another folder.
      if (!e.name.empty())
        if (auto sub = folders_.find(f->path + "/" + e.name); sub != folders_.end()) Drop(sub->second);
    }
  }
}

ZrReferenceIndex::FolderPtr ZrReferenceIndex::Watched(platform::FileSystem& fs, const std::string& path) {
  if (!watch_) return nullptr;
  if (auto it = folders_.find(path); it != folders_.end()) return it->second;
  // The folder's identity, the same before and after the watch is added, so that the watch is
  // on the folder the path names.
  platform::FileStamp before, after;
  if (fs.Stat(path, &before) != 0) return nullptr;
  const int id = watch_->Add(path);
  if (id < 0) return nullptr;
  // The same folder may be known by another path ("Apps\..\Calc"): the kernel gives it the
  // same watch, whose events then count for both.
  const bool shared = byWatch_.count(id) != 0;
  if (fs.Stat(path, &after) != 0 || after.inode != before.inode) {
    if (!shared) watch_->Remove(id);
    return nullptr;
  }
  auto f = std::make_shared<Folder>();
  f->path = path;
  f->watch = id;
  f->inode = after.inode;
  if (auto parent = folders_.find(std::string(ParentKey(path))); parent != folders_.end()) f->parent = parent->second;
  folders_.emplace(path, f);
  byWatch_.emplace(id, f);
  return f;
}

bool ZrReferenceIndex::StillAt(platform::FileSystem& fs, const FolderPtr& top) {
  platform::FileStamp st;
  if (top->alive.load() && fs.Stat(top->path, &st) == 0 && st.inode == top->inode) return true;
  Drop(top);
  return false;
}

void ZrReferenceIndex::Drop(FolderPtr folder) {
  if (!folder->alive.exchange(false)) return;
  for (auto [it, end] = byWatch_.equal_range(folder->watch); it != end; ++it)
    if (it->second == folder) {
      byWatch_.erase(it);
      break;
    }
  // The kernel may have ended the watch already; another path may still use it.
  if (byWatch_.count(folder->watch) == 0) watch_->Remove(folder->watch);
  folders_.erase(folder->path);
  // Its subfolders' paths went with it.
  std::vector<FolderPtr> subs;
  for (const auto& [path, f] : folders_)
    if (f->parent == folder) subs.push_back(f);
  for (const FolderPtr& f : subs) Drop(f);
}

void ZrReferenceIndex::DropAll() {
  for (const auto& [path, f] : folders_) {
    f->alive.store(false);
    watch_->Remove(f->watch);
  }
  folders_.clear();
  byWatch_.clear();
}

bool ZrReferenceIndex::Under(const Folder& f, const Folder* top) {
  for (const Folder* p = &f; p; p = p->parent.get())
    if (p == top) return true;
  return false;
}

com::HRESULT ZrReferenceIndex::StoreNames(const std::string& key, const Scan& scan, std::vector<std::string>* names) {
  if (!names || !scan) return com::E_POINTER;
  platform::Env* env = ServerPlatform();
  if (!env || !env->fs) return com::E_UNEXPECTED;
  platform::FileSystem& fs = *env->fs;
  {
    std::lock_guard lock(mu_);
    TakeEvents(fs);
    if (auto it = listings_.find(key); it != listings_.end()) {
      const Listing& last = it->second;
      const FolderPtr& top = last.folders.front().first;
      bool quiet = StillAt(fs, top);
      for (const auto& [f, changes] : last.folders)
        quiet = quiet && f->alive.load() && f->changes.load() == changes && Under(*f, top.get());
      if (quiet) {
        *names = last.names;
        return com::S_OK;
      }
      listings_.erase(it);
    }
  }
  Listing listing;
  RecordingFs recording(fs, *this, &listing);
  *names = scan(recording);
  if (recording.complete && !listing.folders.empty()) {
    listing.names = *names;
    std::lock_guard lock(mu_);
    listings_[key] = std::move(listing);
  }
  return com::S_OK;
}

template <class Summary, class Read>
com::HRESULT ZrReferenceIndex::Summaries(std::map<std::string, Store<Summary>>& stores, const std::string& dir,
                                         const char* folder, const std::vector<std::string>& names, Read read,
                                         std::vector<std::shared_ptr<const Summary>>* out) {
  if (!out) return com::E_POINTER;
  out->assign(names.size(), nullptr);
  platform::Env* env = ServerPlatform();
  if (!env || !env->fs) return com::E_UNEXPECTED;
  platform::FileSystem& fs = *env->fs;

  const std::string topKey = FolderKey(platform::JoinPath(dir, folder));
  Store<Summary> previous;
  FolderPtr top;
  {
    std::lock_guard lock(mu_);
    TakeEvents(fs);
    top = Watched(fs, topKey);
    if (top && !StillAt(fs, top)) top = Watched(fs, topKey);
    if (auto it = stores.find(dir); it != stores.end()) {
      previous = std::move(it->second);
      stores.erase(it);
    }
  }
  // The previous request's entries by name, built only when the order differs from it.
  std::unordered_map<std::string_view, size_t> byName;
  auto find = [&](size_t i) -> Entry<Summary>* {
    if (i < previous.size() && previous[i].name == names[i]) return &previous[i];
    if (byName.empty())
      for (size_t j = 0; j < previous.size(); ++j) byName.emplace(previous[j].name, j);
    auto it = byName.find(names[i]);
    return it == byName.end() ? nullptr : &previous[it->second];
  };
  // The watched folder of a name's folder ("Area7" for "Area7\Calc3"), looked up once for a run of
  // names in the same folder.
  std::string_view lastSub;
  FolderPtr lastFolder;
  bool looked = false;
  auto folderOf = [&](std::string_view sub) -> FolderPtr {
    if (!top) return nullptr;
    if (looked && sub == lastSub) return lastFolder;
    looked = true;
    lastSub = sub;
    if (sub.empty()) {
      lastFolder = top;
    } else {
      std::lock_guard lock(mu_);
      lastFolder = Watched(fs, FolderKey(topKey + "/" + std::string(sub)));
      if (lastFolder && !Under(*lastFolder, top.get())) lastFolder = nullptr;
    }
    return lastFolder;
  };

  // Where the file system can, the files of a run of names in one folder are read relative to
  // the folder, opened once.
  const std::string prefix = platform::JoinPath(dir, folder) + "\\";
  std::string_view readerSub;
  bool readerTried = false;
  std::unique_ptr<platform::FolderReader> reader;
  auto readerFor = [&](std::string_view sub) -> platform::FolderReader* {
    if (!readerTried || sub != readerSub) {
      readerTried = true;
      readerSub = sub;
      reader = fs.OpenFolderReader(sub.empty() ? std::string_view(prefix).substr(0, prefix.size() - 1)
                                               : std::string_view(prefix + std::string(sub)));
    }
    return reader.get();
  };

  Store<Summary> current;
  current.reserve(names.size());
  std::string path, leaf, text;
  uint64_t reads = 0, checks = 0;
  // Taken before any file is read: a file is trusted only if older than that by the window.
  const int64_t now = env->clock ? env->clock->NowUnixMs() : 0;
  for (size_t i = 0; i < names.size(); ++i) {
    Entry<Summary>* known = find(i);
    // Nothing happened in its folder since it was read or checked: no look at the file.
    if (known && known->folder && known->folder->alive.load() && known->folder->changes.load() == known->changes &&
        Under(*known->folder, top.get())) {
      // Copied, not moved: `byName` may be looking at the previous entries' names.
      current.push_back(*known);
      (*out)[i] = known->summary;
      continue;
    }
    // The folder's count is taken before the file is looked at: a change after that is an
    // event that makes the next request look again.
    const size_t slash = names[i].rfind('\\');
    const std::string_view sub =
        slash == std::string::npos ? std::string_view() : std::string_view(names[i]).substr(0, slash);
    const FolderPtr watched = folderOf(sub);
    const uint64_t changes = watched ? watched->changes.load() : 0;
    path.assign(prefix).append(names[i]).append(".zrc");
    leaf.assign(names[i], slash == std::string::npos ? 0 : slash + 1).append(".zrc");
    platform::FolderReader* in = readerFor(sub);
    platform::FileStamp stamp;
    // A file with other names may be written through one in another folder, which no event
    // here would tell: it is checked by stamp every time. So is one read without its folder.
    bool linked = in == nullptr;
    if (known && known->trusted) {
      ++checks;
      if ((in ? in->Stat(leaf, &stamp, &linked) : fs.Stat(path, &stamp)) == 0 && known->stamp == stamp) {
        Entry<Summary>& e = current.emplace_back(*known);
        e.folder = linked ? nullptr : watched;
        e.changes = changes;
        (*out)[i] = known->summary;
        continue;
      }
    }
    // Nothing known or a new version: the file is read with the stamp of what was read.
    ++reads;
    const int err = in ? in->ReadStamped(leaf, &text, &stamp, &linked) : fs.ReadFileStamped(path, &text, &stamp);
    if (err != 0) {
      // Missing, or a file system that cannot tell versions apart: read, keep nothing.
      (*out)[i] = err == platform::crt::kEINVAL ? ReadSummary<Summary>(fs, path, read) : nullptr;
      continue;
    }
    Entry<Summary>& e = current.emplace_back();
    e.name = names[i];
    e.stamp = stamp;
    e.trusted = stamp.mtimeNs / 1000000 + kRacyWindowMs < now && stamp.ctimeNs / 1000000 + kRacyWindowMs < now;
    e.summary = SummaryOf<Summary>(text, read);
    e.folder = linked ? nullptr : watched;
    e.changes = changes;
    (*out)[i] = e.summary;
  }

  std::lock_guard lock(mu_);
  filesRead_ += reads;
  stampsChecked_ += checks;
  if (!current.empty()) stores[dir] = std::move(current);
  return com::S_OK;
}

com::HRESULT ZrReferenceIndex::CalculationSummaries(const std::string& base, const std::vector<std::string>& names,
                                                    std::vector<components::SummaryPtr>* out) {
  return Summaries<ReferenceSummary>(calcs_, base, "Calc", names, &CalculationFileReferences, out);
}

com::HRESULT ZrReferenceIndex::LibrarySummaries(const std::string& root, const std::vector<std::string>& names,
                                                std::vector<components::LibrarySummaryPtr>* out) {
  return Summaries<LibrarySummary>(libs_, root, "Lib", names, &LibraryFileReferences, out);
}

uint64_t ZrReferenceIndex::FilesRead() const {
  std::lock_guard lock(mu_);
  return filesRead_;
}

uint64_t ZrReferenceIndex::StampsChecked() const {
  std::lock_guard lock(mu_);
  return stampsChecked_;
}

}  // namespace kv::engine
