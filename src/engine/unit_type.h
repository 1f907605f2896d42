#pragma once
// ZrUnitType: a measurement type with its standard units and the collection of its units;
// ZrUnit: one unit with its conversion factors. Both thread-safe.
//
// Type properties by name (IDispatch): "Name", "Description", "StandardUnits", "Units" (the
// unit collection), and the methods "Unit" and "CreateUnit" (a units name each; the unit, or
// VT_DISPATCH null). Unit properties: "Name", "Description", "Multiplier" and "Offset" (VT_R8).
#include <pugixml.hpp>

#include <string>

#include "components/units_components.h"
#include "engine/collection.h"
#include "engine/object_file.h"
#include "engine/property_table.h"

namespace kv::engine {

class ZrUnit : public com::ComObject<components::IZrUnit, XmlPersistence, PropertyObject> {
 public:
  ZrUnit();
  explicit ZrUnit(std::string name);

  HRESULT GetName(Bstr* name) override { return ReadField(f_, &Fields::name, name); }
  HRESULT PutName(const Bstr& name) override { return WriteField(f_, &Fields::name, name); }
  HRESULT GetDescription(Bstr* text) override { return ReadField(f_, &Fields::description, text); }
  HRESULT PutDescription(const Bstr& text) override { return WriteField(f_, &Fields::description, text); }
  HRESULT GetMultiplier(double* value) override { return ReadField(f_, &Fields::multiplier, value); }
  HRESULT PutMultiplier(double value) override { return WriteField(f_, &Fields::multiplier, value); }
  HRESULT GetOffset(double* value) override { return ReadField(f_, &Fields::offset, value); }
  HRESULT PutOffset(double value) override { return WriteField(f_, &Fields::offset, value); }

 protected:
  const char* RootName() const override { return "Unit"; }
  const char* ClassName() const override { return "ZrUnit"; }
  void WriteXml(pugi::xml_node root) const override;
  bool ReadXml(pugi::xml_node root, XmlError* err) override;

 private:
  struct Fields {
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

  Fields f_;  // guarded by mu_
};

class ZrUnitType : public com::ComObject<components::IZrUnitType, XmlPersistence, PropertyObject> {
 public:
  ZrUnitType();

  HRESULT GetName(Bstr* name) override { return ReadField(f_, &Fields::name, name); }
  HRESULT PutName(const Bstr& name) override { return WriteField(f_, &Fields::name, name); }
  HRESULT GetDescription(Bstr* text) override { return ReadField(f_, &Fields::description, text); }
  HRESULT PutDescription(const Bstr& text) override { return WriteField(f_, &Fields::description, text); }
  HRESULT GetStandardUnits(Bstr* units) override { return ReadField(f_, &Fields::standardUnits, units); }
  HRESULT PutStandardUnits(const Bstr& units) override { return WriteField(f_, &Fields::standardUnits, units); }
  HRESULT Units(com::ComPtr<components::IZrCollection>* units) override;
  HRESULT Unit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) override;
  HRESULT CreateUnit(const Bstr& name, com::ComPtr<components::IZrUnit>* unit) override;

  com::ComPtr<ZrCollection> UnitCollection() const { return units_; }

 protected:
  const char* RootName() const override { return "UnitType"; }
  const char* ClassName() const override { return "ZrUnitType"; }
  void WriteXml(pugi::xml_node root) const override;
  bool ReadXml(pugi::xml_node root, XmlError* err) override;

 private:
  struct Fields {
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

  Fields f_;  // guarded by mu_
  const com::ComPtr<ZrCollection> units_;
};

}  // namespace kv::engine
