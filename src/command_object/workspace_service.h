#pragma once
// The process's ODM workspace service object: created on first use by schedule execution, used
// and replaced under ScheduleLock, dropped by SetOdmWorkSpace so that the next use creates one for
// the new workspace.
#include "com/unknown.h"
#include "components/workspace_components.h"

namespace kv {

extern com::ComPtr<components::IZrWorkspaceService> g_pWorkspaceService;

// A new workspace service object (any server context); null when the class cannot be created.
com::ComPtr<components::IZrWorkspaceService> CreateWorkspaceService();

}  // namespace kv
