// The walks over a calculation's parameters: server renaming, validation, and the server list.
#include <algorithm>

#include "command_object/calc_cmd_base.h"
#include "command_object/shared_objects.h"
#include "components/calc_components.h"
#include "platform/utf8.h"
#include "execution/execution_commands.h"
#include "store/store_commands.h"

namespace kv::execution {

using components::IZrCalcParameter;
using com::HRESULT;
using components::IZrCalculation;

namespace {

// Every parameter item of `calc` in collection order (1 to Count); items the collection does not
// give are null.
template <class F>
void ForEachParameter(IDispatch* calcDisp, F visit) {
  auto calc = com::QueryInterface<IZrCalculation>(calcDisp);
  if (!calc) return;
  ComPtr<components::IZrParameters> params;
  if (com::FAILED(calc->GetParameters(&params)) || !params) return;
  long count = 0;
  params->Count(&count);
  for (long i = 1; i <= count; ++i) {
    ComPtr<IDispatch> item;
    params->Item(i, &item);
    if (!visit(i, item.Get())) return;
  }
}

}  // namespace

Bstr ParameterWalk(CCalcCmdBase& cmd, IDispatch* calcDisp, const Bstr* oldServer, long oldGroup, const Bstr* newServer,
                                 long newGroup, bool checkUnits, long* count) {
  Bstr message;
  long visited = 0;
  bool hasValidate2 = false;
  ForEachParameter(calcDisp, [&](long position, IDispatch* item) {
    if (position == 1 && item) {
      com::DISPID id = com::DISPID_UNKNOWN;
      hasValidate2 = com::SUCCEEDED(item->GetIDsOfNames("Validate2", &id));
    }
    auto parameter = com::QueryInterface<IZrCalcParameter>(item);
    if (!parameter) return true;
    if (oldServer && newServer) {
      if (com::SUCCEEDED(parameter->ChangeServer(*oldServer, oldGroup, *newServer, newGroup))) {
        ++visited;
        parameter->ValidateParameter(&message);
      }
    } else {
      const HRESULT hr = hasValidate2 && checkUnits ? parameter->ValidateParameterUnits(-1, &message)
                                                    : parameter->ValidateParameter(&message);
      if (com::SUCCEEDED(hr)) ++visited;
    }
    return message.IsNull();
  });
  if (count) *count = visited;
  return message;
}

Bstr ChangeServerName(CCalcCmdBase& cmd, IDispatch* calc, const Bstr& oldServer, long oldGroup, const Bstr& newServer,
                                    long newGroup, long* count) {
  // Moving the parameters of a shared calculation changes it for every client and the schedule.
  if (!store::MayChangeInPlace(cmd, calc)) {
    if (count) *count = 0;
    return Bstr::Null();
  }
  return ParameterWalk(cmd, calc, &oldServer, oldGroup, &newServer, newGroup, false, count);
}

Bstr Validate(CCalcCmdBase& cmd, IDispatch* calc, long* count) {
  return ParameterWalk(cmd, calc, nullptr, 0, nullptr, 0, false, count);
}

Bstr Validate2(CCalcCmdBase& cmd, IDispatch* calc, bool checkUnits, long* count) {
  return ParameterWalk(cmd, calc, nullptr, 0, nullptr, 0, checkUnits, count);
}

void ListVorenServers(CCalcCmdBase& cmd, Variant* result) {
  std::vector<std::string> servers;
  const Bstr dir = cmd.CalculationDirectoryArgument();
  for (const std::string& name : store::ListCalculations(cmd)) {
    ComPtr<IDispatch> calc;
    if (g_pEnvironment) g_pEnvironment->GetCalculation(Bstr::FromUtf8(name), dir, &calc);
    if (!calc) continue;
    ForEachParameter(calc.Get(), [&](long, IDispatch* item) {
      auto parameter = com::QueryInterface<IZrCalcParameter>(item);
      long kind = 0;
      Bstr server;
      if (parameter && com::SUCCEEDED(parameter->GetParameterKind(&kind)) && kind == 1 &&
          com::SUCCEEDED(parameter->GetServerName(&server)) && server.Length() != 0) {
        const std::string s = server.ToUtf8();
        if (std::none_of(servers.begin(), servers.end(), [&](const std::string& t) { return com::NamesEqual(s, t); }))
          servers.push_back(s);
      }
      return true;
    });
  }
  if (result) *result = Variant();
  CCalcCmdBase::StringArrayToVariant(servers, result);
}

}  // namespace kv::execution
