#pragma once
// ZrUnitType: a measurement type with its standard units and the collection of its units;
// ZrUnit: one unit with its conversion factors. Both thread-safe.
//
// Type properties by name (IDispatch): "Name", "Description", "StandardUnits", "Units" (the
// unit collection), and the methods "Unit" and "CreateUnit" (a units name each; the unit, or
// VT_DISPATCH null; CreateUnit is a change). Unit properties: "Name", "Description", "Multiplier" and "Offset" (VT_R8).
#include <string>

#include "components/units_components.h"
#include "engine/collection.h"
#include "engine/field_object.h"

namespace kv::engine {

struct UnitFields {
  std::string name;
  std::string description;
  double multiplier = 1;
  double offset = 0;

  template <class F, class V>
  static void Visit(F& f, V& v) {
    v.Text("Name", f.name, kFieldRequired);
    v.Text("Description", f.description);
    v.Double("Multiplier", f.multiplier);
    v.Double("Offset", f.offset);
  }
};

class ZrUnit : public com::ComObject<components::IZrUnit, FieldObject<UnitFields>> {
 public:
  ZrUnit() = default;
  explicit ZrUnit(std::string name) { f_.name = std::move(name); }

  HRESULT GetName(Bstr* name) override { return ReadField(f_, &UnitFields::name, name); }
  HRESULT PutName(const Bstr& name) override { return WriteField(f_, &UnitFields::name, name); }
  HRESULT GetDescription(Bstr* text) override { return ReadField(f_, &UnitFields::description, text); }
  HRESULT PutDescription(const Bstr& text) override { return WriteField(f_, &UnitFields::description, text); }
  HRESULT GetMultiplier(double* value) override { return ReadField(f_, &UnitFields::multiplier, value); }
  HRESULT PutMultiplier(double value) override { return WriteField(f_, &UnitFields::multiplier, value); }
  HRESULT GetOffset(double* value) override { return ReadField(f_, &UnitFields::offset, value); }
  HRESULT PutOffset(double value) override { return WriteField(f_, &UnitFields::offset, value); }

 protected:
  const char* RootName() const override { return "Unit"; }
  const char* ClassName() const override { return "ZrUnit"; }
};

struct UnitTypeFields {
  static constexpr const char* kNested = "Units";

  std::string name;
  std::string description;
  std::string standardUnits;

  template <class F, class V>
  static void Visit(F& f, V& v) {
    v.Text("Name", f.name, kFieldRequired);
    v.Text("Description", f.description);
    v.Text("StandardUnits", f.standardUnits);
  }
};

class ZrUnitType : public com::ComObject<components::IZrUnitType, FieldCollectionObject<UnitTypeFields>> {
 public:
  ZrUnitType();

  HRESULT GetName(Bstr* name) override { return ReadField(f_, &UnitTypeFields::name, name); }
  HRESULT PutName(const Bstr& name) override { return WriteField(f_, &UnitTypeFields::name, name); }
  HRESULT GetDescription(Bstr* text) override { return ReadField(f_, &UnitTypeFields::description, text); }
  HRESULT PutDescription(const Bstr& text) override { return WriteField(f_, &UnitTypeFields::description, text); }
  HRESULT GetStandardUnits(Bstr* units) override { return ReadField(f_, &UnitTypeFields::standardUnits, units); }
  HRESULT PutStandardUnits(const Bstr& units) override {
    return WriteField(f_, &UnitTypeFields::standardUnits, units);
  }
  HRESULT Units(com::ComPtr<components::IZrCollection>* units) override;
  HRESULT Unit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) override;
  HRESULT CreateUnit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) override;

  const com::ComPtr<ZrCollection>& UnitCollection() const { return Nested(); }

 protected:
  const char* RootName() const override { return "UnitType"; }
  const char* ClassName() const override { return "ZrUnitType"; }
};

}  // namespace kv::engine
