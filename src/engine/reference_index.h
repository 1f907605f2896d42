#pragma once
// ZrReferenceIndex: the reference summaries of stored calculations and libraries, read from
// their object files through the server objects' file system and kept per store directory.
//
// What is kept: per store (a base directory, or the root for libraries) and name, the file's
// stamp (size, mtime, ctime, inode) and the summary read from it, in the order of the last
// request, which the next one (listing the same store in the same order) walks in step. When it
// is dropped: an entry whose file's stamp differs on the next request is read again; a file that
// is gone yields null and its entry goes; entries of names a request of the same store no longer
// lists go with that request. A stamp whose mtime or ctime lies within kRacyWindowMs of the moment
// the file was read is not trusted (a rewrite in place within the same clock tick would keep it),
// so such a file is read again until it is older. Thread-safe: a request takes its store's
// entries out while it reads files, so a concurrent request on the same store reads for itself.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "com/unknown.h"
#include "components/reference_components.h"
#include "platform/file_system.h"

namespace kv::engine {

class ZrReferenceIndex : public com::ComObject<components::IZrReferenceIndex> {
 public:
  static constexpr int64_t kRacyWindowMs = 1000;

  com::HRESULT CalculationSummaries(const std::string& base, const std::vector<std::string>& names,
                                    std::vector<components::SummaryPtr>* out) override;
  com::HRESULT LibrarySummaries(const std::string& root, const std::vector<std::string>& names,
                                std::vector<components::LibrarySummaryPtr>* out) override;

  // Files read since the index was made (for tests and benchmarks of the cache).
  uint64_t FilesRead() const;

 private:
  template <class Summary>
  struct Entry {
    std::string name;
    platform::FileStamp stamp;
    bool trusted = false;
    std::shared_ptr<const Summary> summary;
  };
  template <class Summary>
  using Store = std::vector<Entry<Summary>>;

  template <class Summary, class Read>
  com::HRESULT Summaries(std::map<std::string, Store<Summary>>& stores, const std::string& dir, const char* folder,
                         const std::vector<std::string>& names, Read read,
                         std::vector<std::shared_ptr<const Summary>>* out);

  mutable std::mutex mu_;
  std::map<std::string, Store<components::ReferenceSummary>> calcs_;
  std::map<std::string, Store<components::LibrarySummary>> libs_;
  uint64_t filesRead_ = 0;
};

}  // namespace kv::engine
