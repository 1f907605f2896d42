#include "engine/reference_index.h"

#include "engine/reference_summary.h"
#include "engine/server_context.h"
#include "platform/env.h"
#include "platform/path.h"

namespace kv::engine {
namespace {

using components::LibrarySummary;
using components::ReferenceSummary;

// "<dir>\<folder>\<name>.zrc": where the environment loads the object from.
std::string ObjectPath(const std::string& dir, const char* folder, const std::string& name) {
  std::string path = platform::JoinPath(platform::JoinPath(dir, folder), name);
  path += ".zrc";
  return path;
}

template <class Summary>
std::shared_ptr<const Summary> ReadSummary(platform::FileSystem& fs, const std::string& path,
                                           bool (*read)(pugi::xml_node, Summary*)) {
  std::string text;
  if (fs.ReadFile(path, &text) != 0) return nullptr;
  pugi::xml_document doc;
  if (!ParseObjectText(text, &doc)) return nullptr;
  auto summary = std::make_shared<Summary>();
  if (!read(doc.document_element(), summary.get())) return nullptr;
  return summary;
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
  uint64_t request;
  {
    std::lock_guard lock(mu_);
    request = ++requests_;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string path = ObjectPath(dir, folder, names[i]);
    const int64_t now = env->clock ? env->clock->NowUnixMs() : 0;
    platform::FileStamp stamp;
    const bool stamped = fs.Stat(path, &stamp) == 0;
    if (stamped) {
      std::lock_guard lock(mu_);
      Store<Summary>& store = stores[dir];
      auto it = store.find(names[i]);
      if (it != store.end() && it->second.trusted && it->second.stamp == stamp) {
        it->second.seen = request;
        (*out)[i] = it->second.summary;
        continue;
      }
    }
    std::shared_ptr<const Summary> summary = ReadSummary<Summary>(fs, path, read);
    std::lock_guard lock(mu_);
    ++filesRead_;
    Store<Summary>& store = stores[dir];
    if (!stamped) {
      store.erase(names[i]);  // missing, or a file system that cannot tell versions apart
    } else {
      Entry<Summary>& e = store[names[i]];
      e.stamp = stamp;
      e.trusted = stamp.mtimeNs / 1000000 + kRacyWindowMs < now && stamp.ctimeNs / 1000000 + kRacyWindowMs < now;
      e.seen = request;
      e.summary = summary;
    }
    (*out)[i] = std::move(summary);
  }
  std::lock_guard lock(mu_);
  auto s = stores.find(dir);
  if (s != stores.end()) {
    std::erase_if(s->second, [&](const auto& entry) { return entry.second.seen != request; });
    if (s->second.empty()) stores.erase(s);
  }
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
