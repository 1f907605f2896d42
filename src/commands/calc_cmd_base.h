#pragma once
// The command object: carries out every command of both dispatch interfaces and holds the state
// of one client object (store directory, whether permission checks apply, the last error). One
// per dispatch object, never shared, always called on that object's apartment thread: no lock.
//
// Every command follows the same prologue: ResetLastError; the permission check when m_accessMode is 0
// (always for the shared library store and units table); GetBaseDirectory (CMDERR_BASE_DIR_NOT_INITIALIZED
// when unset) or GetRootDirectory; then the work, where each failure sets exactly one error and returns the
// command's failure value.
#include <cstdint>
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "platform/env.h"

namespace kv {

namespace components {
class IZrScheduleGroup;
}  // namespace components
namespace store {
struct ObjectKind;
}  // namespace store

using com::Bstr;
using com::ComPtr;
using com::IDispatch;
using com::Variant;

// The dynamic-creation record of a command object class.
struct CommandRuntimeClass {
  const char* className;
  size_t objectSize;
  unsigned schema;
};

class CCalcCmdBase {
 public:
  // m_accessMode values: checks run / application object with its directory set, checks skipped.
  static constexpr int32_t kAccessChecked = 0;
  static constexpr int32_t kAccessApplication = 9;
  // Bit 0 of m_dirFlags: m_baseDir has been set.
  static constexpr uint32_t kDirSet = 1;

  // `env` is the platform every command of this object works on (files, clock).
  explicit CCalcCmdBase(platform::Env& env = platform::Env::Current()) : m_env(&env) {}
  virtual ~CCalcCmdBase() = default;
  CCalcCmdBase(const CCalcCmdBase&) = delete;
  CCalcCmdBase& operator=(const CCalcCmdBase&) = delete;

  virtual const CommandRuntimeClass* GetRuntimeClass() const;

  // ---- Last error ----------------------------------------------------------------------
  void ResetLastError();
  // The table text of `code`, or "Undefined Error Code: %ld (0x%X)" when it has none.
  void SetCommandError(long code);
  // A command's own text (every caller passes CMDERR_CATCH_ALL).
  void SetCommandError(const std::string& text, long code);
  // Code through `code`, text as the result; reading does not clear it.
  Bstr GetLastCommandError(long* code) const;
  // The text alone.
  Bstr GetLastErrorText() const {
    long code = 0;
    return GetLastCommandError(&code);
  }

  // ---- Directories ---------------------------------------------------------------------
  // Empty name: rooted at g_BasePath with checks on. Otherwise "<g_BasePath>\Apps\<name>",
  // creating Calc, Calc\Edit, Lib and Lib\Edit there (results not checked), checks off.
  // Always true.
  bool SetBaseDirectory(const std::string& appName);
  // True and m_baseDir when it has been set; false and "" otherwise.
  bool GetBaseDirectory(std::string* dir) const;
  // Prologue step 3: GetBaseDirectory, setting CMDERR_BASE_DIR_NOT_INITIALIZED when it is not set.
  bool RequireBaseDirectory(std::string* dir);
  // The root base directory g_BasePath; always true.
  bool GetRootDirectory(std::string* dir) const;
  // "<m_baseDir>\<name>" exists, or is created (one level); whether it is there afterwards.
  bool EnsureSubdirectory(const std::string& name);
  // Fills `value` with the list result; an empty list leaves `value` as it was.
  static void StringArrayToVariant(const std::vector<std::string>& list, Variant* value);

  // ---- Store layout and scans ----------------------------------------------------------
  // The platform this object works on, and its file system.
  platform::Env& Env() const { return *m_env; }
  platform::FileSystem& Fs() const { return *m_env->fs; }
  // True when nothing exists at `path` (a find-first on the path finds nothing).
  bool FileIsMissing(const std::string& path) const;
  // False as soon as any character is white space (space, \t, \r, \n, \v, \f).
  static bool NameHasNoWhiteSpace(const std::string& name);
  // The calculation scan over "<base>\Calc\*": CMDERR_BASE_DIR_NOT_INITIALIZED and an empty list without a
  // base directory.
  std::vector<std::string> ListCalculations();
  // The folder scan over "<base>\Calc\*".
  std::vector<std::string> ListCalcFolders();
  // The library scan over "<root>\Lib\*.zrc".
  std::vector<std::string> ListLibraries();

