#pragma once
// The store's name lists as scans over a given file system, so that a cache can run them
// through a file system that records which folders they read.
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kv::store {

// The calculations of the store whose base directory is `base`: "<name>" for a file in its Calc
// folder, "<folder>\<name>" for one a level down, in the order the folders list them.
std::vector<std::string> ScanCalculations(platform::FileSystem& fs, const std::string& base);
// The libraries under the root base directory `root`.
std::vector<std::string> ScanLibraries(platform::FileSystem& fs, const std::string& root);

}  // namespace kv::store
