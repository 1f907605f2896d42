#pragma once
// ZrLibrary: a formula library. It holds the common object fields and an ordered collection of
// formulas with unique names, each a ZrCalculation. Thread-safe.
//
// Properties by name (IDispatch): "Name", "Description", "ID", "Password" (VT_I4),
// "EditOwner", "SaveTime" (VT_DATE), "Formulas" (the formula collection: "Count", "Item" by
// 1-based index) and "FormulaNames" (list result).
#include <pugixml.hpp>

#include <string>
#include <string_view>
#include <vector>

#include "components/calc_components.h"
#include "engine/calculation.h"
#include "engine/named_collection.h"
#include "engine/object_file.h"
#include "engine/object_header.h"
#include "engine/property_table.h"

namespace kv::engine {

using FormulaList = NamedCollection<ZrCalculation>;

class ZrLibrary : public com::ComObject<components::IZrLibrary, components::VRRoot, XmlPersistence, PropertyObject> {
 public:
  ZrLibrary();

  // IZrLibrary (GetName also answers VRRoot).
  HRESULT SetSaveTime(double oleDate) override;
  HRESULT SetOwnerString(const Bstr& owner) override;
  // The live collection: formulas added or removed later show in it.
  HRESULT GetFormulas(com::ComPtr<components::IZrFormulas>* formulas) override;
  HRESULT GetName(Bstr* name) override;
  HRESULT SetName(const Bstr& name) override;
  // A list result of the formula names in collection order; VT_EMPTY when there are none.
  HRESULT ListFormulas(Variant* names) override;

  std::string Name() const;
  std::string OwnerString() const;
  com::ComPtr<FormulaList> Formulas() const { return formulas_; }
  // A shared library's formulas (and their parameters) are shared with it.
  void GuardChanges(components::SharedObject kind) override {
    PropertyObject::GuardChanges(kind);
    formulas_->GuardChanges(kind);
  }
  std::vector<std::string> FormulaNames() const { return formulas_->Names(); }
  // A new CalcScript formula named `name`, appended; null when a formula of that name exists.
  com::ComPtr<ZrCalculation> NewFormula(std::string_view name);
  // False when a formula of the same name exists.
  bool AddFormula(com::ComPtr<ZrCalculation> formula) { return formulas_->Add(std::move(formula)); }
  com::ComPtr<ZrCalculation> FindFormula(std::string_view name) const { return formulas_->Find(name); }
  bool RemoveFormula(std::string_view name) { return formulas_->Remove(name); }

 protected:
  const char* RootName() const override { return "Library"; }
  const char* ClassName() const override { return "ZrLibrary"; }
  void WriteXml(pugi::xml_node root) const override;
  bool ReadXml(pugi::xml_node root, XmlError* err) override;

 private:
  ObjectHeader header_;  // guarded by mu_
  const com::ComPtr<FormulaList> formulas_;
};

}  // namespace kv::engine
