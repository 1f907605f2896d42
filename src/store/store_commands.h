#pragma once
// The store's commands: scans and lists, fetches, cross references, the lifecycle of calculations
// and libraries, their edit copies and folders. Each takes the command object it runs on (its
// last error, directories and access mode) and follows its prologue (command_object/calc_cmd_base.h).
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "command_object/calc_cmd_base.h"
#include "store/object_kind.h"

namespace kv::store {

// True when nothing exists at `path` (a find-first on the path finds nothing).
bool FileIsMissing(CCalcCmdBase& cmd, const std::string& path);
// The calculation scan over "<base>\Calc\*": CMDERR_BASE_DIR_NOT_INITIALIZED and an empty list without a
// base directory.
std::vector<std::string> ListCalculations(CCalcCmdBase& cmd);
// The folder scan over "<base>\Calc\*".
std::vector<std::string> ListCalcFolders(CCalcCmdBase& cmd);
// The library scan over "<root>\Lib\*.zrc".
std::vector<std::string> ListLibraries(CCalcCmdBase& cmd);

// ---- List and fetch commands ---------------------------------------------------------
void GetCalculationList(CCalcCmdBase& cmd, Variant* outVal);
void GetLibraryList(CCalcCmdBase& cmd, Variant* result);
void GetFormulaList(CCalcCmdBase& cmd, IDispatch* library, Variant* result);
ComPtr<IDispatch> GetCalculationObject(CCalcCmdBase& cmd, const Bstr& name);
ComPtr<IDispatch> GetLibraryObject(CCalcCmdBase& cmd, const Bstr& name);
inline ComPtr<IDispatch> GetLibraryObjectEx(CCalcCmdBase& cmd, const Bstr& name) { return GetLibraryObject(cmd, name); }
// Six elements: 0 the calculation names; in their order, 1 each one's VT_I2 summary state (-1
// when the environment holds no object), 2 the VT_I4 number of schedule groups that schedule
// it and 5 the name of the first of them ("" when none); 3 the schedule group names; 4 the
// folders. Walks the schedule holding ScheduleLock (kSiteScheduleCommand).
void GetCalculationSummary(CCalcCmdBase& cmd, Variant* result);

// ---- Cross references (bodies in store/cross_references.cc) --------------------------
// Each clears the last error and asks no right; a missing base directory leaves the
// calculation part empty with CMDERR_BASE_DIR_NOT_INITIALIZED (the scan's). Objects whose file
// is missing or cannot be read are skipped.
//
// The calculations of the calculation scan, in scan order, with a parameter that takes the
// Value of the calculation `calculationName` (exact name): a list result, VT_EMPTY for none.
void CalculationCrossReference(CCalcCmdBase& cmd, const Bstr& calculationName, Variant* result);
// Two elements: 0 the formulas ("<library>.<formula>", library scan then collection order)
// and 1 the calculations (scan order) whose script reaches `libraryName`.`formulaName` on a
// free name; each a list result. An empty `formulaName` asks for any use of the library, as
// LibraryCrossReference does: it listed in "Libraries" or any of its formulas reached.
void FormulaCrossReference(CCalcCmdBase& cmd, const Bstr& libraryName, const Bstr& formulaName, Variant* result);
void LibraryCrossReference(CCalcCmdBase& cmd, const Bstr& libraryName, Variant* result);
// The calculations of the root store with tag parameters on `tagName` (without regard to case)
// whose node matches `nodeName` (store/node_match.h), then the calculations of the "OnDemand"
// application whose "ReturnValue" parameter is such a tag parameter, as one XML text; every
// inserted name is escaped as attribute text. With an empty node or tag: the header and the
// footer only, nothing scanned. Either way the object is left on the "OnDemand" application
// directory (checks off), whose store layout is made when missing.
Bstr FindReferences(CCalcCmdBase& cmd, const Bstr& nodeName, const Bstr& tagName);

// ---- Lifecycle, edit copies, folders -------------------------------------------------
// Every command here starts with ResetLastError (CancelEdit after its gate and directory test), sets exactly one
// error on failure and returns false / null. Names supplied by a client that could leave the store (see
// store/store_names.h) are refused with the command's error for an unknown object (CMDERR_NAME_HAS_SPACES
// on creation) before any file is touched. Calculations live under the calculation base directory,
// libraries under the root base directory. Calculation and library commands that create, change, move or
// delete stored objects or edit copies (and SetObjectPassword, GetCalculationEditObject, which rewrites the
// copy) ask for the full right, then the CalcScript-only one (CMDERR_DENIED_CALC / CMDERR_DENIED_LIBRARY
// when neither is held), right after clearing the error; a caller with only the latter gets
// CMDERR_DENIED_NONSCRIPT_CALC / CMDERR_DENIED_NONSCRIPT_LIBRARY for an object that is not CalcScript
// (for discarded edit copies: the copy on disk). The library store is shared, so library commands ask even
// on an application object.
//
// A new calculation, stored only as an edit copy owned by (userId, password) taken as node and editor;
// CMDERR_NAME_HAS_SPACES (white space or unsafe name), CMDERR_NAME_EXISTS (stored),
// CMDERR_ALREADY_BEING_EDITED (edit copy), CMDERR_OBJECT_INIT, CMDERR_SAVE_OBJECT.
ComPtr<IDispatch> CreateCalculationObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& userId, const Bstr& password);
ComPtr<IDispatch> CreateLibraryObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor);
// Clears the edit owner, writes the edit copy and moves it over the stored file in one atomic step (the
// main store first keeps the replaced content in Recycle); the environment drops its object of that name.
// CMDERR_VRROOT_INTERFACE (no name), CMDERR_DENIED_NONSCRIPT_CALC, CMDERR_SAVE_EDIT_OBJECT (edit copy not
// written), CMDERR_SAVE_OBJECT (not moved).
bool SaveCalculationObject(CCalcCmdBase& cmd, IDispatch* object);
// Stores the object under `newName` and removes its current stored file (into Recycle for
// the main store); the object keeps its name. CMDERR_NAME_EXISTS when `newName` is stored and !overWrite.
bool SaveCalculationObjectAs(CCalcCmdBase& cmd, IDispatch* object, const Bstr& newName, bool overWrite);
bool SaveLibraryObject(CCalcCmdBase& cmd, IDispatch* library);
// A copy: the current stored library stays. CMDERR_NAME_EXISTS as above, CMDERR_ALREADY_BEING_EDITED while
// `newName` is edited.
bool SaveLibraryObjectAs(CCalcCmdBase& cmd, IDispatch* library, const Bstr& newName, bool overWrite);
// SaveLibraryObject, then tells the environment which formula was saved.
bool SaveLibraryFormula(CCalcCmdBase& cmd, IDispatch* library, const Bstr& formulaName);
// CMDERR_INVALID_CALCULATION_NAME, CMDERR_GET_CALCULATION_OBJECT, CMDERR_DENIED_NONSCRIPT_CALC,
// CMDERR_CURRENTLY_EDITED (edit copy present, tested before the password), CMDERR_INVALID_PASSWORD,
// CMDERR_DELETE_EDIT_FILE.
bool DeleteCalculationObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& userId, const Bstr& password);
// CMDERR_DENIED_NONSCRIPT_LIBRARY, CMDERR_INVALID_LIBRARY_NAME, CMDERR_INVALID_PASSWORD,
// CMDERR_DELETE_EDIT_FILE; the edit copy is not consulted.
bool DeleteLibraryObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& userId, const Bstr& password);
// Puts "ID" and the code of `newPassword` when `oldPassword` matches (CMDERR_INVALID_PASSWORD otherwise); the
// object is not saved.
bool SetObjectPassword(CCalcCmdBase& cmd, IDispatch* object, const Bstr& oldUserId, const Bstr& oldPassword, const Bstr& newUserId,
                       const Bstr& newPassword);