  // ---- List and fetch commands ---------------------------------------------------------
  void GetCalculationList(Variant* outVal);
  void GetLibraryList(Variant* result);
  void GetFormulaList(IDispatch* library, Variant* result);
  ComPtr<IDispatch> GetCalculationObject(const Bstr& name);
  ComPtr<IDispatch> GetLibraryObject(const Bstr& name);
  ComPtr<IDispatch> GetLibraryObjectEx(const Bstr& name) { return GetLibraryObject(name); }
  // Six elements: 0 the calculation names; in their order, 1 each one's VT_I2 summary state (-1
  // when the environment holds no object), 2 the VT_I4 number of schedule groups that schedule
  // it and 5 the name of the first of them ("" when none); 3 the schedule group names; 4 the
  // folders. Walks the schedule holding ScheduleLock (site 211).
  void GetCalculationSummary(Variant* result);

  // ---- Cross references (bodies in store/cross_references.cc) --------------------------
  // Each clears the last error and asks no right; a missing base directory leaves the
  // calculation part empty with CMDERR_BASE_DIR_NOT_INITIALIZED (the scan's). Objects whose file
  // is missing or cannot be read are skipped.
  //
  // The calculations of the calculation scan, in scan order, with a parameter that takes the
  // Value of the calculation `calculationName` (exact name): a list result, VT_EMPTY for none.
  void CalculationCrossReference(const Bstr& calculationName, Variant* result);
  // Two elements: 0 the formulas ("<library>.<formula>", library scan then collection order)
  // and 1 the calculations (scan order) whose script reaches `libraryName`.`formulaName` on a
  // free name; each a list result. An empty `formulaName` asks for any use of the library, as
  // LibraryCrossReference does: it listed in "Libraries" or any of its formulas reached.
  void FormulaCrossReference(const Bstr& libraryName, const Bstr& formulaName, Variant* result);
  void LibraryCrossReference(const Bstr& libraryName, Variant* result);
  // The calculations of the root store with tag parameters on `tagName` (without regard to case)
  // whose node matches `nodeName` (store/node_match.h), then the calculations of the "OnDemand"
  // application whose "ReturnValue" parameter is such a tag parameter, as one XML text; every
  // inserted name is escaped as attribute text. With an empty node or tag: the header and the
  // footer only. Otherwise the object is left on the "OnDemand" application directory (checks
  // off), whose store layout is made when missing.
  Bstr FindReferences(const Bstr& nodeName, const Bstr& tagName);

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
  ComPtr<IDispatch> CreateCalculationObject(const Bstr& name, const Bstr& userId, const Bstr& password);
  ComPtr<IDispatch> CreateLibraryObject(const Bstr& name, const Bstr& node, const Bstr& editor);
  // Clears the edit owner, writes the edit copy and moves it over the stored file in one atomic step (the
  // main store first keeps the replaced content in Recycle); the environment drops its object of that name.
  // CMDERR_VRROOT_INTERFACE (no name), CMDERR_DENIED_NONSCRIPT_CALC, CMDERR_SAVE_EDIT_OBJECT (edit copy not
  // written), CMDERR_SAVE_OBJECT (not moved).
  bool SaveCalculationObject(IDispatch* object);
  // Stores the object under `newName` and removes its current stored file (into Recycle for
  // the main store); the object keeps its name. CMDERR_NAME_EXISTS when `newName` is stored and !overWrite.
  bool SaveCalculationObjectAs(IDispatch* object, const Bstr& newName, bool overWrite);
  bool SaveLibraryObject(IDispatch* library);
  // A copy: the current stored library stays. CMDERR_NAME_EXISTS as above, CMDERR_ALREADY_BEING_EDITED while
  // `newName` is edited.
  bool SaveLibraryObjectAs(IDispatch* library, const Bstr& newName, bool overWrite);
  // SaveLibraryObject, then tells the environment which formula was saved.
  bool SaveLibraryFormula(IDispatch* library, const Bstr& formulaName);
  // CMDERR_INVALID_CALCULATION_NAME, CMDERR_GET_CALCULATION_OBJECT, CMDERR_DENIED_NONSCRIPT_CALC,
  // CMDERR_CURRENTLY_EDITED (edit copy present, tested before the password), CMDERR_INVALID_PASSWORD,
  // CMDERR_DELETE_EDIT_FILE.
  bool DeleteCalculationObject(const Bstr& name, const Bstr& userId, const Bstr& password);
  // CMDERR_DENIED_NONSCRIPT_LIBRARY, CMDERR_INVALID_LIBRARY_NAME, CMDERR_INVALID_PASSWORD,
  // CMDERR_DELETE_EDIT_FILE; the edit copy is not consulted.
  bool DeleteLibraryObject(const Bstr& name, const Bstr& userId, const Bstr& password);
  // Puts "ID" and the code of `newPassword` when `oldPassword` matches (CMDERR_INVALID_PASSWORD otherwise); the
  // object is not saved.
  bool SetObjectPassword(IDispatch* object, const Bstr& oldUserId, const Bstr& oldPassword, const Bstr& newUserId,
                         const Bstr& newPassword);
  // `propertyList`: one name (result VT_BOOL) or an array of names (result: an array with one
  // VT_BOOL 1 / 0 per name). A name may be a dotted path through object-valued properties.
  // Get clears *propertyValues first, then fills it with the value or an array of values.
  // CMDERR_INVALID_ARGUMENTS and VT_BOOL false for a missing object or a list of another type.
  Variant GetObjectProperties(IDispatch* object, const Variant& propertyList, Variant* propertyValues);
  Variant SetObjectProperties(IDispatch* object, const Variant& propertyList, const Variant& propertyValues);
  // Does nothing; the previous error stays readable.
  bool AttachLibrary(IDispatch* object, const Bstr& libraryName) { return true; }

