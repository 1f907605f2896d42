#pragma once
// Which client-supplied names may reach the file system. A name is substituted into a path under
// the store directory, so one that is absolute, climbs out with "..", carries a "/" or a NUL, or
// has more folder levels than the store knows would escape or confuse the store. Commands refuse
// such names as they refuse a name without a file (or with CMDERR_NAME_HAS_SPACES on creation), touching nothing.
#include <string_view>

namespace kv::store {

// A calculation: "Flow1" or "Folder\Flow1" (one backslash, both parts non-empty).
bool IsSafeCalculationName(std::string_view name);
// A library, a calculation folder or an application: one plain, non-empty path component.
bool IsSafeLibraryName(std::string_view name);
bool IsSafeFolderName(std::string_view name);
bool IsSafeApplicationName(std::string_view name);

}  // namespace kv::store