// `propertyList`: one name (result VT_BOOL) or an array of names (result: an array with one
// VT_BOOL 1 / 0 per name). A name may be a dotted path through object-valued properties.
// Get clears *propertyValues first, then fills it with the value or an array of values.
// CMDERR_INVALID_ARGUMENTS and VT_BOOL false for a missing object or a list of another type.
Variant GetObjectProperties(CCalcCmdBase& cmd, IDispatch* object, const Variant& propertyList, Variant* propertyValues);
Variant SetObjectProperties(CCalcCmdBase& cmd, IDispatch* object, const Variant& propertyList, const Variant& propertyValues);
// Does nothing; the previous error stays readable.
inline bool AttachLibrary(CCalcCmdBase&, IDispatch*, const Bstr&) { return true; }

// Open an edit copy for node/editor: CMDERR_NODE_EDITOR_REQUIRED, CMDERR_INVALID_CALCULATION_NAME /
// CMDERR_INVALID_LIBRARY_NAME, CMDERR_ALREADY_BEING_EDITED, CMDERR_GET_CALCULATION_OBJECT,
// CMDERR_DENIED_NONSCRIPT_CALC / CMDERR_DENIED_NONSCRIPT_LIBRARY, CMDERR_INVALID_PASSWORD,
// CMDERR_SAVE_EDIT_OBJECT / CMDERR_LOAD_FROM_FILE.
ComPtr<IDispatch> CreateCalculationEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor,
                                              const Bstr& userId, const Bstr& password);