  // Open an edit copy for node/editor: CMDERR_NODE_EDITOR_REQUIRED, CMDERR_INVALID_CALCULATION_NAME /
  // CMDERR_INVALID_LIBRARY_NAME, CMDERR_ALREADY_BEING_EDITED, CMDERR_GET_CALCULATION_OBJECT,
  // CMDERR_DENIED_NONSCRIPT_CALC / CMDERR_DENIED_NONSCRIPT_LIBRARY, CMDERR_INVALID_PASSWORD,
  // CMDERR_SAVE_EDIT_OBJECT / CMDERR_LOAD_FROM_FILE.
  ComPtr<IDispatch> CreateCalculationEditObject(const Bstr& name, const Bstr& node, const Bstr& editor,
                                                const Bstr& userId, const Bstr& password);
  ComPtr<IDispatch> CreateLibraryEditObject(const Bstr& name, const Bstr& node, const Bstr& editor, const Bstr& userId,
                                            const Bstr& password);
  // Reopen an edit copy for the node and editor recorded in it (compared exactly): CMDERR_NOT_BEING_EDITED,
  // CMDERR_LOAD_FROM_FILE, CMDERR_CDB_FIELD_ACCESS (library owner unreadable), CMDERR_EDITED_BY_OTHER_USER
  // (another owner, or none recorded).
  ComPtr<IDispatch> GetCalculationEditObject(const Bstr& name, const Bstr& node, const Bstr& editor);
  ComPtr<IDispatch> GetLibraryEditObject(const Bstr& name, const Bstr& node, const Bstr& editor);
  // Write the object to its edit copy, owner unchanged: CMDERR_VRROOT_INTERFACE, CMDERR_SAVE_EDIT_OBJECT.
  bool SaveCalculationEditObject(IDispatch* object);
  bool SaveLibraryEditObject(IDispatch* library);
  // Discard the edit copy for good: CMDERR_NOT_BEING_EDITED (calculation) / CMDERR_INVALID_LIBRARY_NAME
  // (library) without one, CMDERR_DELETE_EDIT_FILE.
  bool DeleteCalculationEditObject(const Bstr& name);
  bool DeleteLibraryEditObject(const Bstr& name);
  // Deletes the edit copy of a calculation or library object (result not examined); false
  // without a code for any other object. The gate, then CMDERR_BASE_DIR_NOT_INITIALIZED, come before the last
  // error is cleared.
  bool CancelEdit(IDispatch* object);
  // The parts of the object's "EditOwner"; a part that is empty leaves its output as it was.
  // CMDERR_CDB_FIELD_ACCESS when the property is not a string.
  bool GetEditOwner(IDispatch* object, Bstr* node, Bstr* editor, Bstr* date);
  // The same for the object the environment holds for the name; CMDERR_LOAD_FROM_FILE when it holds none.
  bool GetCalculationEditOwner(const Bstr& name, Bstr* node, Bstr* editor, Bstr* date);
  bool GetLibraryEditOwner(const Bstr& name, Bstr* node, Bstr* editor, Bstr* date);

