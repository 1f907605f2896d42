#pragma once
// The method tables of the two dispatch interfaces, as data: order (DISPID = position + 1,
// vtable slot = position + 7), parameters with direction, type and name, what the wrapper logs,
// and what the method does (forward to a command, fixed answer, refusal). The dispatch wrappers,
// GetIDsOfNames, the D-Bus introspection and the client's argument parsing all read these tables.
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

struct ParamSpec {
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
  Forward,               // calls `command`, which starts by clearing the last error
  ForwardNoReset,        // calls `command`, which keeps the previous error unless it sets one
  FixedFalse,            // no command; VARIANT_FALSE, arguments untouched
  FixedEmpty,            // no command; VT_EMPTY
  FixedComServerErrors,  // no command; four null strings out, VARIANT_TRUE
  RefusedSchedule,       // no command; last error 182 and the failure value of the result type
  SetBaseDirectory,      // the application interface's own SetBaseDirectory
};

struct InLogSpec {
  std::string label;
  int param;  // index into params
};

struct MethodSpec {
  std::string name;
  std::vector<ParamSpec> params;
  std::vector<InLogSpec> inLogs;
  ResultLog resultLog = ResultLog::None;
  std::string objectKind;  // for ResultLog::Object
  Behaviour behaviour = Behaviour::Forward;
  bool nullCheck = false;  // refuses a null first object argument
  std::string command;     // the command it forwards to

  // Index of the retval parameter, or -1.
  int RetvalIndex() const;
};

struct InterfaceTable {
  std::string name;  // "ICalcCommands"
  com::IID iid;
  com::CLSID clsid;
  std::string progId;  // "Kelvarin.CalcCommands"
  std::vector<MethodSpec> methods;

  com::DISPID DispIdOf(size_t index) const { return static_cast<com::DISPID>(index + 1); }
  // The method with that DISPID, or nullptr.
  const MethodSpec* ByDispId(com::DISPID id) const;
  // Case-insensitive, as type-library name lookup is; -1 when unknown.
  com::DISPID DispIdByName(std::string_view name) const;
};

const InterfaceTable& ICalcCommandsTable();
const InterfaceTable& ICalcAppCommandsTable();

}  // namespace kv