ComPtr<IDispatch> CreateLibraryEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor, const Bstr& userId,
                                          const Bstr& password);
// Reopen an edit copy for the node and editor recorded in it (compared exactly): CMDERR_NOT_BEING_EDITED,
// CMDERR_LOAD_FROM_FILE, CMDERR_CDB_FIELD_ACCESS (library owner unreadable), CMDERR_EDITED_BY_OTHER_USER
// (another owner, or none recorded).
ComPtr<IDispatch> GetCalculationEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor);
ComPtr<IDispatch> GetLibraryEditObject(CCalcCmdBase& cmd, const Bstr& name, const Bstr& node, const Bstr& editor);
// Write the object to its edit copy, owner unchanged: CMDERR_VRROOT_INTERFACE, CMDERR_SAVE_EDIT_OBJECT.
bool SaveCalculationEditObject(CCalcCmdBase& cmd, IDispatch* object);
bool SaveLibraryEditObject(CCalcCmdBase& cmd, IDispatch* library);
// Discard the edit copy for good: CMDERR_NOT_BEING_EDITED (calculation) / CMDERR_INVALID_LIBRARY_NAME
// (library) without one, CMDERR_DELETE_EDIT_FILE.
bool DeleteCalculationEditObject(CCalcCmdBase& cmd, const Bstr& name);
bool DeleteLibraryEditObject(CCalcCmdBase& cmd, const Bstr& name);
// Deletes the edit copy of a calculation or library object (result not examined); false
// without a code for any other object. The gate, then CMDERR_BASE_DIR_NOT_INITIALIZED, come before the last
// error is cleared.
bool CancelEdit(CCalcCmdBase& cmd, IDispatch* object);
// The parts of the object's "EditOwner"; a part that is empty leaves its output as it was.
// CMDERR_CDB_FIELD_ACCESS when the property is not a string.
bool GetEditOwner(CCalcCmdBase& cmd, IDispatch* object, Bstr* node, Bstr* editor, Bstr* date);
// The same for the object the environment holds for the name; CMDERR_LOAD_FROM_FILE when it holds none.
bool GetCalculationEditOwner(CCalcCmdBase& cmd, const Bstr& name, Bstr* node, Bstr* editor, Bstr* date);
bool GetLibraryEditOwner(CCalcCmdBase& cmd, const Bstr& name, Bstr* node, Bstr* editor, Bstr* date);

