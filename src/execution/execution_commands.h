#pragma once
// Running calculations and what runs depend on: the ODM workspace and store-and-forward settings,
// the database pass-through, the parameter walks (validation, moving servers) and the execution
// commands. Each takes the command object it runs on (command_object/calc_cmd_base.h); none asks the
// access gate unless said, none clears the last error unless said.
#include <string>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "command_object/calc_cmd_base.h"

namespace kv::execution {

// The ODM workspace name in the registry store; null when its key cannot be opened.
Bstr GetOdmWorkSpace(CCalcCmdBase& cmd);
// Clears the last error and asks the schedule right on every object (CMDERR_DENIED_SCHEDULE: nothing
// changes). Writes the name (a null name writes nothing), drops the process's workspace service object
// and sets g_bOdmWorkspaceSet, under ScheduleLock (kSiteScheduleCommand). Nothing when the key cannot be
// created.
void SetOdmWorkSpace(CCalcCmdBase& cmd, const Bstr& workSpaceName);
// The workspace service's list; VT_EMPTY when the service cannot be created.
Variant GetOdmWorkSpaces(CCalcCmdBase& cmd);
// The workspace service's one-line report; null when the service cannot be created.
Bstr TestOdmConnection(CCalcCmdBase& cmd, const Bstr& workSpaceName);
bool GetStoreAndForwardEnabled(CCalcCmdBase& cmd);
// Clears the last error and asks the schedule right as SetOdmWorkSpace does; writes "Enabled" and
// g_bStoreAndForwardEnabled under ScheduleLock (kSiteScheduleCommand).
void SetStoreAndForwardEnabled(CCalcCmdBase& cmd, bool enabled);

// The database pass-through: clears the last error and hands the arguments to the environment,
// whose answer says the outcome: VT_BOOL (the result), VT_I4 (that command error, false),
// VT_BSTR (that text with CMDERR_CATCH_ALL, false), anything else false without an error.
bool AdoConnect(CCalcCmdBase& cmd, const Bstr& connect, const Bstr& userId, const Bstr& password, long options);
bool AdoClose(CCalcCmdBase& cmd, const Bstr& connection);
bool AdoQueryInfo(CCalcCmdBase& cmd, const Bstr& connection, const Bstr& queryDefinition, Variant* fieldNames, Variant* fieldTypes);

// The walk over the parameters of `calc` (positions 1 to Count, items without IZrCalcParameter
// skipped), stopping at the first validation message, which it returns (null when none).
// With both server names it moves each parameter from the old server to the new one and
// validates those that accepted, counting them; otherwise it validates every parameter, with
// the unit check when `checkUnits` and the first item has a "Validate2" member, counting the
// validation calls that succeeded. *count (when given) gets the count. A null object or one
// that is no calculation visits nothing.
Bstr ParameterWalk(CCalcCmdBase& cmd, IDispatch* calc, const Bstr* oldServer, long oldGroup, const Bstr* newServer, long newGroup,
                   bool checkUnits, long* count);
// ChangeServerName on a calculation held for every client asks its rights first
// (store::MayChangeInPlace); refused: a null message, the count 0 and the refusal code.
Bstr ChangeServerName(CCalcCmdBase& cmd, IDispatch* calc, const Bstr& oldServer, long oldGroup, const Bstr& newServer, long newGroup,
                      long* count);
Bstr Validate(CCalcCmdBase& cmd, IDispatch* calc, long* count);
Bstr Validate2(CCalcCmdBase& cmd, IDispatch* calc, bool checkUnits, long* count);
// The servers of the tag parameters of every stored calculation, each once (compared without
// regard to case, spelled as first met), in order of first appearance; VT_EMPTY when none.
void ListVorenServers(CCalcCmdBase& cmd, Variant* result);

// ---- Execution ------------------------------------------------------------------------
// A run writes the process tags every client shares: each command that runs a calculation or a
// group asks the execution right on every command object, an application object's included.
//
// Clears the last error; the execution right (CMDERR_DENIED_EXECUTE); CMDERR_GET_CALCULATION_OBJECT
// for a null object. Prepares and runs what the object answers of the two; true also when it
// answers neither.
bool CalcExecute(CCalcCmdBase& cmd, IDispatch* calc);
// Clears the last error. A stored calculation of that name: VT_I4 -4 when the execution right
// is refused (the status alone: no error code); otherwise it is run by name ("Calculate") and the answer is VT_I4 1, with *result
// (when given) an array of five: the run's HRESULT (VT_I4), "Value", "Level", "Status",
// "ErrorText". Otherwise, on the main object with a schedule, a schedule group of that name is
// made due now: VT_I4 2 and *result VT_BOOL true, or VT_EMPTY and *result VT_BOOL false; a
// group found for a caller refused the execution right: VT_I4 -4 and *result VT_BOOL false.
Variant ExecuteItem(CCalcCmdBase& cmd, const Bstr& itemName, Variant* result);
// A new CalcScript calculation with that script, not stored; null when none can be created.
ComPtr<IDispatch> CreateTemporaryCalc(CCalcCmdBase& cmd, const Bstr& calcScript);
// Clears the last error and asks the execution right (refused: CMDERR_DENIED_EXECUTE and an ERROR
// element with its text). Loads the text into a new calculation, runs it and answers its export;
// an ERROR element text instead when a step fails.
Bstr ExecuteXML(CCalcCmdBase& cmd, const Bstr& xmlString);
// The opening of ExecuteXML; then runs a private copy of the stored calculation the text's "Name" names, with the text's
// "Parameters" loaded into the copy's parameters of the same names, and answers the copy's
// export; the stored object and its file stay as they were. An ERROR element text on failure.
Bstr ExecuteCalculationXML(CCalcCmdBase& cmd, const Bstr& xmlString);
// Both lists cleared; a calculation held for every client asks its rights (store::MayChangeInPlace:
// false with the refusal code); then the object's CreateParams: true when it succeeded.
bool CreateCalcScriptParams(CCalcCmdBase& cmd, IDispatch* calc, const Bstr& autoBindingHosts, Variant* unused, Variant* unbound);
// The object's GetParameterDetails; VT_EMPTY for an object without script parameters.
Variant ListParameterDetails(CCalcCmdBase& cmd, IDispatch* calc);

}  // namespace kv::execution
