#include "engine/calc_parameter.h"

namespace kv::engine {

CalcParameter::CalcParameter() {
  props_.Text("Name", name_);
  props_.Custom(
      "Value", [this] { return Value(); }, com::VT_VARIANT,
      [this](const Variant& v) { return SetValue(v) ? com::S_OK : com::DISP_E_TYPEMISMATCH; });
  props_.Text("Units", units_);
}

CalcParameter::CalcParameter(std::string name, Variant value, std::string units) : CalcParameter() {
  name_ = std::move(name);
  units_ = std::move(units);
  SetValue(value);
}

std::string CalcParameter::Name() const { return Locked([&] { return name_; }); }
Variant CalcParameter::Value() const { return Locked([&] { return value_; }); }
std::string CalcParameter::Units() const { return Locked([&] { return units_; }); }

bool CalcParameter::SetValue(const Variant& value) {
  const Variant& v = value.Deref();
  if (!IsStorableValue(v)) return false;
  Locked([&] { value_ = v; });
  return true;
}

void CalcParameter::WriteTo(pugi::xml_node parent) const {
  pugi::xml_node node = parent.append_child("Parameter");
  std::lock_guard lock(mu_);
  WriteText(node, "Name", name_);
  WriteText(node, "Units", units_);
  WriteValue(node, "Value", value_);
}

com::ComPtr<CalcParameter> CalcParameter::ReadFrom(pugi::xml_node node, XmlError* err) {
  std::string name, units;
  Variant value;
  FieldReader r(node, err);
  r.Text("Name", name, kFieldRequired);
  r.Text("Units", units);
  r.Value("Value", &value, kFieldRequired);
  if (!r.Ok()) return nullptr;
  return com::MakeCom<CalcParameter>(std::move(name), std::move(value), std::move(units));
}

}  // namespace kv::engine
