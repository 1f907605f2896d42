#include "command_object/workspace_service.h"

#include "com/class_registry.h"

namespace kv {

com::ComPtr<components::IZrWorkspaceService> g_pWorkspaceService;

com::ComPtr<components::IZrWorkspaceService> CreateWorkspaceService() {
  com::ComPtr<components::IZrWorkspaceService> service;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrWorkspaceService, &service))) return nullptr;
  return service;
}

}  // namespace kv
