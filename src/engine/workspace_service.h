#pragma once
// ZrWorkspaceService: the embedded ODM workspace service. A workspace is a subkey of
// HKLM "SOFTWARE\Kelvarin\Workspaces" in the registry store; its REG_SZ value "TagDatabase" is
// the path of the workspace's tag database (an SQLite file). Nothing is cached: every call reads
// the registry store of the server's platform, so a new service object sees every change.
#include "components/workspace_components.h"

namespace kv::engine {

using com::HRESULT;

inline constexpr char kWorkspacesKey[] = "SOFTWARE\\Kelvarin\\Workspaces";
inline constexpr char kTagDatabaseValue[] = "TagDatabase";

class ZrWorkspaceService : public com::ComObject<components::IZrWorkspaceService> {
 public:
  // The subkey names in the registry store's order; VT_EMPTY when there are none.
  HRESULT ListWorkspaces(com::Variant* names) override;
  // "Workspace 'W': ..." saying whether the tag database opens as an SQLite file, or why not.
  // S_OK when it opens, S_FALSE otherwise (the report says why).
  HRESULT TestConnection(const com::Bstr& workspace, com::Bstr* report) override;
  // "Workspace=W;Group=G;Computer=C;TagDatabase=P"; E_INVALIDARG for an unknown workspace.
  HRESULT RunWorkspace(const com::Bstr& workspace, const com::Bstr& group, const com::Bstr& computer,
                       com::Bstr* context) override;
};

}  // namespace kv::engine
