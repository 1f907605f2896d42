#pragma once
// The engine objects list their fields once, in a Visit(fields, visitor) template, and three
// visitors walk that list: PropertyTable (named properties), FieldWriter and FieldReader (the
// XML form). A visitor answers Text(name, std::string&), Long(name, int32_t&),
// Date(name, double&) and Double(name, double&), each with these flags.

namespace kv::engine {

enum FieldFlags : unsigned {
  kFieldDefault = 0,
  kFieldRequired = 1,  // the XML form must hold it
  kFieldReadOnly = 2,  // no property put
};

}  // namespace kv::engine
