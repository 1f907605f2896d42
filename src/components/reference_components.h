#pragma once
// What a stored calculation or formula refers to, for the cross-reference commands: a small
// summary of its outgoing references, kept by a reference index so that repeated questions do
// not read and parse every object file again. The store asks; the engine, which owns the
// content of object files, answers.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"

namespace kv::platform {
class FileSystem;
}

namespace kv::components {

inline constexpr com::CLSID CLSID_ZrReferenceIndex = com::MakeGuid("5B0E41C2-7A3D-4E8B-9C61-2F4D8A0B7E13");

// A tag parameter: the parameter's name, the server (node) recorded in it and its tag.
struct TagReference {
  std::string parameter;
  std::string server;
  std::string tag;

  bool operator==(const TagReference&) const = default;
};

// The outgoing references of one calculation or formula.
struct ReferenceSummary {
  // Calculations whose Value a parameter takes (kind 2), in parameter order.
  std::vector<std::string> calculations;
  // The libraries it lists ("Libraries").
  std::vector<std::string> libraries;
  // {"Stats", "Mean"} for each `Stats.Mean` its script reaches on a free name; sorted, unique.
  std::vector<std::pair<std::string, std::string>> formulas;
  // Its tag parameters (kind 1), in parameter order.
  std::vector<TagReference> tags;

  bool operator==(const ReferenceSummary&) const = default;

  // Names compare exactly, as the store's names and Lua's do.
  bool RefersToCalculation(std::string_view name) const;
  // With an empty `formula`: whether it lists `library` or reaches any of its formulas.
  bool RefersToFormula(std::string_view library, std::string_view formula) const;
};

// A library's formulas in collection order, each with its name and references.
struct LibrarySummary {
  std::vector<std::pair<std::string, ReferenceSummary>> formulas;

  bool operator==(const LibrarySummary&) const = default;
};

using SummaryPtr = std::shared_ptr<const ReferenceSummary>;
using LibrarySummaryPtr = std::shared_ptr<const LibrarySummary>;

// Summaries of stored objects, read from their files and kept until the file changes, and the
// store's name lists, kept until a folder they came from changes. Answers follow saves,
// deletions, renames and changes made by other processes. Thread-safe.
class IZrReferenceIndex : public virtual com::IUnknown {
 public:
  // Lists a store, reading its folders only through `fs.Find`.
  using Scan = std::function<std::vector<std::string>(platform::FileSystem& fs)>;
  // What `scan` gives now. The index may instead give what it gave last time under `key` while
  // it knows that none of the folders that scan read has changed since.
  virtual com::HRESULT StoreNames(const std::string& key, const Scan& scan, std::vector<std::string>* names) = 0;
  // The stored calculations `names` of the store whose base directory is `base` (Windows form),
  // in order: one summary each, null where the file is missing or is not a calculation the
  // environment could load. Entries kept for other names of that store are dropped.
  virtual com::HRESULT CalculationSummaries(const std::string& base, const std::vector<std::string>& names,
                                            std::vector<SummaryPtr>* out) = 0;
  // The same for the libraries `names` under the root base directory `root`.
  virtual com::HRESULT LibrarySummaries(const std::string& root, const std::vector<std::string>& names,
                                        std::vector<LibrarySummaryPtr>* out) = 0;
};

inline bool ReferenceSummary::RefersToCalculation(std::string_view name) const {
  for (const auto& c : calculations)
    if (c == name) return true;
  return false;
}

inline bool ReferenceSummary::RefersToFormula(std::string_view library, std::string_view formula) const {
  if (formula.empty()) {
    for (const auto& l : libraries)
      if (l == library) return true;
  }
  for (const auto& [lib, f] : formulas)
    if (lib == library && (formula.empty() || f == formula)) return true;
  return false;
}

}  // namespace kv::components
