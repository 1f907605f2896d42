#pragma once
// What the system asks of the calculation components (environment, calculations, libraries
// and their formulas). The store reaches them only through these interfaces and the class
// registry; their insides live in src/engine/.
#include <cstdint>
#include <string>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"
#include "com/variant.h"

namespace kv::components {

using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::IDispatch;
using com::IUnknown;
using com::Variant;

// Class and interface identifiers the clients and stored registrations know.
inline constexpr com::CLSID CLSID_ZrCalcEnvironment = com::MakeGuid("16393D13-016A-11D3-B907-00805F712C95");
inline constexpr com::IID IID_ZrCalcEnvironment = com::MakeGuid("16393D12-016A-11D3-B907-00805F712C95");
inline constexpr com::CLSID CLSID_ZrCalculation = com::MakeGuid("3C8B53F0-E39D-11D2-B903-00805F712C95");
inline constexpr com::IID IID_IZrCalculation = com::MakeGuid("3C8B53EF-E39D-11D2-B903-00805F712C95");
inline constexpr com::CLSID CLSID_ZrLibrary = com::MakeGuid("B94FB633-EB65-11D2-B905-00805F712C95");
inline constexpr com::IID IID_IZrLibrary = com::MakeGuid("B94FB632-EB65-11D2-B905-00805F712C95");
inline constexpr com::IID IID_VRRoot = com::MakeGuid("86A0CB21-EEBC-11D2-B906-00805F712C95");
inline constexpr com::IID IID_IZrPersistFile = com::MakeGuid("FAF375F1-EEC4-11D2-B906-00805F712C95");
inline constexpr com::IID IID_IZrPersistXML = com::MakeGuid("A4486A91-7F5B-11D4-96F6-0008C7A0E7AD");
inline constexpr com::IID IID_IZrCalcParameter = com::MakeGuid("3C8B53F1-E39D-11D2-B903-00805F712C95");
inline constexpr com::IID IID_IZrScriptParameters = com::MakeGuid("E638FC61-7D9B-11D3-B924-00805F712C95");

// Calculation type number of a CalcScript calculation or formula.
inline constexpr long kCalcTypeCalcScript = 4;

// The formulas of a library: Count, and Item by 1-based index.
class IZrFormulas : public virtual IUnknown {
 public:
  virtual HRESULT Count(long* count) = 0;
  virtual HRESULT Item(long index, ComPtr<IDispatch>* formula) = 0;
};

// A calculation's parameters have the same shape: Count, and Item by 1-based index (each item
// answers IZrCalcParameter).
using IZrParameters = IZrFormulas;

// Results of a run ("Level" property of a calculation).
inline constexpr long kLevelOk = 0;
inline constexpr long kLevelWarning = 1;
inline constexpr long kLevelError = 2;

// A failed CheckFormula: the script does not compile (the reason is in "ErrorText").
inline constexpr HRESULT E_FORMULA_INVALID = static_cast<HRESULT>(0x80040201);

// Everything one run of a calculation is given by whoever starts it; nothing reaches a run
// through a global or the calling thread.
struct RunRequest {
  // The text scripts read as the global "Context".
  std::string context;
  // Whether tag writes the source refuses are spooled and forwarded later.
  bool storeAndForward = false;
  // The instant the run stands for, in Unix milliseconds: a group pass reads its clock once and
  // every calculation of the pass carries that time on its outputs and as its LastRunTime.
  // 0: the run reads the clock when it publishes.
  int64_t slotUnixMs = 0;
};

// How a run ended, as "Level", "Status" and "ErrorText" read afterwards.
struct RunOutcome {
  long level = kLevelOk;
  std::string status;
  std::string errorText;
};

// A calculation, and each formula of a library. Thread-safe: one object may be run by a group
// thread and a client at the same time.
class IZrCalculation : public virtual IUnknown {
 public:
  virtual HRESULT SetCreationTime(double oleDate) = 0;
  virtual HRESULT SetSaveTime(double oleDate) = 0;
  virtual HRESULT SetNewState(long state) = 0;
  virtual HRESULT GetOwnerString(Bstr* owner) = 0;
  virtual HRESULT SetOwnerString(const Bstr& owner) = 0;
  virtual HRESULT SetEditState(long state) = 0;
  virtual HRESULT GetCalcType(long* type) = 0;
  // 4 (kCalcTypeCalcScript) makes a CalcScript calculation; other types never run (a run ends
  // with Level 2).
  virtual HRESULT SetCalcType(long type) = 0;
  // Replaces the script text; the next run compiles it.
  virtual HRESULT SetCalcScript(const Bstr& script) = 0;
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT SetName(const Bstr& name) = 0;
  // The live parameter collection (the same object for the calculation's whole life).
  virtual HRESULT GetParameters(ComPtr<IZrParameters>* params) = 0;
  // The parameter of that name (exact); S_FALSE and null when there is none.
  virtual HRESULT GetParameter(const Bstr& name, ComPtr<IDispatch>* param) = 0;
  // Runs the calculation: reads the inputs, runs the script, writes the outputs, and sets the
  // results readable by name ("Value", "Level", "Status", "ErrorText", "LastRunTime"). The
  // calculation's own errors are results, not failures: S_OK whenever the run was attempted.
  // `outcome` (when given) receives this run's Level, Status and ErrorText, which a later run
  // on another thread cannot change under the caller.
  virtual HRESULT Run(const RunRequest& request, RunOutcome* outcome) = 0;
  // Run with the server's request for a run on demand: no context, store-and-forward as
  // configured (components/server_objects.h).
  virtual HRESULT Calculate() = 0;
  // Compiles the script without running it: S_OK when it compiles, E_FORMULA_INVALID when it
  // does not (the first syntax error, with its line, in "ErrorText", Level 2).
  virtual HRESULT CheckFormula() = 0;
  virtual HRESULT GetSummaryState(int16_t* state) = 0;
};

// What a calculation or formula refers to, for the cross-reference commands. Answered by
// calculations and formulas alike.
class IZrCalcReferences : public virtual IUnknown {
 public:
  // VARIANT_TRUE when one of its parameters takes the Value of the calculation `name` (kind 2;
  // compared exactly).
  virtual HRESULT RefersToCalculation(const Bstr& name, com::VARIANT_BOOL* refers) = 0;
  // VARIANT_TRUE when its script calls `library`.`formula`; a null or empty `formula` asks
  // whether it uses the library at all (lists it or calls any of its formulas). Names compare
  // exactly.
  virtual HRESULT RefersToFormula(const Bstr& library, const Bstr& formula, com::VARIANT_BOOL* refers) = 0;
};

// Parameter direction and kind (IZrCalcParameter).
inline constexpr long kParamIn = 0;
inline constexpr long kParamOut = 1;
inline constexpr long kParamInOut = 2;
inline constexpr long kParamConstant = 0;
inline constexpr long kParamTag = 1;         // a tag on a process-data server (node)
inline constexpr long kParamCalculation = 2;  // the Value of another calculation

// One parameter of a calculation. Thread-safe.
class IZrCalcParameter : public virtual IUnknown {
 public:
  // The node of a tag parameter ("" for the other kinds).
  virtual HRESULT GetServerName(Bstr* server) = 0;
  virtual HRESULT GetParameterKind(long* kind) = 0;
  // Moves a tag parameter on `oldServer` (compared without regard to case) to `newServer`:
  // S_OK. The groups are accepted for the callers' sake and not used (the tag store has no
  // server groups). A parameter that is not a tag parameter on `oldServer` refuses with E_FAIL
  // and stays as it was.
  virtual HRESULT ChangeServer(const Bstr& oldServer, long oldGroup, const Bstr& newServer, long newGroup) = 0;
  // S_OK and a null *message when the parameter is valid: kind 1 names a server and a tag that
  // exists in the tag store; kind 2 names a calculation the environment finds. Otherwise S_OK
  // and the reason in *message.
  virtual HRESULT ValidateParameter(Bstr* message) = 0;
  // As ValidateParameter; with `checkUnits` non-zero (callers pass -1) the parameter's units must
  // also exist in the units table and convert to the tag's units.
  virtual HRESULT ValidateParameterUnits(long checkUnits, Bstr* message) = 0;

