#include "engine/unit_conversion.h"

#include "components/units_components.h"

namespace kv::engine {
namespace {

using components::IZrCollection;
using components::IZrUnit;
using components::IZrUnitType;

struct Scale {
  double multiplier = 1, offset = 0;
};

// Calls `f(type)` for every measurement type until it returns true.
template <class F>
bool ForEachType(com::IDispatch* units, F f) {
  com::ComPtr<IZrCollection> types = com::QueryInterface<IZrCollection>(units);
  long count = 0;
  if (!types || com::FAILED(types->Count(&count))) return false;
  for (long i = 1; i <= count; ++i) {
    com::ComPtr<com::IDispatch> item;
    types->ItemAt(i, &item);
    com::ComPtr<IZrUnitType> type = com::QueryInterface<IZrUnitType>(item);
    if (type && f(type.Get())) return true;
  }
  return false;
}

bool UnitScale(IZrUnitType* type, const std::string& name, Scale* out) {
  com::ComPtr<IZrUnit> unit;
  type->Unit(com::Bstr::FromUtf8(name), &unit);
  if (!unit) return false;
  unit->GetMultiplier(&out->multiplier);
  unit->GetOffset(&out->offset);
  return true;
}

}  // namespace

bool FindConversion(com::IDispatch* units, const std::string& from, const std::string& to, UnitConversion* out,
                    std::string* error) {
  *out = UnitConversion();
  if (from.empty() || to.empty() || from == to) return true;
  bool found = ForEachType(units, [&](IZrUnitType* type) {
    Scale a, b;
    if (!UnitScale(type, from, &a) || !UnitScale(type, to, &b) || b.multiplier == 0) return false;
    // v in `from` is v*a.m + a.o in standard units, which is (that - b.o) / b.m in `to`.
    out->multiplier = a.multiplier / b.multiplier;
    out->offset = (a.offset - b.offset) / b.multiplier;
    return true;
  });
  if (!found) *error = "no conversion from " + from + " to " + to;
  return found;
}

bool UnitExists(com::IDispatch* units, const std::string& name) {
  return ForEachType(units, [&](IZrUnitType* type) {
    Scale s;
    return UnitScale(type, name, &s);
  });
}

}  // namespace kv::engine
