#pragma once
// What the lifecycle, edit-copy and folder commands share: the paths of stored objects and
// their edit copies, names through VRRoot, the CalcScript test of the restricted rights and
// the current time as the objects record it.
#include <string>
#include <string_view>

#include "com/dispatch.h"
#include "components/calc_components.h"

namespace kv::store {

// "<base>\Calc\<name>.zrc", "<base>\Calc\Edit\<name>.zrc", "<root>\Lib\<name>.zrc",
// "<root>\Lib\Edit\<name>.zrc".
std::string StoredCalcPath(std::string_view base, std::string_view name);
std::string EditCalcPath(std::string_view base, std::string_view name);
std::string StoredLibPath(std::string_view root, std::string_view name);
std::string EditLibPath(std::string_view root, std::string_view name);
// "<base>\Calc" and "<root>\Lib": the directories RecycleFile takes.
std::string CalcDir(std::string_view base);
std::string LibDir(std::string_view root);

// The edit copy of a client-supplied calculation or library name under `dir` (the base or the
// root directory); "" when the name could leave the store.
std::string EditPathOf(std::string_view dir, std::string_view name, bool calculation);

// IsSafeCalculationName, and the folder part is not one of the store's own directories
// ("Edit", "Recycle"), whose files a folder of that name would collide with.
bool IsStoreCalculationName(std::string_view name);
// IsSafeFolderName, and not "Edit" or "Recycle".
bool IsStoreFolderName(std::string_view name);

// The object's store name through VRRoot (UTF-8); false when it does not answer or fails.
bool VRRootName(com::IUnknown* object, std::string* name);

// A calculation qualifies for the CalcScript-only right when its type is 4; a library when
// every formula answers IZrCalculation with type 4 (an empty library qualifies).
bool IsCalcScriptCalculation(components::IZrCalculation* calc);
bool IsCalcScriptLibrary(components::IZrLibrary* library);

// The object writes itself to `path`; E_NOINTERFACE when it has no file persistence.
com::HRESULT SaveObjectTo(com::IUnknown* object, const std::string& path);

// The current local time as an OLE date, as creation and save times are recorded.
double NowOleDate();

// The first half of every store save of a calculation or library: clear the edit owner, stamp
// the save time and write the object to its edit copy. False when the copy was not written.
template <class Object>
bool WriteClearedEditCopy(Object* object, const std::string& editPath) {
  object->SetOwnerString(com::Bstr(u""));
  object->SetSaveTime(NowOleDate());
  return com::SUCCEEDED(SaveObjectTo(object, editPath));
}

}  // namespace kv::store
