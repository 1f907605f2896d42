#pragma once
// What crashes and vanished clients leave in a store, cleared before the first command runs.
#include <string>

#include "platform/env.h"

namespace kv::store {

struct StartupCleanup {
  int temporaries = 0;  // leftover temporary files removed
  int orphans = 0;      // edit copies nobody owns, moved to Recycle
};

// Over the store under `root` and every application store below "<root>\Apps":
// - removes the server's own temporary files ("<file>.tmp-<pid>-<n>" of an atomic write,
//   "<prefix>.<pid>-<n>.tmp" of a Recycle copy) last written before now, so a writer that is
//   still at work elsewhere keeps its file; one log line gives their number;
// - moves each edit copy whose owner names no node or no editor (written by a save or an
//   edit that never finished, or created with a blank user id by a client that is gone: no
//   command can take it over, so the name would stay "being edited") to Recycle, one log line
//   each.
// Run at start-up, before any client can hold an edit copy.
StartupCleanup CleanStoreAtStartup(platform::Env& env, const std::string& root);

// Whether `name` (a file name, no folder) is one of the temporary names above.
bool IsLeftoverTemporaryName(const std::string& name);

}  // namespace kv::store
