#pragma once
// What both fuzz targets share: a platform in a temporary directory (nothing touches the real
// registry or store), the real components registered, and an application-less main command object.
#include <stdlib.h>

#include <memory>
#include <string>

#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "config/config.h"
#include "engine/engine_registration.h"
#include "log/debug_log.h"

namespace kv::fuzz {

inline CCalcCmdBase& FuzzCommandObject() {
  static std::unique_ptr<ZrCalcCmdObject> cmd = [] {
    char pattern[] = "/tmp/kelvarin-fuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    setenv("KELVARIN_REGISTRY_DIR", (std::string(dir) + "/reg").c_str(), 1);
    setenv("KELVARIN_PROGRAMDATA", dir, 1);
    g_BasePath = std::string(dir) + "/store";
    engine::RegisterEngineClasses(&SharedServerObjects());
    return std::make_unique<ZrCalcCmdObject>();
  }();
  return *cmd;
}

}  // namespace kv::fuzz
