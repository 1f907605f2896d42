#pragma once
// Recycle: what saves and deletions keep of the main store's objects, at most g_RecycleCopies
// copies per object name (the oldest go first).
#include <string>

#include "platform/file_system.h"

namespace kv::store {

// Moves the file `from` into the Recycle directory of `storeDir` ("<base>\Calc" or
// "<root>\Lib") as the newest copy of the object `name`. False when it could not be moved.
bool MoveIntoRecycle(platform::FileSystem& fs, const std::string& storeDir, const std::string& name,
                     const std::string& from);

}  // namespace kv::store
