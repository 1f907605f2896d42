#pragma once
// Paths: the system builds Windows-form paths ("C:\x\Calc\Flow1.zrc", "base\Calc\A\B.zrc");
// the file system sees them only through ToFsPath, which turns every "\" into "/".
#include <string>
#include <string_view>

namespace kv::platform {

// "\" -> "/". Nothing else changes; an already POSIX path passes unchanged.
std::string ToFsPath(std::string_view winPath);

// Appends `name` to `dir` with exactly one "\" between them.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace kv::platform
