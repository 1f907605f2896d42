// The units commands over g_pUnitConversionObject.
#include "commands/calc_cmd_base.h"
#include "base/error_codes.h"
#include "commands/shared_objects.h"
#include "base/rights.h"
#include "units/units_table.h"

namespace kv {

using components::IZrCollection;
using components::IZrUnit;
using components::IZrUnitType;

namespace {

// Holds UnitsLock (site 208) for one command and answers the common steps, each setting its
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

bool CCalcCmdBase::AddMeasurementType(const Bstr& type, const Bstr& description, const Bstr& standardUnits) {
  ResetLastError();
  if (!CheckPermission(security::kRightUnits, security::kRefusedUnits, StoreScope::Shared)) return false;
  UnitsStep step(*this);
  if (!step.Table()) return false;
  if (!units::AddDefaultMeasurementType(type, description, standardUnits)) return false;
  units::SaveUnitConversionObject();
  return true;
}

bool CCalcCmdBase::AddUnit(const Bstr& type, const Bstr& unit, const Bstr& description, double multiplier,
                           double offset) {
  ResetLastError();
  if (!CheckPermission(security::kRightUnits, security::kRefusedUnits, StoreScope::Shared)) return false;
  UnitsStep step(*this);
  if (!step.Table()) return false;
  switch (units::AddUnitToType(type, unit, description, multiplier, offset)) {
    case 0:
      units::SaveUnitConversionObject();
      return true;
    case -1: SetCommandError(CMDERR_INVALID_MEASUREMENT_TYPE); return false;
    case -2: SetCommandError(CMDERR_UNIT_EXISTS); return false;
    default: SetCommandError(CMDERR_ADD_UNIT_CONVERSION); return false;
  }
}

bool CCalcCmdBase::DeleteMeasurementType(const Bstr& type, bool forced) {
  ResetLastError();
  if (!CheckPermission(security::kRightUnits, security::kRefusedUnits, StoreScope::Shared)) return false;
  UnitsStep step(*this);
  if (!step.Table()) return false;
  if (!forced) {
    ComPtr<IZrUnitType> t;
    ComPtr<IZrCollection> units;
    long count = 0;
    if (units::FindType(type, &t) == com::S_OK && com::SUCCEEDED(t->Units(&units)) && units &&
        com::SUCCEEDED(units->Count(&count)) && count > 0) {
      SetCommandError(CMDERR_MEASUREMENT_TYPE_HAS_UNITS);
      return false;
    }
  }
  const com::HRESULT hr = g_pUnitConversionObject->Remove(type);
  if (com::SUCCEEDED(hr)) units::SaveUnitConversionObject();
  if (hr != com::S_OK) {
    SetCommandError(CMDERR_DELETE_FIELD);
    return false;
  }
  return true;
}

bool CCalcCmdBase::DeleteUnit(const Bstr& type, const Bstr& unit) {
  ResetLastError();
  if (!CheckPermission(security::kRightUnits, security::kRefusedUnits, StoreScope::Shared)) return false;
  UnitsStep step(*this);
  ComPtr<IZrCollection> units;
  if (!step.Units(type, &units)) return false;
  if (com::FAILED(units->Remove(unit))) {
    SetCommandError(CMDERR_INVALID_UNITS_NAME);
    return false;
  }
  units::SaveUnitConversionObject();
  return true;
}

bool CCalcCmdBase::UpdateMeasurementTypeInfo(const Bstr& type, const Bstr* description, const Bstr* standardUnits) {
  ResetLastError();
  if (!CheckPermission(security::kRightUnits, security::kRefusedUnits, StoreScope::Shared)) return false;
  UnitsStep step(*this);
  ComPtr<IZrUnitType> t;
  if (!step.Type(type, &t)) return false;
  if ((description && !units::IsUsableText(*description, units::kMaxUnitDescriptionLength)) ||
      (standardUnits && !units::IsUsableText(*standardUnits, units::kMaxUnitNameLength))) {
    SetCommandError(CMDERR_INVALID_ARGUMENTS);
    return false;
  }
  if (description) t->PutDescription(*description);
  if (standardUnits) t->PutStandardUnits(*standardUnits);
  units::SaveUnitConversionObject();
  return true;
}

bool CCalcCmdBase::UpdateUnitInfo(const Bstr& type, const Bstr& unit, const Bstr* description, double multiplier,
                                  double offset) {
  ResetLastError();
  if (!CheckPermission(security::kRightUnits, security::kRefusedUnits, StoreScope::Shared)) return false;
  UnitsStep step(*this);
  ComPtr<IZrUnit> u;
  if (!step.Unit(type, unit, &u)) return false;
  if (!units::IsUsableFactors(multiplier, offset) ||
      (description && !units::IsUsableText(*description, units::kMaxUnitDescriptionLength))) {
    SetCommandError(CMDERR_INVALID_ARGUMENTS);
    return false;
  }
  if (description) u->PutDescription(*description);
  u->PutMultiplier(multiplier);
  u->PutOffset(offset);
  units::SaveUnitConversionObject();
  return true;
}

bool CCalcCmdBase::GetConversion(const Bstr& type, const Bstr& unitsIn, const Bstr& unitsOut, double* multiplier,
                                 double* offset) {
  ResetLastError();
  UnitsStep step(*this);
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
      SetCommandError(CMDERR_INVALID_INPUT_UNITS);
    }
    if (out) {
      out->GetMultiplier(&mOut);
      out->GetOffset(&oOut);
    } else {
      SetCommandError(CMDERR_INVALID_OUTPUT_UNITS);
    }
    ok = in && out;
  }
  *multiplier = ok ? mOut / mIn : 1.0;
  *offset = ok ? (oOut - oIn) / mIn : 0.0;
  return ok;
}

