// The execution commands: a calculation run on demand, by object, by name, from XML text or from
// a script, and the preparation and listing of script parameters.
#include "base/error_codes.h"
#include "base/rights.h"
#include "com/class_registry.h"
#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "exchange/calc_checks.h"
#include "execution/group_hook.h"
#include "exchange/xml_text.h"
#include "store/store_names.h"
#include "exchange/exchange_commands.h"
#include "execution/execution_commands.h"
#include "store/store_commands.h"

namespace kv::execution {

using com::HRESULT;
using components::IZrCalculation;
using components::IZrScriptParameters;

namespace {

// A by-name call as the execution commands make them: the one name looked up, then invoked as
// method or property get in the system default locale, without arguments.
HRESULT CallByName(IDispatch* obj, const char* name, Variant* result) {
  com::DISPID id = com::DISPID_UNKNOWN;
  HRESULT hr = obj->GetIDsOfNames(name, &id);
  if (com::FAILED(hr)) return hr;
  std::vector<Variant> none;
  return obj->Invoke(id, com::DISPATCH_METHOD | com::DISPATCH_PROPERTYGET, none, result);
}

ComPtr<IZrCalculation> NewCalculation() {
  ComPtr<IZrCalculation> calc;
  if (com::FAILED(com::CreateInstance(components::CLSID_ZrCalculation, &calc))) return nullptr;
  return calc;
}

Bstr Reply(const char* text) { return Bstr::FromUtf8(exchange::ErrorReply(text)); }

// A run writes process tags, which every client and the schedule share, and a group run does
// whatever its calculations do: the execution right is asked on every command object, an
// application object's included.
constexpr CCalcCmdBase::StoreScope kRunScope = CCalcCmdBase::StoreScope::Shared;

// The opening of the commands that run text a client sends: the last error cleared, then the
// execution right; the refusal's text as the reply (null when the caller may run).
Bstr RefusedRun(CCalcCmdBase& cmd) {
  cmd.ResetLastError();
  if (cmd.CheckPermission(security::kRightExecute, CMDERR_DENIED_EXECUTE, kRunScope)) return Bstr::Null();
  return Reply(CommandErrorText(CMDERR_DENIED_EXECUTE));
}

// Runs a calculation on demand with the request the server's configuration gives now (its
// store-and-forward switch included); an object that is no calculation of ours is asked by name.
HRESULT RunOnDemand(IDispatch* object) {
  if (auto calc = com::QueryInterface<IZrCalculation>(object))
    return calc->Run(SharedServerObjects().OnDemandRunRequest(), nullptr);
  Variant ignored;
  return CallByName(object, "Calculate", &ignored);
}

}  // namespace

bool CalcExecute(CCalcCmdBase& cmd, IDispatch* calcObject) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightExecute, CMDERR_DENIED_EXECUTE, kRunScope)) return false;
  if (!calcObject) return cmd.Failed(CMDERR_GET_CALCULATION_OBJECT);
  if (auto script = com::QueryInterface<IZrScriptParameters>(calcObject)) script->PrepareExecution();
  if (auto calc = com::QueryInterface<IZrCalculation>(calcObject))
    calc->Run(SharedServerObjects().OnDemandRunRequest(), nullptr);
  return true;
}

Variant ExecuteItem(CCalcCmdBase& cmd, const Bstr& itemName, Variant* result) {
  cmd.ResetLastError();
  Variant status;
  ComPtr<IDispatch> calc = store::GetCalculationObject(cmd, itemName);
  if (calc) {
    // The refusal is the status; the last error stays clear.
    if (!cmd.HoldsRight(security::kRightExecute, kRunScope)) return Variant::I4(-4);
    status = Variant::I4(1);
    const HRESULT hr = RunOnDemand(calc.Get());
    if (result) {
      com::SafeArray values(com::VT_VARIANT, 0, 5);
      values.At(0) = Variant::I4(hr);
      const char* names[] = {"Value", "Level", "Status", "ErrorText"};
      for (size_t i = 0; i < 4; ++i) CallByName(calc.Get(), names[i], &values.At(i + 1));
      *result = Variant::Array(std::move(values));
    }
    return status;
  }
  // The application objects' stores have no schedule of their own.
  if (cmd.m_appName.empty() && g_pScheduleObject) {
    // Making a group due runs it: a group found is refused as a calculation is.
    if (IsScheduleGroup(itemName) && !cmd.HoldsRight(security::kRightExecute, kRunScope)) {
      if (result) *result = Variant::Bool(false);
      return Variant::I4(-4);
    }
    const bool due = MakeGroupDueNow(cmd, itemName);
    if (due) status = Variant::I4(2);
    if (result) *result = Variant::Bool(due);
  }
  return status;
}

