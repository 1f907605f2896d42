// The units commands over g_pUnitConversionObject.
#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "command_object/shared_objects.h"
#include "base/rights.h"
#include "units/units_table.h"
#include "units/units_commands.h"

namespace kv::units {

using components::IZrCollection;
using components::IZrUnit;
using components::IZrUnitType;

namespace {

// Holds UnitsLock (kSiteUnitsCommand) for one command and answers the common steps, each setting its
// error: the table (165), the type (143), its unit collection (143), a unit (170).
class UnitsStep {
 public:
  explicit UnitsStep(CCalcCmdBase& cmd) : cmd_(cmd), lock_(UnitsLock(), kSiteUnitsCommand) {}

  bool Table() {
    if (g_pUnitConversionObject) return true;
    cmd_.SetCommandError(CMDERR_UNIT_CONVERSION_NOT_FOUND);
    return false;
  }
  bool Type(const Bstr& name, ComPtr<IZrUnitType>* type) {
    if (!Table()) return false;
    if (units::FindType(name, type) == com::S_OK) return true;
    cmd_.SetCommandError(CMDERR_INVALID_MEASUREMENT_TYPE);
    return false;
  }
  bool Units(const Bstr& typeName, ComPtr<IZrCollection>* units) {
    ComPtr<IZrUnitType> type;
    if (!Type(typeName, &type)) return false;
    if (com::SUCCEEDED(type->Units(units)) && *units) return true;
    cmd_.SetCommandError(CMDERR_INVALID_MEASUREMENT_TYPE);
    return false;
  }
  bool Unit(const Bstr& typeName, const Bstr& unitName, ComPtr<IZrUnit>* unit) {
    ComPtr<IZrUnitType> type;
    if (!Type(typeName, &type)) return false;
    if (type->Unit(unitName, unit) == com::S_OK && *unit) return true;
    cmd_.SetCommandError(CMDERR_INVALID_UNITS_NAME);
    return false;
  }

 private:
  CCalcCmdBase& cmd_;
  platform::TrackedLock::Scope lock_;
};

}  // namespace

bool AddMeasurementType(CCalcCmdBase& cmd, const Bstr& type, const Bstr& description, const Bstr& standardUnits) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, CCalcCmdBase::StoreScope::Shared)) return false;
  UnitsStep step(cmd);
  if (!step.Table()) return false;
  if (!units::AddDefaultMeasurementType(type, description, standardUnits)) return false;
  units::SaveUnitConversionObject();
  return true;
}

bool AddUnit(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit, const Bstr& description, double multiplier,
                           double offset) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, CCalcCmdBase::StoreScope::Shared)) return false;
  UnitsStep step(cmd);
  if (!step.Table()) return false;
  switch (units::AddUnitToType(type, unit, description, multiplier, offset)) {
    case 0:
      units::SaveUnitConversionObject();
      return true;
    case -1: cmd.SetCommandError(CMDERR_INVALID_MEASUREMENT_TYPE); return false;
    case -2: cmd.SetCommandError(CMDERR_UNIT_EXISTS); return false;
    default: cmd.SetCommandError(CMDERR_ADD_UNIT_CONVERSION); return false;
  }
}

bool DeleteMeasurementType(CCalcCmdBase& cmd, const Bstr& type, bool forced) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, CCalcCmdBase::StoreScope::Shared)) return false;
  UnitsStep step(cmd);
  if (!step.Table()) return false;
  if (!forced) {
    ComPtr<IZrUnitType> t;
    ComPtr<IZrCollection> units;
    long count = 0;
    if (units::FindType(type, &t) == com::S_OK && com::SUCCEEDED(t->Units(&units)) && units &&
        com::SUCCEEDED(units->Count(&count)) && count > 0) {
      cmd.SetCommandError(CMDERR_MEASUREMENT_TYPE_HAS_UNITS);
      return false;
    }
  }
  const com::HRESULT hr = g_pUnitConversionObject->Remove(type);
  if (com::SUCCEEDED(hr)) units::SaveUnitConversionObject();
  if (hr != com::S_OK) {
    cmd.SetCommandError(CMDERR_DELETE_FIELD);
    return false;
  }
  return true;
}

bool DeleteUnit(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, CCalcCmdBase::StoreScope::Shared)) return false;
  UnitsStep step(cmd);
  ComPtr<IZrCollection> units;
  if (!step.Units(type, &units)) return false;
  if (com::FAILED(units->Remove(unit))) {
    cmd.SetCommandError(CMDERR_INVALID_UNITS_NAME);
    return false;
  }
  units::SaveUnitConversionObject();
  return true;
}

bool UpdateMeasurementTypeInfo(CCalcCmdBase& cmd, const Bstr& type, const Bstr* description, const Bstr* standardUnits) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, CCalcCmdBase::StoreScope::Shared)) return false;
  UnitsStep step(cmd);
  ComPtr<IZrUnitType> t;
  if (!step.Type(type, &t)) return false;
  if ((description && !units::IsUsableText(*description, units::kMaxUnitDescriptionLength)) ||
      (standardUnits && !units::IsUsableText(*standardUnits, units::kMaxUnitNameLength))) {
    cmd.SetCommandError(CMDERR_INVALID_ARGUMENTS);
    return false;
  }
  if (description) t->PutDescription(*description);
  if (standardUnits) t->PutStandardUnits(*standardUnits);
  units::SaveUnitConversionObject();
  return true;
}

