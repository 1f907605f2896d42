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

ZrUnitType::ZrUnitType() {
  props_.Method("Unit", UnitMethod([this](const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
    return Unit(name, unit);
  }));
  props_.Method("CreateUnit", UnitMethod([this](const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
    return CreateUnit(name, unit);
  }), PropertyTable::kChanges);
}

HRESULT ZrUnitType::Units(com::ComPtr<components::IZrCollection>* units) { return SetOut(units, Nested()); }

HRESULT ZrUnitType::Unit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
  if (!unit) return com::E_POINTER;
  *unit = com::QueryInterface<components::IZrUnit>(Nested()->Find(name.ToUtf8()));
  return *unit ? com::S_OK : com::S_FALSE;
}

HRESULT ZrUnitType::CreateUnit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) {
  if (!unit) return com::E_POINTER;
  *unit = nullptr;
  const std::string n = name.ToUtf8();
  auto created = com::MakeCom<ZrUnit>(n);
  HRESULT hr = Nested()->AddNamed(n, created);
  if (hr == kNameTaken) return com::S_FALSE;
  if (FAILED(hr)) return hr;
  *unit = created;
  return com::S_OK;
}

}  // namespace kv::engine
