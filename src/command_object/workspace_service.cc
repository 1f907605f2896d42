#include "command_object/workspace_service.h"

#include "com/class_registry.h"
#include "config/config.h"
#include "platform/env.h"

namespace kv {

com::ComPtr<components::IZrWorkspaceService> g_pWorkspaceService;

com::ComPtr<components::IZrWorkspaceService> CreateWorkspaceService() {
  com::ComPtr<components::IZrWorkspaceService> service;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrWorkspaceService, &service))) return nullptr;
  return service;
}

bool RunGroupInWorkspace(platform::Env& env, const com::Bstr& group, com::Bstr* context) {
  if (!g_pWorkspaceService) g_pWorkspaceService = CreateWorkspaceService();
  com::ComPtr<components::IZrWorkspaceService> service = g_pWorkspaceService;
  if (!service) return false;
  std::string computer = env.system ? env.system->ComputerName() : std::string();
  if (computer.size() > 16) computer.resize(16);
  return com::SUCCEEDED(service->RunWorkspace(com::Bstr::FromUtf8(config::ReadOdmWorkspace(env)), group,
                                              com::Bstr::FromUtf8(computer), context));
}

}  // namespace kv
