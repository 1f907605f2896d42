// The dispatch wrapper every method of both interfaces runs through.
#include <atomic>

#include "com/class_registry.h"
#include "com/contained_call.h"
#include "dispatch/calc_commands.h"
#include "dispatch/command_binding.h"
#include "dispatch/method_tables.h"
#include "base/error_codes.h"
#include "dispatch/wrapper_log.h"
#include "config/config.h"
#include "log/debug_log.h"
#include "security/server_security.h"

namespace kv {
namespace {

using com::HRESULT;
using com::VARTYPE;

std::atomic<long> g_liveObjects{0};

// The failure value of a result type: what a refused or fixed call hands back.
Variant FailureValue(const MethodInfo& method) {
  int r = method.RetvalIndex();
  if (r < 0) return Variant();
  switch (method.params[static_cast<size_t>(r)].type) {
    case ParamType::Bool: return Variant::Bool(false);
    case ParamType::Bstr: return Variant::Str(Bstr());
    case ParamType::Dispatch: return Variant::Dispatch(nullptr);
    case ParamType::Long: return Variant::I4(0);
    case ParamType::Double: return Variant::R8(0);
    case ParamType::Date: return Variant::Date(0);
    case ParamType::Variant: return Variant();
  }
  return Variant();
}

}  // namespace

ZrCalcCommandsBase::ZrCalcCommandsBase(const InterfaceTable& table, CCalcCmdBase& command, bool fullLogging)
    : table_(table), command_(command), fullLogging_(fullLogging) {}

com::HRESULT ZrCalcCommandsBase::GetIDsOfNames(std::string_view name, com::DISPID* id) {
  *id = table_.DispIdByName(name);
  return *id == com::DISPID_UNKNOWN ? com::DISP_E_UNKNOWNNAME : com::S_OK;
}

com::HRESULT ZrCalcCommandsBase::InterfaceSupportsErrorInfo(const com::IID& iid) {
  return iid == table_.iid ? com::S_OK : com::S_FALSE;
}

com::HRESULT ZrCalcCommandsBase::Invoke(com::DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) {
  const MethodInfo* method = table_.ByDispId(id);
  if (!method || !(flags & (com::DISPATCH_METHOD | com::DISPATCH_PROPERTYGET))) return com::DISP_E_MEMBERNOTFOUND;
  const size_t argCount = method->params.size() - (method->RetvalIndex() >= 0 ? 1 : 0);
  if (args.size() != argCount) return com::DISP_E_BADPARAMCOUNT;
  for (size_t i = 0; i < argCount; ++i) {
    VARTYPE vt = VarTypeOf(method->params[i].type);
    if (vt == com::VT_VARIANT) {
      if (args[i].IsByRef()) args[i] = Variant(args[i].Deref());
      continue;
    }
    Variant coerced;
    if (com::FAILED(com::ChangeType(args[i], vt, &coerced))) return com::DISP_E_TYPEMISMATCH;
    args[i] = std::move(coerced);
  }
  Variant scratch;
  Variant& out = result ? *result : scratch;
  out = FailureValue(*method);

  const std::string qualified = table_.name + "::" + method->name;
  HRESULT hr = com::S_OK;
  const bool methods = g_DebugLog.IsOn(LogCategory::Methods);
  if (methods) {
    g_DebugLog.Write("", "");
    g_DebugLog.Write(qualified, "Method - Start");
  }
  // A command that throws (a machine fault included) answers the status ContainedCall gives it,
  // logged once.
  bool threw = true;
  const HRESULT contained = com::ContainedCall([&] {
    if (fullLogging_) LogInParams(qualified, *method, args);
    CommandCall call{command_, *method, args, out};
    bool ran = true;
    switch (method->behaviour) {
      case Behaviour::FixedFalse:
      case Behaviour::FixedEmpty:
        break;
      case Behaviour::FixedComServerErrors:
        for (size_t i = 0; i < 4 && i < args.size(); ++i) args[i] = Variant::Str(Bstr());
        call.SetBool(true);
        break;
      case Behaviour::RefusedSchedule:
        command_.SetCommandError(CMDERR_SCHEDULE_NOT_SUPPORTED);
        break;
      case Behaviour::Forward:
      case Behaviour::ForwardNoReset: {
        if (fullLogging_ && method->nullCheck && !args[0].dispatch()) {
          g_DebugLog.Write(qualified + " - Null Pointer passed", DebugLog::HResultText(hr));
          break;
        }
        if (!method->handler || method->handler == &NotBuilt) {
          hr = com::E_NOTIMPL;
          ran = false;
          break;
        }
        method->handler(call);
        break;
      }
    }
    if (ran && fullLogging_) LogResults(qualified, *method, args, out);
    threw = false;
  });
  if (threw) {
    hr = contained;
    g_DebugLog.Write(qualified, DebugLog::HResultText(hr));
  }
  if (methods) g_DebugLog.Write(qualified, "Method - End (" + DebugLog::HResultText(hr) + ")");
  return hr;
}

ZrCalcCommands::ZrCalcCommands() : ZrCalcCommandsBase(ICalcCommandsTable(), object_, true) {
  ++g_liveObjects;
  security::ZrServerSecurity::RefreshCache();
}

ZrCalcAppCommands::ZrCalcAppCommands() : ZrCalcCommandsBase(ICalcAppCommandsTable(), object_, false) {
  ++g_liveObjects;
}

ZrCalcCommandsBase::~ZrCalcCommandsBase() { --g_liveObjects; }

long LiveCommandObjects() { return g_liveObjects.load(); }

void RegisterCommandClasses() {
  com::RegisterClass<ZrCalcCommands>(ICalcCommandsTable().clsid, {"Kelvarin.CalcCommands", "Kelvarin.CalcCommands.1"});
  com::RegisterClass<ZrCalcAppCommands>(ICalcAppCommandsTable().clsid,
                                        {"Kelvarin.CalcAppCommands", "Kelvarin.CalcAppCommands.1"});
}

}  // namespace kv