ComPtr<IDispatch> CCalcCmdBase::GetMeasurementType(const Bstr& type) {
  ResetLastError();
  UnitsStep step(*this);
  ComPtr<IZrUnitType> t;
  if (!step.Type(type, &t)) return nullptr;
  return com::QueryInterface<IDispatch>(t);
}

bool CCalcCmdBase::GetMeasurementTypeInfo(const Bstr& type, Bstr* description, Bstr* standardUnits) {
  ResetLastError();
  UnitsStep step(*this);
  ComPtr<IZrUnitType> t;
  if (!step.Type(type, &t)) return false;
  t->GetDescription(description);
  t->GetStandardUnits(standardUnits);
  return true;
}

void CCalcCmdBase::GetMeasurementTypesList(Variant* result) {
  ResetLastError();
  UnitsStep step(*this);
  if (step.Table()) g_pUnitConversionObject->NameList(result);
}

ComPtr<IDispatch> CCalcCmdBase::GetUnit(const Bstr& type, const Bstr& unit) {
  ResetLastError();
  UnitsStep step(*this);
  ComPtr<IZrCollection> units;
  if (!step.Units(type, &units)) return nullptr;
  ComPtr<IDispatch> u;
  units->Item(unit, &u);
  if (!u) SetCommandError(CMDERR_INVALID_UNITS_NAME);
  return u;
}

bool CCalcCmdBase::GetUnitInfo(const Bstr& type, const Bstr& unit, Bstr* description, double* multiplier,
                               double* offset) {
  ResetLastError();
  UnitsStep step(*this);
  ComPtr<IZrUnit> u;
  if (!step.Unit(type, unit, &u)) return false;
  u->GetDescription(description);
  if (multiplier) u->GetMultiplier(multiplier);
  if (offset) u->GetOffset(offset);
  return true;
}

void CCalcCmdBase::GetUnitsList(const Bstr& type, Variant* result) {
  ResetLastError();
  UnitsStep step(*this);
  ComPtr<IZrCollection> units;
  if (step.Units(type, &units)) units->NameList(result);
}

void CCalcCmdBase::LookupMeasurementType(const Bstr& unitsName, Variant* result) {
  ResetLastError();
  UnitsStep step(*this);
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
  StringArrayToVariant(names, result);
}

ComPtr<IDispatch> CCalcCmdBase::GetUnitConversionObject() {
  ResetLastError();
  ComPtr<IZrCollection> table = g_pUnitConversionObject;
  if (!table) SetCommandError(CMDERR_UNIT_CONVERSION_NOT_FOUND);
  return com::QueryInterface<IDispatch>(table);
}

}  // namespace kv
