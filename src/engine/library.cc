#include "engine/library.h"

namespace kv::engine {
namespace {

com::ComPtr<ZrCalculation> ReadFormula(pugi::xml_node node, XmlError* err) {
  auto formula = com::MakeCom<ZrCalculation>();
  return formula->ReadElement(node, err) ? formula : nullptr;
}

}  // namespace

ZrLibrary::ZrLibrary() : formulas_(com::MakeCom<FormulaList>()) {
  ObjectHeader::Visit(header_, props_);
  props_.Computed("Formulas", [this](std::vector<Variant>&, Variant* result) {
    *result = Variant::Dispatch(com::ComPtr<com::IDispatch>(formulas_));
    return com::S_OK;
  });
  props_.Computed("FormulaNames", [this](std::vector<Variant>&, Variant* result) { return ListFormulas(result); });
}

HRESULT ZrLibrary::SetSaveTime(double oleDate) {
  return Locked([&] { header_.saveTime = oleDate; return com::S_OK; });
}
HRESULT ZrLibrary::SetOwnerString(const Bstr& owner) {
  return Locked([&] { header_.owner = owner.ToUtf8(); return com::S_OK; });
}
HRESULT ZrLibrary::SetName(const Bstr& name) {
  return Locked([&] { header_.name = name.ToUtf8(); return com::S_OK; });
}

HRESULT ZrLibrary::GetFormulas(com::ComPtr<components::IZrFormulas>* formulas) { return SetOut(formulas, formulas_); }

HRESULT ZrLibrary::GetName(Bstr* name) { return SetOut(name, Bstr::FromUtf8(Name())); }

HRESULT ZrLibrary::ListFormulas(Variant* names) { return SetOut(names, com::StringListVariant(FormulaNames())); }

std::string ZrLibrary::Name() const { return Locked([&] { return header_.name; }); }
std::string ZrLibrary::OwnerString() const { return Locked([&] { return header_.owner; }); }

com::ComPtr<ZrCalculation> ZrLibrary::NewFormula(std::string_view name) {
  auto formula = com::MakeCom<ZrCalculation>();
  formula->SetName(Bstr::FromUtf8(name));
  return formulas_->Add(formula) ? formula : nullptr;
}

void ZrLibrary::WriteXml(pugi::xml_node root) const {
  const ObjectHeader header = Locked([&] { return header_; });
  FieldWriter w(root);
  ObjectHeader::Visit(header, w);
  pugi::xml_node list = root.append_child("Formulas");
  for (const auto& formula : formulas_->Items()) formula->WriteElement(list);
}

bool ZrLibrary::ReadXml(pugi::xml_node root, XmlError* err) {
  ObjectHeader header;
  FieldReader r(root, err);
  ObjectHeader::Visit(header, r);
  if (!r.Ok()) return false;
  std::vector<com::ComPtr<ZrCalculation>> formulas;
  if (!ReadNamedItems(root.child("Formulas"), "Calculation", &ReadFormula, err, &formulas)) return false;
  Locked([&] { header_ = std::move(header); });
  formulas_->Replace(std::move(formulas));
  return true;
}

}  // namespace kv::engine
