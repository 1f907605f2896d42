#pragma once
// One parameter of a calculation: a name, a scalar value and an optional units text. By name:
// "Name", "Value" (any scalar type except objects; others fail with DISP_E_TYPEMISMATCH) and
// "Units". Thread-safe.
#include <pugixml.hpp>

#include <string>

#include "engine/object_file.h"
#include "engine/property_table.h"

namespace kv::engine {

class CalcParameter : public com::ComObject<PropertyObject> {
 public:
  CalcParameter();
  CalcParameter(std::string name, Variant value, std::string units);

  std::string Name() const;
  Variant Value() const;
  std::string Units() const;
  // False (and no change) for a value IsStorableValue refuses.
  bool SetValue(const Variant& value);

  // <Parameter> with every field, appended to `parent`.
  void WriteTo(pugi::xml_node parent) const;
  // A new parameter read from a <Parameter> element; null and the reason in `err` otherwise.
  static com::ComPtr<CalcParameter> ReadFrom(pugi::xml_node node, XmlError* err);

 private:
  std::string name_;
  Variant value_;
  std::string units_;
};

}  // namespace kv::engine
