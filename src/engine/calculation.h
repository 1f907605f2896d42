#pragma once
// ZrCalculation: a calculation, and each formula of a library. It holds the common object
// fields, the calculation type (4, CalcScript, by default), the script text, the names of the
// libraries it uses, its parameters in order, the creation time, the new and edit states and
// the outcome of its last run. Thread-safe: the environment hands one object to several
// threads.
//
// Properties by name (IDispatch): "Name", "Description", "ID", "Password" (VT_I4),
// "EditOwner", "SaveTime" and "CreationTime" (VT_DATE), "CalcType", "Script", "NewState",
// "EditState", "Libraries" (list result of names; put takes such a list or VT_EMPTY),
// the read-only results of the last run "Value" (VARIANT), "Level" (0 ok, 1 warning, 2 error),
// "Status" (short text), "ErrorText" (empty when fine) and "LastRunTime" (VT_DATE, local),
// "SummaryState" (VT_I2, read-only), "Parameters" (the parameter collection: "Count", "Item"
// by 1-based index) and the methods "Calculate" and "CheckFormula".
#include <pugixml.hpp>

#include <memory>
#include <string>
#include <vector>

#include "components/calc_components.h"
#include "engine/calc_parameter.h"
#include "engine/named_collection.h"
#include "engine/object_file.h"
#include "engine/object_header.h"
#include "engine/property_table.h"

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::engine {

struct RunPlan;
using ParameterList = NamedCollection<CalcParameter>;

class ZrCalculation
    : public com::ComObject<components::IZrCalculation, components::IZrScriptParameters,
                            components::IZrCalcReferences, components::VRRoot, XmlPersistence, PropertyObject> {
 public:
  ZrCalculation();

  // How a calculation's fields are read from its file, for readers that check a file without
  // loading it (the reference scanner).
  static const FieldKinds& Kinds();

  // IZrCalculation (GetName also answers VRRoot).
  HRESULT SetCreationTime(double oleDate) override;
  HRESULT SetSaveTime(double oleDate) override;
  HRESULT SetNewState(long state) override;
  HRESULT GetOwnerString(Bstr* owner) override;
  HRESULT SetOwnerString(const Bstr& owner) override;
  HRESULT SetEditState(long state) override;
  HRESULT GetCalcType(long* type) override;
  HRESULT SetCalcType(long type) override;
  HRESULT SetCalcScript(const Bstr& script) override;
  HRESULT GetName(Bstr* name) override;
  HRESULT SetName(const Bstr& name) override;
  HRESULT GetParameters(com::ComPtr<components::IZrParameters>* params) override;
  HRESULT GetParameter(const Bstr& name, com::ComPtr<com::IDispatch>* param) override;
  HRESULT Run(const components::RunRequest& request, components::RunOutcome* outcome) override;
  HRESULT Calculate() override;
  HRESULT CheckFormula() override;
  // 1 when the calculation has a script, 0 when it has none.
  HRESULT GetSummaryState(int16_t* state) override;

  // IZrScriptParameters.
  HRESULT CreateParams(const Bstr& autoBindingHosts, Variant* unused, Variant* unbound) override;
  HRESULT GetParameterDetails(Variant* details) override;
  HRESULT PrepareExecution() override;

  // IZrCalcReferences.
  HRESULT RefersToCalculation(const Bstr& name, com::VARIANT_BOOL* refers) override;
  HRESULT RefersToFormula(const Bstr& library, const Bstr& formula, com::VARIANT_BOOL* refers) override;

  std::string Name() const;
  long CalcType() const;
  std::string Script() const;
  void SetScript(std::string script);
  std::vector<std::string> Libraries() const;
  void SetLibraries(std::vector<std::string> names);
  // The outcome of the last run.
  void SetOutcome(long level, std::string status, std::string errorText);
  long Level() const;
  std::string StatusText() const;
  std::string ErrorText() const;
  Variant Result() const;
  // The live parameter collection (the same object for the calculation's whole life).
  com::ComPtr<ParameterList> Parameters() const { return parameters_; }
  // A shared calculation's parameters are shared with it.
  void GuardChanges(components::SharedObject kind) override {
    PropertyObject::GuardChanges(kind);
    parameters_->GuardChanges(kind);
  }
  // False when a parameter of that name exists or the value is not storable.
  bool AddParameter(std::string name, const Variant& value, std::string units = {});
  // False when a parameter of that name exists.
  bool AddParameter(const ParameterFields& fields, const Variant& value);

 protected:
  const char* RootName() const override { return "Calculation"; }
  const char* ClassName() const override { return "ZrCalculation"; }
  void WriteXml(pugi::xml_node root) const override;
  bool ReadXml(pugi::xml_node root, XmlError* err) override;

 private:
  struct Fields {
    ObjectHeader header;
    double creationTime = 0;
    int32_t calcType = components::kCalcTypeCalcScript;
    std::string script;
    std::vector<std::string> libraries;
    int32_t newState = 0;
    int32_t editState = 0;
    int32_t level = 0;
    std::string status;
    std::string errorText;
    double lastRunTime = 0;

    template <class F, class V>
    static void Visit(F& f, V& v) {
      ObjectHeader::Visit(f.header, v);
      v.Date("CreationTime", f.creationTime);
      v.Long("CalcType", f.calcType);
      v.Text("Script", f.script);
      v.Long("NewState", f.newState);
      v.Long("EditState", f.editState);
      v.Long("Level", f.level, kFieldReadOnly);
      v.Text("Status", f.status, kFieldReadOnly);
      v.Text("ErrorText", f.errorText, kFieldReadOnly);
      v.Date("LastRunTime", f.lastRunTime, kFieldReadOnly);
    }
  };

  Fields f_;      // guarded by mu_
  Variant value_;  // the last run's "Value"; guarded by mu_
  const uint64_t id_;  // tells this object's compiled script apart in a Lua state
  // The platform of the server that made it, taken once: its clock times the runs and their
  // deadlines.
  platform::Env& platform_;
  // Held while a run writes its outputs and results, so each run's are seen together.
  std::mutex publishMu_;
  // What the last run found of this object, for the next run to reuse; guarded by mu_.
  std::shared_ptr<const RunPlan> plan_;
  std::shared_ptr<const RunPlan> Plan();
  const com::ComPtr<ParameterList> parameters_;
};

}  // namespace kv::engine
