#pragma once
// ZrReferenceIndex: the reference summaries of stored calculations and libraries, read from
// their object files through the server objects' file system and kept per store directory, and
// the store's name lists.
//
// What is kept: per store (a base directory, or the root for libraries) and name, the file's
// stamp (size, mtime, ctime, inode) and the summary read from it, in the order of the last
// request, which the next one (listing the same store in the same order) walks in step; and per
// scan key, the names the last scan gave with the folders it read.
//
// How changes are seen: the folders the index reads are watched (platform/folder_watch.h), and
// the events queued so far are taken at the start of every request. A watched folder in which
// nothing happened since a file was read keeps that file's summary without a look at the file,
// and a scan whose folders all stayed quiet is answered from its last names. The top folder of a
// store (its Calc or Lib folder) is looked up by path once per request, so a store replaced by
// moving a folder above it is seen as well. Any event in a folder makes each of its files be
// checked by stamp on the next request, and its names be scanned again; an event on a subfolder
// or on the folder itself, lost events, or a folder that cannot be watched drop the watch, and
// the files there are then checked by stamp on every request, as without a watch.
//
// When it is dropped, checking by stamp: an entry whose file's stamp differs is read again; a
// file that is gone yields null and its entry goes; entries of names a request of the same store
// no longer lists go with that request. A stamp whose mtime or ctime lies within kRacyWindowMs of
// the moment the file was read is not trusted (a rewrite in place within the same clock tick
// would keep it), so such a file is read again until it is older. Thread-safe: a request takes
// its store's entries out while it reads files, so a concurrent request on the same store reads
// for itself.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "com/unknown.h"
#include "components/reference_components.h"
#include "platform/file_system.h"
#include "platform/folder_watch.h"

namespace kv::engine {

class ZrReferenceIndex : public com::ComObject<components::IZrReferenceIndex> {
 public:
  static constexpr int64_t kRacyWindowMs = 1000;

  // Watches folders with the system's facility when the server's file system is the real one.
  ZrReferenceIndex();
  // Watches folders with `watch`; with null, checks every file by stamp on every request.
  explicit ZrReferenceIndex(std::unique_ptr<platform::FolderWatch> watch);
  ~ZrReferenceIndex() override;

  com::HRESULT StoreNames(const std::string& key, const Scan& scan, std::vector<std::string>* names) override;
  com::HRESULT CalculationSummaries(const std::string& base, const std::vector<std::string>& names,
                                    std::vector<components::SummaryPtr>* out) override;
  com::HRESULT LibrarySummaries(const std::string& root, const std::vector<std::string>& names,
                                std::vector<components::LibrarySummaryPtr>* out) override;

  // Files read and file stamps looked at since the index was made (for tests and benchmarks
  // of the cache).
  uint64_t FilesRead() const;
  uint64_t StampsChecked() const;

 private:
  // A watched folder. Alive until its watch is dropped; `changes` counts the events in it.
  struct Folder {
    std::string path;  // file-system form
    int watch = -1;
    uint64_t inode = 0;
    std::shared_ptr<Folder> parent;  // null for the top of a store
    std::atomic<uint64_t> changes{0};
    std::atomic<bool> alive{true};
  };
  using FolderPtr = std::shared_ptr<Folder>;

  template <class Summary>
  struct Entry {
    std::string name;
    platform::FileStamp stamp;
    bool trusted = false;
    std::shared_ptr<const Summary> summary;
    FolderPtr folder;      // the watched folder it was read or checked in, if any
    uint64_t changes = 0;  // the folder's count of events before that
  };
  template <class Summary>
  using Store = std::vector<Entry<Summary>>;

  struct Listing {
    std::vector<std::string> names;
    std::vector<std::pair<FolderPtr, uint64_t>> folders;  // read by the scan, the top first
  };

  template <class Summary, class Read>
  com::HRESULT Summaries(std::map<std::string, Store<Summary>>& stores, const std::string& dir, const char* folder,
                         const std::vector<std::string>& names, Read read,
                         std::vector<std::shared_ptr<const Summary>>* out);

  // All with mu_ held.
  void TakeEvents(platform::FileSystem& fs);
  FolderPtr Watched(platform::FileSystem& fs, const std::string& path);
  bool StillAt(platform::FileSystem& fs, const FolderPtr& top);
  // Takes its own reference: `folder` may be the one in folders_ that the drop erases.
  void Drop(FolderPtr folder);
  void DropAll();
  static bool Under(const Folder& f, const Folder* top);

  class RecordingFs;

  mutable std::mutex mu_;
  bool chooseWatch_ = false;  // the watch is made on first use, for the real file system only
  std::unique_ptr<platform::FolderWatch> watch_;
  std::unordered_map<std::string, FolderPtr> folders_;
  std::unordered_multimap<int, FolderPtr> byWatch_;  // a folder may have several paths
  std::vector<platform::FolderEvent> events_;
  std::map<std::string, Listing> listings_;
  std::map<std::string, Store<components::ReferenceSummary>> calcs_;
  std::map<std::string, Store<components::LibrarySummary>> libs_;
  uint64_t filesRead_ = 0;
  uint64_t stampsChecked_ = 0;
};

}  // namespace kv::engine
