#pragma once
// What the system asks of the units components: a measurement type (temperature, pressure, ...)
// with its standard units and the units that convert to them, and the unit itself. The units
// table is a collection (IZrCollection) of measurement types keyed by type name. Their insides
// live in src/engine/; both accept concurrent calls from several threads.
#include "components/schedule_components.h"

namespace kv::components {

inline constexpr com::CLSID CLSID_ZrUnitType = com::MakeGuid("A68D02B3-EB71-11D2-B905-00805F712C95");
inline constexpr com::IID IID_IZrUnitType = com::MakeGuid("A68D02B2-EB71-11D2-B905-00805F712C95");

// One unit of a measurement type: a value v in this unit is v * Multiplier + Offset in the
// type's standard units.
class IZrUnit : public virtual IUnknown {
 public:
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT PutName(const Bstr& name) = 0;
  virtual HRESULT GetDescription(Bstr* text) = 0;
  virtual HRESULT PutDescription(const Bstr& text) = 0;
  virtual HRESULT GetMultiplier(double* value) = 0;
  virtual HRESULT PutMultiplier(double value) = 0;
  virtual HRESULT GetOffset(double* value) = 0;
  virtual HRESULT PutOffset(double value) = 0;
};

class IZrUnitType : public virtual IUnknown {
 public:
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT PutName(const Bstr& name) = 0;
  virtual HRESULT GetDescription(Bstr* text) = 0;
  virtual HRESULT PutDescription(const Bstr& text) = 0;
  virtual HRESULT GetStandardUnits(Bstr* units) = 0;
  virtual HRESULT PutStandardUnits(const Bstr& units) = 0;
  // The live collection of the type's units, keyed by units name.
  virtual HRESULT Units(ComPtr<IZrCollection>* units) = 0;
  // The unit of that name; S_FALSE and null when the type has none.
  virtual HRESULT Unit(const Bstr& name, ComPtr<IZrUnit>* unit) = 0;
  // A new unit of that name (multiplier 1, offset 0), added to the type; S_FALSE and null when
  // the type already has a unit of that name.
  virtual HRESULT CreateUnit(const Bstr& name, ComPtr<IZrUnit>* unit) = 0;
};

}  // namespace kv::components
