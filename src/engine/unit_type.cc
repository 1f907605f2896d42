#include "engine/unit_type.h"

namespace kv::engine {
namespace {

// A method whose one argument is a units name and whose result is the unit or null.
template <class F>
PropertyTable::Getter UnitMethod(F f) {
  return [f](std::vector<Variant>& args, Variant* result) {
    Bstr name;
    HRESULT hr = StringArg(args, 0, &name);
    if (FAILED(hr)) return hr;
    com::ComPtr<components::IZrUnit> unit;
    hr = f(name, &unit);
    *result = Variant::Dispatch(com::QueryInterface<com::IDispatch>(unit));
    return hr;
  };
}

}  // namespace

ZrUnit::ZrUnit() { Fields::Visit(f_, props_); }

ZrUnit::ZrUnit(std::string name) : ZrUnit() { f_.name = std::move(name); }

void ZrUnit::WriteXml(pugi::xml_node root) const { WriteFields(root, Locked([&] { return f_; })); }

bool ZrUnit::ReadXml(pugi::xml_node root, XmlError* err) {
  Fields f;
  if (!ReadFields(root, err, &f)) return false;
  Locked([&] { f_ = std::move(f); });
  return true;
}

ZrUnitType::ZrUnitType() : units_(com::MakeCom<ZrCollection>()) {
  Fields::Visit(f_, props_);
  props_.Computed("Units", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Dispatch(com::ComPtr<com::IDispatch>(units_));
    return com::S_OK;
  });
  props_.Method("Unit", UnitMethod([this](const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
    return Unit(name, unit);
  }));
  props_.Method("CreateUnit", UnitMethod([this](const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
    return CreateUnit(name, unit);
  }));
}

HRESULT ZrUnitType::Units(com::ComPtr<components::IZrCollection>* units) { return SetOut(units, units_); }

HRESULT ZrUnitType::Unit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
  if (!unit) return com::E_POINTER;
  *unit = com::QueryInterface<components::IZrUnit>(units_->Find(name.ToUtf8()));
  return *unit ? com::S_OK : com::S_FALSE;
}

HRESULT ZrUnitType::CreateUnit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
  if (!unit) return com::E_POINTER;
  *unit = nullptr;
  const std::string n = name.ToUtf8();
  auto created = com::MakeCom<ZrUnit>(n);
  HRESULT hr = units_->AddNamed(n, created);
  if (hr == kNameTaken) return com::S_FALSE;
  if (FAILED(hr)) return hr;
  *unit = created;
  return com::S_OK;
}

void ZrUnitType::WriteXml(pugi::xml_node root) const {
  WriteFields(root, Locked([&] { return f_; }));
  WriteNested(root, "Units", *units_);
}

bool ZrUnitType::ReadXml(pugi::xml_node root, XmlError* err) {
  Fields f;
  com::ComPtr<ZrCollection> units;
  if (!ReadFields(root, err, &f) || !ReadNested(root, "Units", err, &units)) return false;
  Locked([&] { f_ = std::move(f); });
  units_->TakeContent(*units);
  return true;
}

}  // namespace kv::engine