  // A folder is "<base>\Calc\<name>" with "<base>\Calc\Edit\<name>"; each command keeps the
  // two together, undoing its first step when the second fails. Each asks the full calculation right first
  // (CMDERR_DENIED_CALC); other failures are CMDERR_CATCH_ALL with the command's own text.
  bool CreateCalcFolder(const Bstr& folderName);
  bool DeleteCalcFolder(const Bstr& folderName);
  bool RenameCalcFolder(const Bstr& oldFolderName, const Bstr& newFolderName);

  // Whether the stored password code of `object` ("Password") equals the code of `password`.
  static bool PasswordMatches(IDispatch* object, const Bstr& password);
  // Takes "<storeDir>\<name>.zrc" out of the store. The main store (m_accessMode 0) moves it to
  // "<storeDir>\Recycle\<name>.zrc", or "<name>.<n>.zrc" with the first free n, never
  // replacing an earlier deletion; an application store deletes it for good. With
  // `keepStored` the file stays where it is: the main store keeps a copy of its content in
  // Recycle (it is about to be replaced), an application store does nothing. True on success.
  bool RecycleFile(const std::string& storeDir, const std::string& name, bool keepStored = false);
  // Renames `source` over `target` in one atomic step; the target is never missing meanwhile.
  bool MoveOverFile(const std::string& source, const std::string& target);
  // Where objects of `kind` live: the calculation base directory (CMDERR_BASE_DIR_NOT_INITIALIZED when it is
  // not set) or the root base directory.
  bool StoreDirectory(const store::ObjectKind& kind, std::string* dir);
  // The environment's object for a stored name of `kind`; null when it gives none.
  ComPtr<IDispatch> StoredObject(const store::ObjectKind& kind, const Bstr& name);
  // The store name of an object a client passed, through VRRoot: CMDERR_VRROOT_INTERFACE when it has none,
  // CMDERR_INVALID_CALCULATION_NAME / CMDERR_INVALID_LIBRARY_NAME when the name could leave the store.
  bool StoreNameOf(IDispatch* object, bool calculation, std::string* name);
  // For a caller holding only the CalcScript right (`scriptOnly`): CMDERR_DENIED_NONSCRIPT_CALC /
  // CMDERR_DENIED_NONSCRIPT_LIBRARY, and true, when `object` is not a CalcScript calculation / library.
  bool RefusedAsNonScript(bool scriptOnly, IDispatch* object, bool calculation);
  // SetCommandError(code), then the failure value: `return Failed(CMDERR_...);`.
  bool Failed(long code) {
    SetCommandError(code);
    return false;
  }
  ComPtr<IDispatch> NoObject(long code) {
    SetCommandError(code);
    return nullptr;
  }

