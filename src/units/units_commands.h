#pragma once
// The units table's commands. Each takes the command object it runs on
// (command_object/calc_cmd_base.h).
#include <string>
#include <vector>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/variant.h"
#include "command_object/calc_cmd_base.h"

namespace kv::units {

// Units commands: every one clears the error first and fails with CMDERR_UNIT_CONVERSION_NOT_FOUND without
// a units table; all but GetUnitConversionObject hold UnitsLock (kSiteUnitsCommand). Those that change the table ask
// for the units right (CMDERR_DENIED_UNITS on refusal; the table is shared, so application objects ask
// too) and save the table after a change; a failed save is
// not reported. "Type" failures are CMDERR_INVALID_MEASUREMENT_TYPE, missing units
// CMDERR_INVALID_UNITS_NAME.
bool AddMeasurementType(CCalcCmdBase& cmd, const Bstr& type, const Bstr& description, const Bstr& standardUnits);
// CMDERR_INVALID_MEASUREMENT_TYPE for a missing type, CMDERR_UNIT_EXISTS for a unit name the type has,
// CMDERR_ADD_UNIT_CONVERSION otherwise.
bool AddUnit(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit, const Bstr& description, double multiplier, double offset);
// Without `forced`, CMDERR_MEASUREMENT_TYPE_HAS_UNITS for a type that has units; CMDERR_DELETE_FIELD when
// nothing was removed.
bool DeleteMeasurementType(CCalcCmdBase& cmd, const Bstr& type, bool forced);
bool DeleteUnit(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit);
// Null pointers leave their property alone.
bool UpdateMeasurementTypeInfo(CCalcCmdBase& cmd, const Bstr& type, const Bstr* description, const Bstr* standardUnits);
bool UpdateUnitInfo(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit, const Bstr* description, double multiplier,
                    double offset);
// Factors such that a value in `unitsOut` times *multiplier plus *offset is the same quantity in `unitsIn`.
// CMDERR_INVALID_MEASUREMENT_TYPE for the type, CMDERR_INVALID_INPUT_UNITS for `unitsIn`,
// CMDERR_INVALID_OUTPUT_UNITS for `unitsOut` (also when both are missing); after such a failure the factors
// are 1.0 and 0.0. Without a units table (CMDERR_UNIT_CONVERSION_NOT_FOUND) they are left untouched.
bool GetConversion(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unitsIn, const Bstr& unitsOut, double* multiplier,
                   double* offset);
ComPtr<IDispatch> GetMeasurementType(CCalcCmdBase& cmd, const Bstr& type);
bool GetMeasurementTypeInfo(CCalcCmdBase& cmd, const Bstr& type, Bstr* description, Bstr* standardUnits);
void GetMeasurementTypesList(CCalcCmdBase& cmd, Variant* result);
ComPtr<IDispatch> GetUnit(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit);
// The description always; the factors only into non-null outputs.
bool GetUnitInfo(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit, Bstr* description, double* multiplier, double* offset);
void GetUnitsList(CCalcCmdBase& cmd, const Bstr& type, Variant* result);
// The names of the types that have a unit of that name; VT_EMPTY when none has.
void LookupMeasurementType(CCalcCmdBase& cmd, const Bstr& unitsName, Variant* result);
// The units collection itself, without the lock.
ComPtr<IDispatch> GetUnitConversionObject(CCalcCmdBase& cmd);

}  // namespace kv::units
