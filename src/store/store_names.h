#pragma once
// The one rule for client-supplied object, folder and application names. A name becomes a path
// under the store directory and is shown to operators in lists and logs, so it must neither
// escape the store nor hide what it is:
// - not empty, at most kMaxNameBytes bytes of well-formed UTF-8;
// - no white space (the creation commands' 169 rule), also none of Unicode's other spaces;
// - no control character (C0, DEL, C1) and no Unicode format character (bidirectional
//   overrides and isolates, byte-order mark, zero-width characters, soft hyphen, ...);
// - no "/", no "..", not "."; a backslash only as the one separator of "<folder>\<calc>";
// - a folder (also the folder part of a calculation) has no ".", which the folder scan reads as
//   a file, and is not "Edit" or "Recycle" in any case, the store's own directories.
// Each command refuses a name that breaks the rule with its own code, before touching any file.
#include <cstddef>
#include <string_view>

namespace kv::store {

enum class NameKind {
  Calculation,  // "Flow1" or "<folder>\Flow1"
  Library,      // one plain name
  Folder,       // a calculation folder
  Application,  // an application's directory under Apps
};

// Room for every suffix the store adds to a name within the 255-byte limit of one file-name
// component: ".zrc" with a temporary's ".tmp-<pid>-<counter>" while it is written (37 bytes at
// most), and in Recycle ".<n>.zrc" and the counter file's ".zrc.last" with that suffix.
inline constexpr size_t kMaxNameBytes = 200;

bool IsValidName(std::string_view name, NameKind kind);

// Shorthands of IsValidName.
inline bool IsSafeCalculationName(std::string_view name) { return IsValidName(name, NameKind::Calculation); }
inline bool IsSafeLibraryName(std::string_view name) { return IsValidName(name, NameKind::Library); }
inline bool IsSafeFolderName(std::string_view name) { return IsValidName(name, NameKind::Folder); }
inline bool IsSafeApplicationName(std::string_view name) { return IsValidName(name, NameKind::Application); }

}  // namespace kv::store
