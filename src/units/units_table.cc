#include "units/units_table.h"

#include <cmath>

#include "com/class_registry.h"
#include "command_object/shared_objects.h"
#include "components/server_objects.h"
#include "config/config.h"
#include "persist/collection_io.h"
#include "platform/env.h"

namespace kv::units {

const DefaultType kDefaultTypes[13] = {
    {"Temperature", "C"}, {"Distance", "m"}, {"Time", "s"},    {"Mass", "g"},       {"Mass Rate", "Kg/Min"},
    {"Pressure", "Pa"},   {"Force", "N"},    {"Energy", "J"},  {"Power", "W"},      {"Magnetism", "T"},
    {"Area", "sq m"},     {"Volume", "l"},   {"Speed", "m/s"},
};

const DefaultUnit kDefaultUnits[75] = {
    {"Temperature", "F", "Degree Fahrenheit", 0.5555555555555556, -17.77777777777778},
    {"Temperature", "DegF", "Degree Fahrenheit", 0.5555555555555556, -17.77777777777778},
    {"Temperature", "C", "Degree Celsius", 1, 0},
    {"Temperature", "degC", "Degree Celsius", 1, 0},
    {"Temperature", "K", "Degree Kelvin", 1, -273.15},
    {"Distance", "mm", "Millimeter", 0.001, 0},
    {"Distance", "cm", "Centimeter", 0.01, 0},
    {"Distance", "m", "Meter", 1, 0},
    {"Distance", "km", "Kilometer", 1000, 0},
    {"Distance", "in", "Inch", 0.0254, 0},
    {"Distance", "ft", "Foot", 0.3048, 0},
    {"Distance", "feet", "Foot", 0.3048, 0},
    {"Distance", "yd", "Yard", 0.9144, 0},
    {"Distance", "mile", "Mile", 1609.344, 0},
    {"Time", "ns", "Nanosecond", 1e-09, 0},
    {"Time", "us", "Microsecond", 1e-06, 0},
    {"Time", "ms", "Millisecond", 0.001, 0},
    {"Time", "s", "Second", 1, 0},
    {"Time", "seconds", "Second", 1, 0},
    {"Time", "min", "Minute", 60, 0},
    {"Time", "hour", "Hour", 3600, 0},
    {"Time", "day", "Day", 86400, 0},
    {"Mass", "ug", "Microgram", 1e-06, 0},
    {"Mass", "mg", "Milligram", 0.001, 0},
    {"Mass", "g", "Gram", 1, 0},
    {"Mass", "kg", "Kilogram", 1000, 0},
    {"Mass", "tonne", "Metric ton", 1000000, 0},
    {"Mass", "ozm", "Ounce mass", 28.34951935, 0},
    {"Mass", "lbm", "Pound Mass", 453.5923097, 0},
    {"Mass", "pounds", "Pound Mass", 453.5923097, 0},
    {"Mass", "ton", "Ton", 1016046.774, 0},
    {"Mass Rate", "Kg/Min", "Kilogram per minute", 1, 0},
    {"Mass Rate", "kg/hr", "Kilogram per hour", 0.016666666666666666, 0},
    {"Mass Rate", "lbs/min", "Pounds per minute", 0.4535923097, 0},
    {"Pressure", "Pa", "Pascal", 1, 0},
    {"Pressure", "KPa", "Kilopascal", 1000, 0},
    {"Pressure", "atm", "Atmosphere", 101324.9966, 0},
    {"Pressure", "mmHg", "mm of Mercury", 133.3223639, 0},
    {"Pressure", "psi", "Pounds per square inch", 6894.75789, 0},
    {"Pressure", "Bar", "Bar", 100000, 0},
    {"Force", "N", "Newton", 1, 0},
    {"Force", "dyn", "Dyne", 1e-05, 0},
    {"Force", "lbf", "Pound force", 4.448222, 0},
    {"Energy", "J", "Joule", 1, 0},
    {"Energy", "KJ", "Kilojoule", 1000, 0},
    {"Energy", "MJ", "Megajoule", 1000000, 0},
    {"Energy", "e", "Erg", 1e-07, 0},
    {"Energy", "c", "Thermodynamic calorie", 4.183991014, 0},
    {"Energy", "cal", "IT calorie", 4.186794846, 0},
    {"Energy", "eV", "Electron volt", 1.60219e-19, 0},
    {"Energy", "keV", "Kilo Electron Volt", 1.60219e-16, 0},
    {"Energy", "MeV", "Mega Electron Volt", 1.60219e-13, 0},
    {"Energy", "kWh", "Kilowatt-Hour", 3600000, 0},
    {"Energy", "BTU", "Britsh Thermal Unit", 1055.058138, 0},
    {"Power", "W", "Watt", 1, 0},
    {"Power", "mW", "Milliwatt", 0.001, 0},
    {"Power", "kW", "Kilowatt", 1000, 0},
    {"Power", "MegaW", "Megawatt", 1000000, 0},
    {"Power", "HP", "Horsepower", 745.701, 0},
    {"Magnetism", "T", "Tesla", 1, 0},
    {"Magnetism", "ga", "Gauss", 0.0001, 0},
    {"Area", "sq m", "Square meter", 1, 0},
    {"Area", "sq in", "Square Inch", 0.00064516, 0},
    {"Area", "sq ft", "Square Feet", 0.09290304, 0},
    {"Area", "sq yd", "Square Yard", 0.83612736, 0},
    {"Volume", "l", "Liter", 1, 0},
    {"Volume", "Liters", "Liter", 1, 0},
    {"Volume", "ml", "Milliliter", 0.001, 0},
    {"Volume", "US gal", "US Gallon", 3.786235457, 0},
    {"Volume", "Gal", "US Gallon", 3.786235457, 0},
    {"Volume", "UK gal", "UK Gallon", 4.5461, 0},
    {"Speed", "m/s", "Meters per second", 1, 0},
    {"Speed", "feet/sec", "Feet per second", 0.3048, 0},
    {"Speed", "kph", "Kilometers per hour", 0.2777777777777778, 0},
    {"Speed", "mph", "Miles per hour", 0.44704, 0},
};

std::string ConversionsFilePath() { return g_BasePath + "\\bin\\Conversions.zrc"; }

void GetUnitConversionObject() {
  ComPtr<components::IZrCollection> table;
  if (com::FAILED(persist::LoadCollection(ConversionsFilePath(), &table)) &&
      com::SUCCEEDED(persist::NewCollection(&table))) {
    g_pUnitConversionObject = table;
    size_t next = 0;
    for (const DefaultType& t : kDefaultTypes) {
      const Bstr name = Bstr::FromUtf8(t.name);
      AddDefaultMeasurementType(name, name, Bstr::FromUtf8(t.standardUnits));
      for (; next < std::size(kDefaultUnits) && std::string_view(kDefaultUnits[next].type) == t.name; ++next) {
        const DefaultUnit& u = kDefaultUnits[next];
        AddUnitToType(name, Bstr::FromUtf8(u.name), Bstr::FromUtf8(u.description), u.multiplier, u.offset);
      }
    }
  }
  // Every client reaches the table through GetUnitConversionObject and the type and unit getters;
  // changes through those objects need the units right, as the units commands do.
  if (auto shared = com::QueryInterface<components::ISharedObject>(table))
    shared->GuardChanges(components::SharedObject::Units);
  g_pUnitConversionObject = table;
}

HRESULT SaveUnitConversionObject() {
  ComPtr<components::IZrCollection> table = g_pUnitConversionObject;
  if (!table) return com::E_POINTER;
  persist::EnsureBinDirectory(*SharedServerObjects().Platform().fs);
  return persist::SaveCollection(ConversionsFilePath(), table.Get());
}

HRESULT FindType(const Bstr& name, ComPtr<IZrUnitType>* type) {
  return persist::ItemAs(g_pUnitConversionObject.Get(), name, type);
}

HRESULT TypeAt(long position, ComPtr<IZrUnitType>* type) {
  return persist::ItemAtAs(g_pUnitConversionObject.Get(), position, type);
}

bool IsUsableText(const Bstr& text, size_t limit) { return text.Length() <= limit; }

bool IsUsableFactors(double multiplier, double offset) {
  return std::isfinite(multiplier) && std::isfinite(offset) && multiplier != 0 && std::isfinite(1 / multiplier);
}

bool IsUsableUnit(const Bstr& unit, const Bstr& description, double multiplier, double offset) {
  return IsUsableText(unit, kMaxUnitNameLength) && IsUsableText(description, kMaxUnitDescriptionLength) &&
         IsUsableFactors(multiplier, offset);
}

bool IsUsableType(IZrUnitType* type) {
  Bstr name, description, standardUnits;
  ComPtr<components::IZrCollection> units;
  if (!type || com::FAILED(type->GetName(&name)) || com::FAILED(type->GetDescription(&description)) ||
      com::FAILED(type->GetStandardUnits(&standardUnits)) || com::FAILED(type->Units(&units)) || !units)
    return false;
  if (!IsUsableText(name, kMaxUnitNameLength) || !IsUsableText(description, kMaxUnitDescriptionLength) ||
      !IsUsableText(standardUnits, kMaxUnitNameLength))
    return false;
  long count = 0;
  if (com::FAILED(units->Count(&count))) return false;
  for (long i = 1; i <= count; ++i) {
    ComPtr<components::IZrUnit> u;
    if (com::FAILED(persist::ItemAtAs(units.Get(), i, &u)) || !u) return false;
    Bstr unitName, unitDescription;
    double multiplier = 0, offset = 0;
    u->GetName(&unitName);
    u->GetDescription(&unitDescription);
    u->GetMultiplier(&multiplier);
    u->GetOffset(&offset);
    if (!IsUsableUnit(unitName, unitDescription, multiplier, offset)) return false;
  }
  return true;
}

bool AddDefaultMeasurementType(const Bstr& name, const Bstr& description, const Bstr& standardUnits) {
  if (!IsUsableText(name, kMaxUnitNameLength) || !IsUsableText(description, kMaxUnitDescriptionLength) ||
      !IsUsableText(standardUnits, kMaxUnitNameLength))
    return false;
  ComPtr<components::IZrCollection> table = g_pUnitConversionObject;
  ComPtr<IZrUnitType> type;
  if (!table || com::FAILED(com::CreateInstance(components::CLSID_ZrUnitType, &type))) return false;
  type->PutName(name);
  type->PutDescription(description);
  type->PutStandardUnits(standardUnits);
  auto disp = com::QueryInterface<com::IDispatch>(type);
  return disp && com::SUCCEEDED(table->Add(name, disp.Get()));
}

int AddUnitToType(const Bstr& type, const Bstr& unit, const Bstr& description, double multiplier, double offset) {
  ComPtr<IZrUnitType> t;
  if (FindType(type, &t) != com::S_OK) return -1;
  if (!IsUsableUnit(unit, description, multiplier, offset)) return -3;
  ComPtr<components::IZrUnit> u;
  t->CreateUnit(unit, &u);
  if (!u) return -2;
  u->PutDescription(description);
  u->PutMultiplier(multiplier);
  u->PutOffset(offset);
  return 0;
}

}  // namespace kv::units
