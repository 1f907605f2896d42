#pragma once
// The units table g_pUnitConversionObject: a collection of measurement types keyed by type name,
// loaded at start-up from "<g_BasePath>\bin\Conversions.zrc" (no backup) or built from the
// default table, and saved after each change. The routines below work on g_pUnitConversionObject
// and take no lock: the units commands hold UnitsLock around them; start-up calls them before any
// command runs.
#include <string>

#include "com/bstr.h"
#include "com/hresult.h"
#include "components/units_components.h"

namespace kv::units {

using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using components::IZrUnitType;

// "<g_BasePath>\bin\Conversions.zrc".
std::string ConversionsFilePath();

struct DefaultType {
  const char* name;  // also its description
  const char* standardUnits;
};
struct DefaultUnit {
  const char* type;
  const char* name;
  const char* description;
  double multiplier;
  double offset;
};
// The built-in table: 13 measurement types and 75 units, created in this order.
extern const DefaultType kDefaultTypes[13];
extern const DefaultUnit kDefaultUnits[75];

// Start-up: g_pUnitConversionObject from the conversions file; when that cannot be loaded, a new
// collection filled with the default table, not saved (the first change writes the file). Stays
// null only when no collection can be created.
void GetUnitConversionObject();
// Writes the table to the conversions file, creating "<g_BasePath>\bin" when it is missing.
// E_POINTER without a table.
HRESULT SaveUnitConversionObject();

// The type of that name / at that 1-based position: S_OK and the type, or a failure or S_FALSE
// and null (also without a table).
HRESULT FindType(const Bstr& name, ComPtr<IZrUnitType>* type);
HRESULT TypeAt(long position, ComPtr<IZrUnitType>* type);

// Creates a measurement type with these properties and adds it to the table under `name`; true
// when the table took it (false when the type cannot be created, there is no table, or the name
// is taken).
// Also false, and nothing added, when a text is longer than IsUsableText allows.
bool AddDefaultMeasurementType(const Bstr& name, const Bstr& description, const Bstr& standardUnits);

// The longest name and description (UTF-16 units) the table takes: the table is written whole
// on every change and shown in clients' lists.
inline constexpr size_t kMaxUnitNameLength = 256;
inline constexpr size_t kMaxUnitDescriptionLength = 1024;
bool IsUsableText(const Bstr& text, size_t limit);
// A unit's factors convert both ways only when both are finite and the multiplier is not zero
// and has a finite inverse (a conversion divides by it: 5e-324 would give an infinite factor);
// NaN or an infinity would spread into every converted value.
bool IsUsableFactors(double multiplier, double offset);
// Both of the above for a whole unit.
bool IsUsableUnit(const Bstr& unit, const Bstr& description, double multiplier, double offset);
// A whole measurement type, as a client's text gives it: its texts within the limits
// AddMeasurementType keeps and every unit one that IsUsableUnit takes.
bool IsUsableType(IZrUnitType* type);
// Adds a unit to the type `type`: 0, -1 when there is no such type, -2 when the type has a unit
// of that name, -3 when IsUsableUnit refuses it (nothing is added).
int AddUnitToType(const Bstr& type, const Bstr& unit, const Bstr& description, double multiplier, double offset);

}  // namespace kv::units