  // ---- Schedule run times and units ----------------------------------------------------
  // Bodies in scheduler/run_time_commands.cc and units/units_commands.cc.
  //
  // Steps "schedule" and "group": CMDERR_SCHEDULE_NOT_FOUND without a schedule, CMDERR_INVALID_SCHEDULE_GROUP
  // when it has no group of that name; true and the group otherwise.
  bool RequireScheduleGroup(const Bstr& groupName, ComPtr<components::IZrScheduleGroup>* group);
  // The group's next start time from now: stored (local) in *newRunTime when that is not null,
  // and set as its ComputedRunTime (UTC); the schedule is saved. CMDERR_CDB_FIELD_ACCESS when a timing property
  // cannot be read. NextRunTime and NextRunTimeUtc are left alone. No lock, no permission.
  bool ComputeNewRunTime(const Bstr& groupName, double* newRunTime);
  // The calendar rule (scheduler/run_times.h) at LocalNow. Neither clears nor sets the error.
  double ComputeNextStartTime(double rate, double offset, long dayOfMonth, long dayOfWeek);
  // Sets the group's ComputedRunTime to the local `newTime` in UTC (0 and below unconverted) and
  // saves; CMDERR_CDB_FIELD_ACCESS when the group refuses it.
  bool SetComputedRunTime(const Bstr& groupName, double newTime);
  // The group's ExecutionTime in *executionTime, which is -1 on every failure; CMDERR_CDB_FIELD_ACCESS when it
  // cannot be read.
  bool GetScheduleExecutionTime(const Bstr& groupName, long* executionTime);
  // The offset from UTC in days (positive west) at the local `dateTime`, or now when it is 0.0.
  // Neither clears nor sets the error.
  double GetServerGmtOffset(double dateTime);

  // Schedule commands (bodies in scheduler/schedule_commands.cc). Those that change the
  // schedule ask for the schedule right (CMDERR_DENIED_SCHEDULE), save it after a change (a
  // failed save is not reported) and, when they change its structure, hold ScheduleLock (site
  // 211). Without a schedule: CMDERR_SCHEDULE_NOT_FOUND and the failure value. Group and item
  // names with white space or control characters are refused with CMDERR_NAME_HAS_SPACES; a
  // rate or offset that is not a finite number with CMDERR_CATCH_ALL.
  bool AddScheduleGroup(const Bstr& groupName, double rate, double offset, long dayOfMonth, long dayOfWeek);
  bool DeleteScheduleGroup(const Bstr& groupName, bool forceDelete);
  bool AddScheduledItem(const Bstr& groupName, const Bstr& itemName);
  bool DeleteScheduledItem(const Bstr& groupName, const Bstr& itemName);
  // The names of the groups that schedule the item; VT_EMPTY when none does.
  void FindScheduledItem(const Bstr& itemName, Variant* result);
  void GetScheduledItems(const Bstr& groupName, Variant* result);
  void GetScheduledItemsEx(const Bstr& groupName, Variant* result) { GetScheduledItems(groupName, result); }
  void GetScheduleGroupList(Variant* result);
  ComPtr<IDispatch> GetScheduleObject();
  bool ScheduleGroupInfo(const Bstr& groupName, double* lastRunTime, double* nextRunTime, double* runRate,
                         double* rate, double* offset, long* priority, long* dayOfMonth, long* dayOfWeek);
  bool SetScheduleGroupRate(const Bstr& groupName, double rate, double offset, long dayOfMonth, long dayOfWeek);
  bool SetScheduleGroupPriority(const Bstr& groupName, long priority);
  bool SetScheduleGroupMode(const Bstr& groupName, bool eventDriven);
  bool SetScheduleGroupNextRunTime(const Bstr& groupName, double runTime);
  bool SetScheduleGroupOffset(const Bstr& groupName, double offset);
  // Three lock rows ("Schedule Threads", "Eng Units Lock", "Object List") and one row per group
  // thread; VT_EMPTY when there are no group threads.
  void GetSchedulerStatus(Variant* result);

