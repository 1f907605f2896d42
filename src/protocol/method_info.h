#pragma once
// The method tables of the two dispatch interfaces, as data: order (DISPID = position + 1,
// vtable slot = position + 7), parameters with direction, type and name, what the wrapper logs,
// what the method does (forward to its handler, fixed answer, refusal) and its handler. The
// rights a command asks of the access gate are named once, in its handler, where its order of
// checks is. One table per interface, written once in
// protocol/icalc_commands.inc and protocol/icalc_app_commands.inc: the server builds it with
// the handlers (dispatch/method_tables.h), clients without them (ICalcCommandsInterface below),
// so the dispatch wrappers, GetIDsOfNames, the D-Bus introspection, the client's argument
// parsing and the logging all read the same rows.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "com/dispatch.h"
#include "com/guid.h"
#include "com/variant.h"

namespace kv {

enum class ParamDir : uint8_t { In, InOut, Retval };

// The automation type of a parameter, without the pointer level.
enum class ParamType : uint8_t { Bstr, Long, Double, Date, Bool, Dispatch, Variant };

// The VARTYPE a parameter of type `t` carries (VT_VARIANT for ParamType::Variant).
com::VARTYPE VarTypeOf(ParamType t);

struct ParamInfo {
  ParamDir dir;
  ParamType type;
  bool byRef;  // declared with a pointer level beyond the value ("in BSTR*", every out)
  std::string name;
};

// What the wrapper logs under Results.
enum class ResultLog : uint8_t {
  None,
  Result,          // "<q>: Result( True )" / the text of a string result
  ErrorAndResult,  // "Error" with the code, then "Result" with the text
  EditOwner,       // "Node", "Editor", "Date", then "Result"
  ArrayList,       // DebugLogArray "<q>: List"
  PropertyArrays,  // DebugLogArray "PropertyList", "PropertyValues", "Results"
  Object,          // "<q>: <kind> Returned" / "<kind> NOT Returned !!!"
};

enum class Behaviour : uint8_t {
  Forward,               // runs `handler`, whose command starts by clearing the last error
  ForwardNoReset,        // runs `handler`, whose command keeps the previous error unless it sets one
  FixedFalse,            // no handler; VARIANT_FALSE, arguments untouched
  FixedEmpty,            // no handler; VT_EMPTY
  FixedComServerErrors,  // no handler; four null strings out, VARIANT_TRUE
  RefusedSchedule,       // no handler; last error CMDERR_SCHEDULE_NOT_SUPPORTED and the failure value
};

struct InLogInfo {
  std::string label;
  int param;  // index into params
};

// One call as a handler sees it (dispatch/command_binding.h); handlers exist only in the server.
struct CommandCall;
using CommandHandler = void (*)(CommandCall& call);

struct MethodInfo {
  std::string name;
  std::vector<ParamInfo> params;
  std::vector<InLogInfo> inLogs;
  ResultLog resultLog = ResultLog::None;
  std::string objectKind;  // for ResultLog::Object
  Behaviour behaviour = Behaviour::Forward;
  bool nullCheck = false;  // refuses a null first object argument
  // The command a forwarding row runs; null in the clients' view of the table and in rows with
  // a fixed answer.
  CommandHandler handler = nullptr;

  // Index of the retval parameter, or -1.
  int RetvalIndex() const;
  bool Forwards() const { return behaviour == Behaviour::Forward || behaviour == Behaviour::ForwardNoReset; }
};

struct InterfaceTable {
  std::string name;  // "ICalcCommands"
  com::IID iid;
  com::CLSID clsid;
  std::string progId;  // "Kelvarin.CalcCommands"
  std::vector<MethodInfo> methods;

  com::DISPID DispIdOf(size_t index) const { return static_cast<com::DISPID>(index + 1); }
  // The method with that DISPID, or nullptr.
  const MethodInfo* ByDispId(com::DISPID id) const;
  // Case-insensitive, as type-library name lookup is; -1 when unknown.
  com::DISPID DispIdByName(std::string_view name) const;
};

// The shorthands the interface tables are written with.
namespace table_rows {
using T = ParamType;
using R = ResultLog;
using B = Behaviour;
inline ParamInfo In(ParamType t, std::string name) { return {ParamDir::In, t, false, std::move(name)}; }
// An in parameter declared by reference ("in BSTR*").
inline ParamInfo InRef(ParamType t, std::string name) { return {ParamDir::In, t, true, std::move(name)}; }
inline ParamInfo InOut(ParamType t, std::string name) { return {ParamDir::InOut, t, true, std::move(name)}; }
inline ParamInfo Retval(ParamType t, std::string name) { return {ParamDir::Retval, t, true, std::move(name)}; }
}  // namespace table_rows

// The two interfaces as clients see them: every row of the server's tables, without handlers.
const InterfaceTable& ICalcCommandsInterface();
const InterfaceTable& ICalcAppCommandsInterface();

}  // namespace kv
