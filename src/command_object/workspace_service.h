#pragma once
// The process's ODM workspace service object: created on first use by schedule execution, used
// and replaced under ScheduleLock, dropped by SetOdmWorkSpace so that the next use creates one for
// the new workspace.
#include "com/unknown.h"
#include "components/workspace_components.h"

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv {

extern com::ComPtr<components::IZrWorkspaceService> g_pWorkspaceService;

// A new workspace service object (any server context); null when the class cannot be created.
com::ComPtr<components::IZrWorkspaceService> CreateWorkspaceService();

// A group pass bound to the ODM workspace: creates g_pWorkspaceService when it is null, then asks
// it for the context to run `group` with, in the configured workspace on this computer (its name
// cut to 16 characters). False when the service cannot be created or refuses; the caller holds
// ScheduleLock.
bool RunGroupInWorkspace(platform::Env& env, const com::Bstr& group, com::Bstr* context);

}  // namespace kv
