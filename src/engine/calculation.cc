#include "engine/calculation.h"

namespace kv::engine {

ZrCalculation::ZrCalculation() : parameters_(com::MakeCom<ParameterList>()) {
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

HRESULT ZrCalculation::GetName(Bstr* name) { return SetOut(name, Bstr::FromUtf8(Name())); }

HRESULT ZrCalculation::GetSummaryState(int16_t* state) { return SetOut(state, Script().empty() ? 0 : 1); }

std::string ZrCalculation::Name() const { return Locked([&] { return f_.header.name; }); }
long ZrCalculation::CalcType() const { return Locked([&] { return f_.calcType; }); }
std::string ZrCalculation::Script() const { return Locked([&] { return f_.script; }); }
std::vector<std::string> ZrCalculation::Libraries() const { return Locked([&] { return f_.libraries; }); }

void ZrCalculation::SetCalcType(long type) {
  Locked([&] { f_.calcType = static_cast<int32_t>(type); });
}
void ZrCalculation::SetScript(std::string script) {
  Locked([&] { f_.script = std::move(script); });
}
void ZrCalculation::SetLibraries(std::vector<std::string> names) {
  Locked([&] { f_.libraries = std::move(names); });
}
void ZrCalculation::SetStatus(long status, std::string errorText) {
  Locked([&] {
    f_.status = static_cast<int32_t>(status);
    f_.errorText = std::move(errorText);
  });
}

bool ZrCalculation::AddParameter(std::string name, const Variant& value, std::string units) {
  if (!IsStorableValue(value.Deref())) return false;
  return parameters_->Add(com::MakeCom<CalcParameter>(std::move(name), value, std::move(units)));
}

void ZrCalculation::WriteXml(pugi::xml_node root) const {
  const Fields f = Locked([&] { return f_; });
  FieldWriter w(root);
  Fields::Visit(f, w);
  WriteStringList(root, "Libraries", "Library", f.libraries);
  pugi::xml_node params = root.append_child("Parameters");
  for (const auto& p : parameters_->Items()) p->WriteTo(params);
}

bool ZrCalculation::ReadXml(pugi::xml_node root, XmlError* err) {
  Fields f;
  FieldReader r(root, err);
  Fields::Visit(f, r);
  r.StringList("Libraries", "Library", &f.libraries);
  if (!r.Ok()) return false;

  std::vector<com::ComPtr<CalcParameter>> params;
  if (!ReadNamedItems(root.child("Parameters"), "Parameter", &CalcParameter::ReadFrom, err, &params)) return false;

  Locked([&] { f_ = std::move(f); });
  parameters_->Replace(std::move(params));
  return true;
}

}  // namespace kv::engine