  // Units commands: every one clears the error first and fails with CMDERR_UNIT_CONVERSION_NOT_FOUND without
  // a units table; all but GetUnitConversionObject hold UnitsLock (site 208). Those that change the table ask
  // for the units right (CMDERR_DENIED_UNITS on refusal; the table is shared, so application objects ask
  // too) and save the table after a change; a failed save is
  // not reported. "Type" failures are CMDERR_INVALID_MEASUREMENT_TYPE, missing units
  // CMDERR_INVALID_UNITS_NAME.
  bool AddMeasurementType(const Bstr& type, const Bstr& description, const Bstr& standardUnits);
  // CMDERR_INVALID_MEASUREMENT_TYPE for a missing type, CMDERR_UNIT_EXISTS for a unit name the type has,
  // CMDERR_ADD_UNIT_CONVERSION otherwise.
  bool AddUnit(const Bstr& type, const Bstr& unit, const Bstr& description, double multiplier, double offset);
  // Without `forced`, CMDERR_MEASUREMENT_TYPE_HAS_UNITS for a type that has units; CMDERR_DELETE_FIELD when
  // nothing was removed.
  bool DeleteMeasurementType(const Bstr& type, bool forced);
  bool DeleteUnit(const Bstr& type, const Bstr& unit);
  // Null pointers leave their property alone.
  bool UpdateMeasurementTypeInfo(const Bstr& type, const Bstr* description, const Bstr* standardUnits);
  bool UpdateUnitInfo(const Bstr& type, const Bstr& unit, const Bstr* description, double multiplier,
                      double offset);
  // Factors such that a value in `unitsOut` times *multiplier plus *offset is the same quantity in `unitsIn`.
  // CMDERR_INVALID_MEASUREMENT_TYPE for the type, CMDERR_INVALID_INPUT_UNITS for `unitsIn`,
  // CMDERR_INVALID_OUTPUT_UNITS for `unitsOut` (also when both are missing); after such a failure the factors
  // are 1.0 and 0.0. Without a units table (CMDERR_UNIT_CONVERSION_NOT_FOUND) they are left untouched.
  bool GetConversion(const Bstr& type, const Bstr& unitsIn, const Bstr& unitsOut, double* multiplier,
                     double* offset);
  ComPtr<IDispatch> GetMeasurementType(const Bstr& type);
  bool GetMeasurementTypeInfo(const Bstr& type, Bstr* description, Bstr* standardUnits);
  void GetMeasurementTypesList(Variant* result);
  ComPtr<IDispatch> GetUnit(const Bstr& type, const Bstr& unit);
  // The description always; the factors only into non-null outputs.
  bool GetUnitInfo(const Bstr& type, const Bstr& unit, Bstr* description, double* multiplier, double* offset);
  void GetUnitsList(const Bstr& type, Variant* result);
  // The names of the types that have a unit of that name; VT_EMPTY when none has.
  void LookupMeasurementType(const Bstr& unitsName, Variant* result);
  // The units collection itself, without the lock.
  ComPtr<IDispatch> GetUnitConversionObject();

  // ---- Commands that belong to no store ------------------------------------------------
  // The command server's version text.
  Bstr CalcCommandVersion();
  // Bodies of the commands below in exchange/. None asks the access gate; none clears the last
  // error unless said.
  //
  // No component library is ever loaded on demand here, so there is nothing to unload.
  void FreeUnusedComLibraries() {}
  // The object as an object string (com/object_stream.h): its class and its XML form. An object
  // without XML persistence or a registered class gives the VARTYPE alone; null gives a null
  // string.
  Bstr ObjecttoBSTR(IDispatch* object);
  // A new object of the string's class loaded from its data; null when the string holds no
  // object, names an unknown class or the data does not load.
  ComPtr<IDispatch> BSTRtoObject(const Bstr& binaryObject);
  // BSTRtoObject of a VT_BSTR (or a reference to one); null for any other type.
  ComPtr<IDispatch> VarBSTRtoObject(const Variant& binaryObject);
  // The ODM workspace name in the registry store; null when its key cannot be opened.
  Bstr GetOdmWorkSpace();
  // Writes the name (a null name writes nothing), drops the process's workspace service object
  // and sets g_bOdmWorkspaceSet, under ScheduleLock (site 211). Nothing when the key cannot be
  // created.
  void SetOdmWorkSpace(const Bstr& workSpaceName);
  // The workspace service's list; VT_EMPTY when the service cannot be created.
  Variant GetOdmWorkSpaces();
  // The workspace service's one-line report; null when the service cannot be created.
  Bstr TestOdmConnection(const Bstr& workSpaceName);
  bool GetStoreAndForwardEnabled();
  // Writes "Enabled" and g_bStoreAndForwardEnabled under ScheduleLock (site 211).
  void SetStoreAndForwardEnabled(bool enabled);

