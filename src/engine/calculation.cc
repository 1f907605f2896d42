#include "engine/calculation.h"

#include <algorithm>
#include <atomic>

#include "engine/lua_runtime.h"
#include "engine/script_names.h"
#include "engine/server_context.h"

namespace kv::engine {

namespace {
std::atomic<uint64_t> g_nextId{1};
}  // namespace

ZrCalculation::ZrCalculation()
    : id_(g_nextId.fetch_add(1)), platform_(EnginePlatform()), parameters_(com::MakeCom<ParameterList>()) {
  Fields::Visit(f_, props_);
  props_.Custom(
      "Libraries", [this] { return com::StringListVariant(Libraries()); }, com::VT_VARIANT,
      [this](const Variant& v) {
        std::vector<std::string> names;
        if (!v.Deref().IsEmpty() && !com::VariantToStringList(v.Deref(), &names)) return com::DISP_E_TYPEMISMATCH;
        SetLibraries(std::move(names));
        return com::S_OK;
      });
  props_.Computed("SummaryState", [this](std::vector<Variant>&, Variant* result) {
    int16_t state;
    GetSummaryState(&state);
    *result = Variant::I2(state);
    return com::S_OK;
  });
  props_.Computed("Parameters", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Dispatch(com::ComPtr<com::IDispatch>(parameters_));
    return com::S_OK;
  });
  props_.Computed("Value", [this](std::vector<Variant>&, Variant* result) {
    *result = Result();
    return com::S_OK;
  });
  // Calculate takes an optional context string, which the script reads as "Context". Only a
  // client holds this late-bound name (the server runs through Run): it needs the execution
  // right, as the execution commands do.
  props_.Method("Calculate", [this](std::vector<Variant>& args, Variant*) {
    components::IServerObjects* objects = ServerObjects();
    if (objects && !objects->CallerMayRun()) return com::E_ACCESSDENIED;
    if (args.empty() || args[0].Deref().IsEmpty()) return Calculate();
    Bstr context;
    HRESULT hr = StringArg(args, 0, &context);
    if (FAILED(hr)) return hr;
    components::RunRequest request = objects ? objects->OnDemandRunRequest() : components::RunRequest{};
    request.context = context.ToUtf8();
    return Run(request, nullptr);
  });
  props_.Method("CheckFormula", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Bool(CheckFormula() == com::S_OK);
    return com::S_OK;
  });
}

HRESULT ZrCalculation::SetCreationTime(double oleDate) {
  return Locked([&] { f_.creationTime = oleDate; return com::S_OK; });
}
HRESULT ZrCalculation::SetSaveTime(double oleDate) {
  return Locked([&] { f_.header.saveTime = oleDate; return com::S_OK; });
}
HRESULT ZrCalculation::SetNewState(long state) {
  return Locked([&] { f_.newState = static_cast<int32_t>(state); return com::S_OK; });
}
HRESULT ZrCalculation::SetEditState(long state) {
  return Locked([&] { f_.editState = static_cast<int32_t>(state); return com::S_OK; });
}
HRESULT ZrCalculation::SetOwnerString(const Bstr& owner) {
  return Locked([&] { f_.header.owner = owner.ToUtf8(); return com::S_OK; });
}
HRESULT ZrCalculation::SetName(const Bstr& name) {
  return Locked([&] { f_.header.name = name.ToUtf8(); return com::S_OK; });
}

HRESULT ZrCalculation::GetOwnerString(Bstr* owner) {
  return SetOut(owner, Bstr::FromUtf8(Locked([&] { return f_.header.owner; })));
}

HRESULT ZrCalculation::GetCalcType(long* type) { return SetOut(type, CalcType()); }

HRESULT ZrCalculation::SetCalcType(long type) {
  return Locked([&] { f_.calcType = static_cast<int32_t>(type); return com::S_OK; });
}

HRESULT ZrCalculation::SetCalcScript(const Bstr& script) {
  SetScript(script.ToUtf8());
  return com::S_OK;
}

HRESULT ZrCalculation::GetParameters(com::ComPtr<components::IZrParameters>* params) {
  return SetOut(params, com::ComPtr<components::IZrParameters>(parameters_));
}

HRESULT ZrCalculation::GetParameter(const Bstr& name, com::ComPtr<com::IDispatch>* param) {
  if (!param) return com::E_POINTER;
  com::ComPtr<CalcParameter> p = parameters_->Find(name.ToUtf8());
  *param = p;
  return p ? com::S_OK : com::S_FALSE;
}


HRESULT ZrCalculation::GetParameterDetails(Variant* details) {
  if (!details) return com::E_POINTER;
  *details = Variant();
  const auto params = parameters_->Items();
  if (params.empty()) return com::S_OK;
  std::vector<Variant> rows;
  for (const auto& p : params) {
    const ParameterFields f = p->Fields();
    rows.push_back(com::VariantArray({Variant::Str(f.name), Variant::I4(f.direction), Variant::I4(f.kind),
                                      Variant::Str(f.serverName), Variant::Str(f.tagName), Variant::Str(f.calcName),
                                      Variant::Str(f.units), p->Value()}));
  }
  *details = com::VariantArray(std::move(rows));
  return com::S_OK;
}