bool UpdateUnitInfo(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit, const Bstr* description, double multiplier,
                                  double offset) {
  cmd.ResetLastError();
  if (!cmd.CheckPermission(security::kRightUnits, security::kRefusedUnits, CCalcCmdBase::StoreScope::Shared)) return false;
  UnitsStep step(cmd);
  ComPtr<IZrUnit> u;
  if (!step.Unit(type, unit, &u)) return false;
  if (!units::IsUsableFactors(multiplier, offset) ||
      (description && !units::IsUsableText(*description, units::kMaxUnitDescriptionLength))) {
    cmd.SetCommandError(CMDERR_INVALID_ARGUMENTS);
    return false;
  }
  if (description) u->PutDescription(*description);
  u->PutMultiplier(multiplier);
  u->PutOffset(offset);
  units::SaveUnitConversionObject();
  return true;
}

bool GetConversion(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unitsIn, const Bstr& unitsOut, double* multiplier,
                                 double* offset) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  if (!step.Table()) return false;
  ComPtr<IZrUnitType> t;
  double mIn = 1, oIn = 0, mOut = 1, oOut = 0;
  bool ok = step.Type(type, &t);
  if (ok) {
    ComPtr<IZrUnit> in, out;
    t->Unit(unitsIn, &in);
    t->Unit(unitsOut, &out);
    if (in) {
      in->GetMultiplier(&mIn);
      in->GetOffset(&oIn);
    } else {
      cmd.SetCommandError(CMDERR_INVALID_INPUT_UNITS);
    }
    if (out) {
      out->GetMultiplier(&mOut);
      out->GetOffset(&oOut);
    } else {
      cmd.SetCommandError(CMDERR_INVALID_OUTPUT_UNITS);
    }
    ok = in && out;
  }
  *multiplier = ok ? mOut / mIn : 1.0;
  *offset = ok ? (oOut - oIn) / mIn : 0.0;
  return ok;
}

ComPtr<IDispatch> GetMeasurementType(CCalcCmdBase& cmd, const Bstr& type) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  ComPtr<IZrUnitType> t;
  if (!step.Type(type, &t)) return nullptr;
  return com::QueryInterface<IDispatch>(t);
}

bool GetMeasurementTypeInfo(CCalcCmdBase& cmd, const Bstr& type, Bstr* description, Bstr* standardUnits) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  ComPtr<IZrUnitType> t;
  if (!step.Type(type, &t)) return false;
  t->GetDescription(description);
  t->GetStandardUnits(standardUnits);
  return true;
}

void GetMeasurementTypesList(CCalcCmdBase& cmd, Variant* result) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  if (step.Table()) g_pUnitConversionObject->NameList(result);
}

ComPtr<IDispatch> GetUnit(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  ComPtr<IZrCollection> units;
  if (!step.Units(type, &units)) return nullptr;
  ComPtr<IDispatch> u;
  units->Item(unit, &u);
  if (!u) cmd.SetCommandError(CMDERR_INVALID_UNITS_NAME);
  return u;
}

bool GetUnitInfo(CCalcCmdBase& cmd, const Bstr& type, const Bstr& unit, Bstr* description, double* multiplier,
                               double* offset) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  ComPtr<IZrUnit> u;
  if (!step.Unit(type, unit, &u)) return false;
  u->GetDescription(description);
  if (multiplier) u->GetMultiplier(multiplier);
  if (offset) u->GetOffset(offset);
  return true;
}

void GetUnitsList(CCalcCmdBase& cmd, const Bstr& type, Variant* result) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  ComPtr<IZrCollection> units;
  if (step.Units(type, &units)) units->NameList(result);
}

void LookupMeasurementType(CCalcCmdBase& cmd, const Bstr& unitsName, Variant* result) {
  cmd.ResetLastError();
  UnitsStep step(cmd);
  if (!step.Table()) return;
  long count = 0;
  g_pUnitConversionObject->Count(&count);
  std::vector<std::string> names;
  for (long i = 1; i <= count; ++i) {
    ComPtr<IZrUnitType> t;
    ComPtr<IZrUnit> u;
    if (units::TypeAt(i, &t) != com::S_OK || t->Unit(unitsName, &u) != com::S_OK) continue;
    Bstr name;
    t->GetName(&name);
    names.push_back(name.ToUtf8());
  }
  CCalcCmdBase::StringArrayToVariant(names, result);
}

ComPtr<IDispatch> GetUnitConversionObject(CCalcCmdBase& cmd) {
  cmd.ResetLastError();
  ComPtr<IZrCollection> table = g_pUnitConversionObject;
  if (!table) cmd.SetCommandError(CMDERR_UNIT_CONVERSION_NOT_FOUND);
  return com::QueryInterface<IDispatch>(table);
}

}  // namespace kv::units