  // Read access for cross references and listings.
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT GetDirection(long* direction) = 0;
  virtual HRESULT GetTagName(Bstr* tag) = 0;
  virtual HRESULT GetCalcName(Bstr* calc) = 0;
  virtual HRESULT GetUnits(Bstr* units) = 0;
};

// The script-parameter operations of a CalcScript calculation.
class IZrScriptParameters : public virtual IUnknown {
 public:
  // Finds the script's free names (globals read or written), keeps the existing parameters,
  // and adds a tag parameter for each free name that is a tag on one of `autoBindingHosts`
  // (a list of server names separated by ';' or ',', blanks around names ignored; empty: no
  // binding). *unused: a list result of the parameters the script does not use; *unbound: a
  // list result of the free names no parameter binds (VT_EMPTY for none). A failure and both
  // lists VT_EMPTY when the script does not compile.
  virtual HRESULT CreateParams(const Bstr& autoBindingHosts, Variant* unused, Variant* unbound) = 0;
  // One row per parameter, as a VT_ARRAY|VT_VARIANT of rows, each a VT_ARRAY|VT_VARIANT of
  // Name, Direction, Kind, ServerName, TagName, CalcName, Units, Value; VT_EMPTY when there are
  // no parameters.
  virtual HRESULT GetParameterDetails(Variant* details) = 0;
  // Compiles the script ahead of the next run on the calling thread; S_OK also when it does not
  // compile (the run will report it).
  virtual HRESULT PrepareExecution() = 0;
};

class IZrLibrary : public virtual IUnknown {
 public:
  virtual HRESULT SetSaveTime(double oleDate) = 0;
  virtual HRESULT SetOwnerString(const Bstr& owner) = 0;
  virtual HRESULT GetFormulas(ComPtr<IZrFormulas>* formulas) = 0;
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT SetName(const Bstr& name) = 0;
  // A list result (VT_ARRAY|VT_VARIANT of VT_BSTR, VT_EMPTY for none) of formula names.
  virtual HRESULT ListFormulas(Variant* names) = 0;
};

class VRRoot : public virtual IUnknown {
 public:
  virtual HRESULT GetName(Bstr* name) = 0;
};

class IZrPersistFile : public virtual IUnknown {
 public:
  // Writes the whole persistent form to `path` (Windows form), replacing it atomically; a
  // negative result means nothing usable was written.
  virtual HRESULT SaveToFile(const Bstr& path) = 0;
  virtual HRESULT LoadFromFile(const Bstr& path) = 0;
};

class IZrPersistXML : public virtual IUnknown {
 public:
  virtual HRESULT LoadXML(const Bstr& xml) = 0;
  virtual HRESULT SaveXML(Bstr* xml) = 0;
};

// The process-wide environment that loads and holds calculations and libraries by name.
// Safe for concurrent calls from several threads.
class IZrCalcEnvironment : public virtual IUnknown {
 public:
  // The calculation `name` from "<dir>\Calc\<name>.zrc", loaded on first use and kept; `dir`
  // null means the root base directory. *calc is null when there is none (S_FALSE).
  virtual HRESULT GetCalculation(const Bstr& name, const Bstr& dir, ComPtr<IDispatch>* calc) = 0;
  virtual HRESULT GetLibrary(const Bstr& name, ComPtr<IDispatch>* lib) = 0;
  virtual HRESULT AttachThread() = 0;
  virtual HRESULT DetachThread() = 0;
  virtual HRESULT RemoveLibrary(const Bstr& name) = 0;
  virtual HRESULT RemoveCalculation(const Bstr& name) = 0;
  // A new object read from `path` (edit copies); a negative result when the load failed.
  virtual HRESULT LoadCalculationFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* calc) = 0;
  virtual HRESULT LoadLibraryFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* lib) = 0;
  // The database pass-through. Each writes its outcome into `result`: VT_BOOL true on success,
  // VT_I4 a command error code, VT_BSTR the database's error text. A connection is named by
  // its `connect` string, which is the path of an SQLite database file ("Data Source=<path>"
  // is accepted too); `options` 1 opens it read-only.
  virtual HRESULT EnvAdoConnect(const Bstr& connect, const Bstr& user, const Bstr& password, long options,
                                Variant* result) = 0;
  virtual HRESULT EnvAdoClose(const Bstr& connection, Variant* result) = 0;
  // Prepares `query` on the open `connection` and, on success, fills `fieldNames` and
  // `fieldTypes` (each may be null) with list results of its column names and declared types.
  virtual HRESULT EnvAdoQueryInfo(const Bstr& connection, const Bstr& query, Variant* fieldNames,
                                  Variant* fieldTypes, Variant* result) = 0;
  virtual HRESULT LibraryFormulaSaved(const Bstr& library, const Bstr& formula) = 0;
  virtual HRESULT SetUnitConversionObject(IDispatch* units) = 0;
  // The root base directory whose Calc and Lib it loads from (set once at start-up).
  virtual HRESULT SetBasePath(const Bstr& root) = 0;
};

}  // namespace kv::components
