#pragma once
// One parameter of a calculation: a name bound to a script variable, with its direction (in,
// out, in/out), its kind (0 a constant held here, 1 a tag on a process-data server, 2 the Value
// of another calculation), the binding (ServerName and TagName for kind 1, CalcName for kind 2),
// its Units, and the last Value with its Quality and Timestamp (OLE date, UTC). Thread-safe.
//
// By name: "Name", "Direction", "Kind", "ServerName", "TagName", "CalcName", "Units", "Value"
// (any scalar type except objects; others fail with DISP_E_TYPEMISMATCH), "Quality" and
// "Timestamp".
#include <pugixml.hpp>

#include <string>

#include "components/calc_components.h"
#include "engine/object_file.h"
#include "engine/property_table.h"

namespace kv::engine {

// Quality of a value: good, or bad (a read that failed, a value never read).
inline constexpr int32_t kQualityGood = 192;
inline constexpr int32_t kQualityBad = 0;

struct ParameterFields {
  std::string name;
  int32_t direction = static_cast<int32_t>(components::kParamIn);
  int32_t kind = static_cast<int32_t>(components::kParamConstant);
  std::string serverName;
  std::string tagName;
  std::string calcName;
  std::string units;
  int32_t quality = kQualityGood;
  double timestamp = 0;

  // The fields besides Value, in their XML and property order.
  template <class F, class V>
  static void Visit(F& f, V& v) {
    v.Text("Name", f.name, kFieldRequired);
    v.Long("Direction", f.direction);
    v.Long("Kind", f.kind);
    v.Text("ServerName", f.serverName);
    v.Text("TagName", f.tagName);
    v.Text("CalcName", f.calcName);
    v.Text("Units", f.units);
    v.Long("Quality", f.quality);
    v.Date("Timestamp", f.timestamp);
  }
};

class CalcParameter : public com::ComObject<components::IZrCalcParameter, components::IZrPersistXML, PropertyObject> {
 public:
  CalcParameter();
  CalcParameter(std::string name, Variant value, std::string units);
  CalcParameter(ParameterFields fields, Variant value);

  std::string Name() const;
  Variant Value() const;
  std::string Units() const;
  ParameterFields Fields() const;
  // The fields and the value, read together, with the counts of Edits and Samples they were
  // read at.
  void Snapshot(ParameterFields* fields, Variant* value, uint32_t* edits, uint32_t* samples) const;
  // Changes of the value (SetValue, SetSample, a load), which Edits does not count.
  uint32_t Samples() const { return samples_.load(std::memory_order_acquire); }
  // False (and no change) for a value IsStorableValue refuses.
  bool SetValue(const Variant& value);
  // Value with its quality and time stamp, as one update.
  bool SetSample(const Variant& value, int32_t quality, double timestamp);
  void SetFields(const ParameterFields& fields);
  bool IsInput() const;
  bool IsOutput() const;

  // IZrCalcParameter.
  HRESULT GetServerName(Bstr* server) override;
  HRESULT GetParameterKind(long* kind) override;
  HRESULT ChangeServer(const Bstr& oldServer, long oldGroup, const Bstr& newServer, long newGroup) override;
  HRESULT ValidateParameter(Bstr* message) override;
  HRESULT ValidateParameterUnits(long checkUnits, Bstr* message) override;
  HRESULT GetName(Bstr* name) override;
  HRESULT GetDirection(long* direction) override;
  HRESULT GetTagName(Bstr* tag) override;
  HRESULT GetCalcName(Bstr* calc) override;
  HRESULT GetUnits(Bstr* units) override;

  // IZrPersistXML over the <Parameter> element; a load keeps the name when the text has none
  // and changes nothing when the text cannot be read.
  HRESULT LoadXML(const Bstr& xml) override;
  HRESULT SaveXML(Bstr* xml) override;

  // <Parameter> with every field, appended to `parent`.
  void WriteTo(pugi::xml_node parent) const;
  // A new parameter read from a <Parameter> element; null and the reason in `err` otherwise.
  static com::ComPtr<CalcParameter> ReadFrom(pugi::xml_node node, XmlError* err);

 protected:
  void DescribeMembers(PropertyTable& props) override;

 private:
  ParameterFields f_;  // guarded by mu_
  Variant value_;      // guarded by mu_
  std::atomic<uint32_t> samples_{0};
};

}  // namespace kv::engine