  // The database pass-through: clears the last error and hands the arguments to the environment,
  // whose answer says the outcome: VT_BOOL (the result), VT_I4 (that command error, false),
  // VT_BSTR (that text with CMDERR_CATCH_ALL, false), anything else false without an error.
  bool AdoConnect(const Bstr& connect, const Bstr& userId, const Bstr& password, long options);
  bool AdoClose(const Bstr& connection);
  bool AdoQueryInfo(const Bstr& connection, const Bstr& queryDefinition, Variant* fieldNames, Variant* fieldTypes);

  // The walk over the parameters of `calc` (positions 1 to Count, items without IZrCalcParameter
  // skipped), stopping at the first validation message, which it returns (null when none).
  // With both server names it moves each parameter from the old server to the new one and
  // validates those that accepted, counting them; otherwise it validates every parameter, with
  // the unit check when `checkUnits` and the first item has a "Validate2" member, counting the
  // validation calls that succeeded. *count (when given) gets the count. A null object or one
  // that is no calculation visits nothing.
  Bstr ParameterWalk(IDispatch* calc, const Bstr* oldServer, long oldGroup, const Bstr* newServer, long newGroup,
                     bool checkUnits, long* count);
  Bstr ChangeServerName(IDispatch* calc, const Bstr& oldServer, long oldGroup, const Bstr& newServer, long newGroup,
                        long* count);
  Bstr Validate(IDispatch* calc, long* count);
  Bstr Validate2(IDispatch* calc, bool checkUnits, long* count);
  // The servers of the tag parameters of every stored calculation, each once (compared without
  // regard to case, spelled as first met), in order of first appearance; VT_EMPTY when none.
  void ListVorenServers(Variant* result);

  // ---- Execution (bodies in exchange/) -------------------------------------------------
  // Clears the last error; the execution right (CMDERR_DENIED_EXECUTE); CMDERR_GET_CALCULATION_OBJECT
  // for a null object. Prepares and runs what the object answers of the two; true also when it
  // answers neither.
  bool CalcExecute(IDispatch* calc);
  // Clears the last error. A stored calculation of that name: VT_I4 -4 when the execution right
  // is refused; otherwise it is run by name ("Calculate") and the answer is VT_I4 1, with *result
  // (when given) an array of five: the run's HRESULT (VT_I4), "Value", "Level", "Status",
  // "ErrorText". Otherwise, on the main object with a schedule, a schedule group of that name is
  // made due now: VT_I4 2 and *result VT_BOOL true, or VT_EMPTY and *result VT_BOOL false.
  Variant ExecuteItem(const Bstr& itemName, Variant* result);
  // A new CalcScript calculation with that script, not stored; null when none can be created.
  ComPtr<IDispatch> CreateTemporaryCalc(const Bstr& calcScript);
  // Loads the text into a new calculation, runs it and answers its export; an ERROR element
  // text instead when a step fails.
  Bstr ExecuteXML(const Bstr& xmlString);
  // Runs a private copy of the stored calculation the text's "Name" names, with the text's
  // "Parameters" loaded into the copy's parameters of the same names, and answers the copy's
  // export; the stored object and its file stay as they were. An ERROR element text on failure.
  Bstr ExecuteCalculationXML(const Bstr& xmlString);
  // Both lists cleared, then the object's CreateParams: true when it succeeded.
  bool CreateCalcScriptParams(IDispatch* calc, const Bstr& autoBindingHosts, Variant* unused, Variant* unbound);
  // The object's GetParameterDetails; VT_EMPTY for an object without script parameters.
  Variant ListParameterDetails(IDispatch* calc);