// A folder is "<base>\Calc\<name>" with "<base>\Calc\Edit\<name>"; each command keeps the
// two together, undoing its first step when the second fails. Each asks the full calculation right first
// (CMDERR_DENIED_CALC); other failures are CMDERR_CATCH_ALL with the command's own text.
bool CreateCalcFolder(CCalcCmdBase& cmd, const Bstr& folderName);
bool DeleteCalcFolder(CCalcCmdBase& cmd, const Bstr& folderName);
bool RenameCalcFolder(CCalcCmdBase& cmd, const Bstr& oldFolderName, const Bstr& newFolderName);

// Whether the stored password code of `object` ("Password") equals the code of `password`.
bool PasswordMatches(IDispatch* object, const Bstr& password);
// Takes "<storeDir>\<name>.zrc" out of the store. The main store (m_accessMode 0) moves it to
// "<storeDir>\Recycle\<name>.zrc", or "<name>.<n>.zrc" with the first free n, never
// replacing an earlier deletion; an application store deletes it for good. With
// `keepStored` the file stays where it is: the main store keeps a copy of its content in
// Recycle (it is about to be replaced), an application store does nothing. True on success.
bool RecycleFile(CCalcCmdBase& cmd, const std::string& storeDir, const std::string& name, bool keepStored = false);
// Renames `source` over `target` in one atomic step; the target is never missing meanwhile.
bool MoveOverFile(CCalcCmdBase& cmd, const std::string& source, const std::string& target);
// Where objects of `kind` live: the calculation base directory (CMDERR_BASE_DIR_NOT_INITIALIZED when it is
// not set) or the root base directory.
bool StoreDirectory(CCalcCmdBase& cmd, const ObjectKind& kind, std::string* dir);
// The environment's object for a stored name of `kind`; null when it gives none.
ComPtr<IDispatch> StoredObject(CCalcCmdBase& cmd, const ObjectKind& kind, const Bstr& name);
// The store name of an object a client passed, through VRRoot: CMDERR_VRROOT_INTERFACE when it has none,
// CMDERR_INVALID_CALCULATION_NAME / CMDERR_INVALID_LIBRARY_NAME when the name could leave the store.
bool StoreNameOf(CCalcCmdBase& cmd, IDispatch* object, bool calculation, std::string* name);
// For a caller holding only the CalcScript right (`scriptOnly`): CMDERR_DENIED_NONSCRIPT_CALC /
// CMDERR_DENIED_NONSCRIPT_LIBRARY, and true, when `object` is not a CalcScript calculation / library.
bool RefusedAsNonScript(CCalcCmdBase& cmd, bool scriptOnly, IDispatch* object, bool calculation);

// For a command about to change `object` in place (a load, new parameters, moved servers). An
// object held for every client (components::ISharedObject marks it: a main-store calculation, a
// library the environment holds, a part of either, the units table or the schedule) is changed
// only with the right its kind's commands ask, whatever the access mode: clears the last error,
// then the two-right rule of calculations (CMDERR_DENIED_CALC) or libraries (CMDERR_DENIED_LIBRARY),
// with CMDERR_DENIED_NONSCRIPT_CALC / CMDERR_DENIED_NONSCRIPT_LIBRARY when only the CalcScript right
// is held and the object is not CalcScript; the units or the schedule right. False when refused.
// True for any other object, asking nothing and leaving the last error alone.
bool MayChangeInPlace(CCalcCmdBase& cmd, com::IUnknown* object);
// Whether the object is marked as held for every client.
bool IsSharedObject(com::IUnknown* object);

// The two-right rule for objects of `kind` (body in store/store_objects.cc): calculations
// live in this object's store, libraries in the shared one.
CCalcCmdBase::Grant CheckRightsFor(CCalcCmdBase& cmd, const ObjectKind& kind);

// The two lists of FormulaCrossReference; an empty `formula` asks for the library at all.
void FormulaUsers(CCalcCmdBase& cmd, const std::string& library, const std::string& formula, Variant* result);

}  // namespace kv::store