HRESULT ZrCalculation::RefersToCalculation(const Bstr& name, com::VARIANT_BOOL* refers) {
  if (!refers) return com::E_POINTER;
  const std::string n = name.ToUtf8();
  bool found = false;
  for (const auto& p : parameters_->Items()) {
    const ParameterFields f = p->Fields();
    found = found || (f.kind == components::kParamCalculation && f.calcName == n);
  }
  *refers = found ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return com::S_OK;
}

HRESULT ZrCalculation::RefersToFormula(const Bstr& library, const Bstr& formula, com::VARIANT_BOOL* refers) {
  if (!refers) return com::E_POINTER;
  *refers = com::VARIANT_FALSE;
  const std::string lib = library.ToUtf8(), name = formula.ToUtf8();
  bool found = false;
  if (name.empty()) {
    const auto libs = Libraries();
    found = std::find(libs.begin(), libs.end(), lib) != libs.end();
  }
  ScriptNames names;
  std::string error;
  if (!found && AnalyzeScript(Script(), Name(), &names, &error)) {
    for (const auto& [global, field] : names.fields)
      found = found || (global == lib && (name.empty() || field == name));
  }
  *refers = found ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return com::S_OK;
}

HRESULT ZrCalculation::GetName(Bstr* name) { return SetOut(name, Bstr::FromUtf8(Name())); }

HRESULT ZrCalculation::GetSummaryState(int16_t* state) { return SetOut(state, Script().empty() ? 0 : 1); }

std::string ZrCalculation::Name() const { return Locked([&] { return f_.header.name; }); }
long ZrCalculation::CalcType() const { return Locked([&] { return f_.calcType; }); }
long ZrCalculation::Level() const { return Locked([&] { return f_.level; }); }
std::string ZrCalculation::StatusText() const { return Locked([&] { return f_.status; }); }
std::string ZrCalculation::ErrorText() const { return Locked([&] { return f_.errorText; }); }
Variant ZrCalculation::Result() const { return Locked([&] { return value_; }); }
std::string ZrCalculation::Script() const { return Locked([&] { return f_.script; }); }
std::vector<std::string> ZrCalculation::Libraries() const { return Locked([&] { return f_.libraries; }); }

void ZrCalculation::SetScript(std::string script) {
  Locked([&] { f_.script = std::move(script); });
}
void ZrCalculation::SetLibraries(std::vector<std::string> names) {
  Locked([&] { f_.libraries = std::move(names); });
}
void ZrCalculation::SetOutcome(long level, std::string status, std::string errorText) {
  // A compiler message quotes the token it stopped at, which may be a long string of the script.
  LimitRunText(&errorText);
  Locked([&] {
    f_.level = static_cast<int32_t>(level);
    f_.status = std::move(status);
    f_.errorText = std::move(errorText);
  });
}

bool ZrCalculation::AddParameter(std::string name, const Variant& value, std::string units) {
  if (!IsStorableValue(value.Deref())) return false;
  return parameters_->Add(com::MakeCom<CalcParameter>(std::move(name), value, std::move(units)));
}

bool ZrCalculation::AddParameter(const ParameterFields& fields, const Variant& value) {
  if (!IsStorableValue(value.Deref())) return false;
  return parameters_->Add(com::MakeCom<CalcParameter>(fields, value));
}

void ZrCalculation::WriteXml(pugi::xml_node root) const {
  Fields f;
  Variant value;
  Locked([&] {
    f = f_;
    value = value_;
  });
  FieldWriter w(root);
  Fields::Visit(f, w);
  WriteValue(root, "Value", value);
  WriteStringList(root, "Libraries", "Library", f.libraries);
  pugi::xml_node params = root.append_child("Parameters");
  for (const auto& p : parameters_->Items()) p->WriteTo(params);
}

const FieldKinds& ZrCalculation::Kinds() { return KindsOf<Fields>(); }

bool ZrCalculation::ReadXml(pugi::xml_node root, XmlError* err) {
  Fields f;
  Variant value;
  FieldReader r(root, err);
  Fields::Visit(f, r);
  r.Value("Value", &value);
  r.StringList("Libraries", "Library", &f.libraries);
  if (!r.Ok()) return false;

  std::vector<com::ComPtr<CalcParameter>> params;
  if (!ReadNamedItems(root.child("Parameters"), "Parameter", &CalcParameter::ReadFrom, err, &params)) return false;

  Locked([&] {
    f_ = std::move(f);
    value_ = std::move(value);
  });
  parameters_->Replace(std::move(params));
  return true;
}

}  // namespace kv::engine