  // ---- XML exchange (bodies in exchange/) ----------------------------------------------
  // Each clears the last error; every failure is CMDERR_CATCH_ALL with the step's own text.
  // The export's root element is "Calculation", "Library" or "EngUnitType" holding the object's
  // own content; the empty string on failure.
  Bstr SaveCalcXML(const Bstr& calcName);
  Bstr SaveLibXML(const Bstr& libName);
  Bstr SaveUnitTypeXML(const Bstr& unitTypeName);
  // Loads the text into the given object and stores it (SaveCalculationObject /
  // SaveLibraryObject, with their rights and errors): 1 when stored, 0 otherwise.
  long LoadCalcXML(const Bstr& xmlString, IDispatch* calc);
  long LoadLibXML(const Bstr& xmlString, IDispatch* lib);
  // A new measurement type loaded from the text, handed out in *unitDisp and added to the units
  // table (saved) under UnitsLock (site 208): 1 when added.
  long LoadUnitXML(const Bstr& xmlString, Variant* unitDisp);
  // The import steps without storing: a null string on success, otherwise an ERROR element text.
  Bstr LoadXmlIntoCalc(const Bstr& xml, IDispatch* calc);
  // The export of a given object under the root "Calculation" (errors as the export's).
  Bstr ObjectToXml(IDispatch* object);

  // ---- Access control (bodies in security/permission.cc) -------------------------------
  enum class Grant { Full, ScriptOnly, Refused };
  // The CheckAccess command: clears the last error and answers whether the caller holds
  // `taskNo` (passed to the gate bit for bit). Sets no error and asks even when m_accessMode
  // is not 0.
  bool CheckAccess(long taskNo);
  // Which store a command changes. An application object skips the gate only for its own
  // store; the library store under the root base directory and the units table are shared by
  // every client, so commands on them ask whatever m_accessMode says.
  enum class StoreScope { Own, Shared };
  // Prologue step 2: true when m_accessMode is not 0 (no check) for a command on the object's
  // own store, or the gate grants `right`; otherwise SetCommandError(refusalCode) and false.
  bool CheckPermission(uint32_t right, long refusalCode, StoreScope scope = StoreScope::Own);
  // The two-right rule: `wide` first, `scriptOnly` only when `wide` is refused. Full when
  // m_accessMode is not 0 (own store only) or `wide` is held; ScriptOnly when only `scriptOnly`
  // is held (the command then refuses non-CalcScript objects itself); Refused, after
  // SetCommandError(refusalCode), when neither is held.
  Grant CheckTwoRights(uint32_t wide, uint32_t scriptOnly, long refusalCode, StoreScope scope = StoreScope::Own);
  // The two-right rule for objects of `kind` (body in store/store_objects.cc): calculations
  // live in this object's store, libraries in the shared one.
  Grant CheckRightsFor(const store::ObjectKind& kind);

  // ---- Fields (public for the dispatch wrappers and tests; commands own them) ----------
  int32_t m_accessMode = kAccessChecked;
  std::string m_appName;
  std::string m_baseDir;
  uint32_t m_dirFlags = 0;
  std::string m_lastErrorText;
  long m_lastError = 0;

 private:
  platform::Env* m_env;

 public:

  // The two lists of FormulaCrossReference; an empty `formula` asks for the library at all.
  void FormulaUsers(const std::string& library, const std::string& formula, Variant* result);

  // The environment's directory argument for calculations: null for the main store, the
  // calculation base directory for an application object.
  Bstr CalculationDirectoryArgument() const;
};

// The command object of the main dispatch class: rooted at g_BasePath from the start.
class ZrCalcCmdObject : public CCalcCmdBase {
 public:
  explicit ZrCalcCmdObject(platform::Env& env = platform::Env::Current());
  const CommandRuntimeClass* GetRuntimeClass() const override;
};

// The command object of the application dispatch class: unrooted until SetBaseDirectory.
class ZrCalcAppCmdObject : public CCalcCmdBase {
 public:
  explicit ZrCalcAppCmdObject(platform::Env& env = platform::Env::Current()) : CCalcCmdBase(env) {}
  const CommandRuntimeClass* GetRuntimeClass() const override;
};

}  // namespace kv
