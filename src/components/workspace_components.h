#pragma once
// What the system asks of the ODM workspace service: the list of configured workspaces, a
// one-line connection report, and the context string a schedule group's run is given. Created
// for each use by class identifier and released after it. Its insides live in src/engine/.
#include "components/calc_components.h"

namespace kv::components {

inline constexpr com::CLSID CLSID_ZrWorkspaceService = com::MakeGuid("E4CB31B1-D9E4-404D-BDAE-8E58A0F31208");
inline constexpr com::IID IID_IZrWorkspaceService = com::MakeGuid("854A7FBA-43B9-405C-830A-D8702EB6AEC7");

class IZrWorkspaceService : public virtual IUnknown {
 public:
  // The configured workspace names as a list result (VT_ARRAY|VT_VARIANT of VT_BSTR), VT_EMPTY
  // when none is configured.
  virtual HRESULT ListWorkspaces(Variant* names) = 0;
  // One line saying whether the workspace's tag database opens, and why not when it does not.
  virtual HRESULT TestConnection(const Bstr& workspace, Bstr* report) = 0;
  // The context a run of `group` on `computer` gets under `workspace`: the text the scheduler
  // hands to the group's Execute. A negative result (and a null context) for a workspace that is
  // not configured.
  virtual HRESULT RunWorkspace(const Bstr& workspace, const Bstr& group, const Bstr& computer, Bstr* context) = 0;
};

}  // namespace kv::components