ComPtr<IDispatch> CreateTemporaryCalc(CCalcCmdBase& cmd, const Bstr& calcScript) {
  ComPtr<IZrCalculation> calc = NewCalculation();
  if (!calc) return nullptr;
  calc->SetCalcType(components::kCalcTypeCalcScript);
  calc->SetCalcScript(calcScript);
  return com::QueryInterface<IDispatch>(calc);
}

Bstr ExecuteXML(CCalcCmdBase& cmd, const Bstr& xmlString) {
  if (Bstr refused = RefusedRun(cmd); !refused.IsNull()) return refused;
  ComPtr<IZrCalculation> calc = NewCalculation();
  auto disp = com::QueryInterface<IDispatch>(calc);
  if (!disp) return Reply("Failed to create calculation object");
  Bstr failure = exchange::LoadXmlIntoCalc(cmd, xmlString, disp.Get());
  if (!failure.IsNull()) return failure;
  RunOnDemand(disp.Get());
  return exchange::ObjectToXml(cmd, disp.Get());
}

Bstr ExecuteCalculationXML(CCalcCmdBase& cmd, const Bstr& xmlString) {
  if (Bstr refused = RefusedRun(cmd); !refused.IsNull()) return refused;
  exchange::ParsedXml parsed;
  exchange::ParseClientXml(xmlString, &parsed);
  if (!parsed.ok) return Bstr::FromUtf8(exchange::ParseErrorReply(parsed));
  pugi::xml_node root = parsed.doc.document_element();
  if (!root) return Reply("Failed to get calculation node");
  pugi::xml_node nameNode = root.child("Name");
  if (!nameNode) return Reply("Failed to get calculation name node");
  const Bstr name = Bstr::FromUtf8(nameNode.text().get());
  ComPtr<IDispatch> stored;
  if (g_pEnvironment && store::IsSafeCalculationName(name.ToUtf8()))
    g_pEnvironment->GetCalculation(name, cmd.CalculationDirectoryArgument(), &stored);
  if (!stored) return Reply("Failed to load calculation");
  // A private copy: the stored object, which other clients and the schedule share, stays as it is.
  ComPtr<IDispatch> copy = exchange::BSTRtoObject(cmd, exchange::ObjecttoBSTR(cmd, stored.Get()));
  auto calc = com::QueryInterface<IZrCalculation>(copy);
  if (!calc) return Reply("Failed to load calculation");
  for (pugi::xml_node p : root.child("Parameters").children()) {
    ComPtr<IDispatch> parameter;
    if (com::FAILED(calc->GetParameter(Bstr::FromUtf8(p.child("Name").text().get()), &parameter)) || !parameter)
      continue;
    if (auto persist = com::QueryInterface<components::IZrPersistXML>(parameter))
      persist->LoadXML(Bstr::FromUtf8(exchange::RawElementText(p)));
  }
  RunOnDemand(copy.Get());
  return exchange::ObjectToXml(cmd, copy.Get());
}

bool CreateCalcScriptParams(CCalcCmdBase& cmd, IDispatch* calc, const Bstr& autoBindingHosts, Variant* unused,
                                          Variant* unbound) {
  if (unused) unused->Clear();
  if (unbound) unbound->Clear();
  // New parameters on a shared calculation change it for every client and the schedule.
  if (!store::MayChangeInPlace(cmd, calc)) return false;
  auto script = com::QueryInterface<IZrScriptParameters>(calc);
  if (!script) return false;
  return com::SUCCEEDED(script->CreateParams(autoBindingHosts, unused, unbound));
}

Variant ListParameterDetails(CCalcCmdBase& cmd, IDispatch* calc) {
  Variant details;
  if (auto script = com::QueryInterface<IZrScriptParameters>(calc)) script->GetParameterDetails(&details);
  return details;
}

}  // namespace kv::execution
