#pragma once
// What the lifecycle, edit-copy and folder commands share: the paths of stored objects and
// their edit copies, names through VRRoot, the CalcScript test of the restricted rights and
// the current time as the objects record it.
#include <string>
#include <string_view>

#include "base/store_layout.h"
#include "com/dispatch.h"
#include "components/calc_components.h"
#include "platform/env.h"

namespace kv::store {

// The paths of stored objects and edit copies (base/store_layout.h).
using layout::CalcDir;
using layout::EditCalcPath;
using layout::EditLibPath;
using layout::LibDir;
using layout::StoredCalcPath;
using layout::StoredLibPath;

// The edit copy of a client-supplied calculation or library name under `dir` (the base or the
// root directory); "" when the name could leave the store.
std::string EditPathOf(std::string_view dir, std::string_view name, bool calculation);

// The name rule of store/store_names.h for a calculation and for a folder.
bool IsStoreCalculationName(std::string_view name);
bool IsStoreFolderName(std::string_view name);

// The object's store name through VRRoot (UTF-8); false when it does not answer or fails.
bool VRRootName(com::IUnknown* object, std::string* name);

// A calculation qualifies for the CalcScript-only right when its type is 4; a library when
// every formula answers IZrCalculation with type 4 (an empty library qualifies).
bool IsCalcScriptCalculation(components::IZrCalculation* calc);
bool IsCalcScriptLibrary(components::IZrLibrary* library);

// The object writes itself to `path`; E_NOINTERFACE when it has no file persistence.
com::HRESULT SaveObjectTo(com::IUnknown* object, const std::string& path);

// The current local time of `env` as an OLE date, as creation and save times are recorded.
double NowOleDate(const platform::Env& env);

// The first half of every store save of a calculation or library: clear the edit owner, stamp
// the save time and write the object to its edit copy. False when the copy was not written.
template <class Object>
bool WriteClearedEditCopy(Object* object, const std::string& editPath, double now) {
  object->SetOwnerString(com::Bstr(u""));
  object->SetSaveTime(now);
  return com::SUCCEEDED(SaveObjectTo(object, editPath));
}

}  // namespace kv::store
