#include "engine/reference_index.h"

#include "engine/reference_summary.h"
#include "engine/server_context.h"
#include "platform/env.h"
#include "platform/path.h"

namespace kv::engine {
namespace {

using components::LibrarySummary;
using components::ReferenceSummary;

template <class Summary>
std::shared_ptr<const Summary> SummaryOf(std::string& text, bool (*read)(pugi::xml_node, Summary*)) {
  pugi::xml_document doc;
  if (!ParseObjectText(text, &doc)) return nullptr;
  auto summary = std::make_shared<Summary>();
  if (!read(doc.document_element(), summary.get())) return nullptr;
  return summary;
}

template <class Summary>
std::shared_ptr<const Summary> ReadSummary(platform::FileSystem& fs, const std::string& path,
                                           bool (*read)(pugi::xml_node, Summary*)) {
  std::string text;
  if (fs.ReadFile(path, &text) != 0) return nullptr;
  return SummaryOf(text, read);
}

}  // namespace

template <class Summary, class Read>
com::HRESULT ZrReferenceIndex::Summaries(std::map<std::string, Store<Summary>>& stores, const std::string& dir,
                                         const char* folder, const std::vector<std::string>& names, Read read,
                                         std::vector<std::shared_ptr<const Summary>>* out) {
  if (!out) return com::E_POINTER;
  out->assign(names.size(), nullptr);
  platform::Env* env = ServerPlatform();
  if (!env || !env->fs) return com::E_UNEXPECTED;
  platform::FileSystem& fs = *env->fs;

  Store<Summary> previous;
  {
    std::lock_guard lock(mu_);
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

  Store<Summary> current;
  current.reserve(names.size());
  const std::string prefix = platform::JoinPath(dir, folder) + "\\";
  std::string path;
  uint64_t reads = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    path.assign(prefix).append(names[i]).append(".zrc");
    const int64_t now = env->clock ? env->clock->NowUnixMs() : 0;
    Entry<Summary>* known = find(i);
    platform::FileStamp stamp;
    if (known && known->trusted) {
      if (fs.Stat(path, &stamp) == 0 && known->stamp == stamp) {
        // Copied, not moved: `byName` may be looking at the previous entries' names.
        current.push_back(*known);
        (*out)[i] = known->summary;
        continue;
      }
    }
    // Nothing known or a new version: the file is read with the stamp of what was read.
    ++reads;
    std::string text;
    const int err = fs.ReadFileStamped(path, &text, &stamp);
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
    (*out)[i] = e.summary;
  }

  std::lock_guard lock(mu_);
  filesRead_ += reads;
  if (!current.empty()) stores[dir] = std::move(current);
  return com::S_OK;
}

com::HRESULT ZrReferenceIndex::CalculationSummaries(const std::string& base, const std::vector<std::string>& names,
                                                    std::vector<components::SummaryPtr>* out) {
  return Summaries<ReferenceSummary>(calcs_, base, "Calc", names, &ReadCalculationReferences, out);
}

com::HRESULT ZrReferenceIndex::LibrarySummaries(const std::string& root, const std::vector<std::string>& names,
                                                std::vector<components::LibrarySummaryPtr>* out) {
  return Summaries<LibrarySummary>(libs_, root, "Lib", names, &ReadLibraryReferences, out);
}

uint64_t ZrReferenceIndex::FilesRead() const {
  std::lock_guard lock(mu_);
  return filesRead_;
}

}  // namespace kv::engine
