#include "protocol/method_info.h"

namespace kv {

com::VARTYPE VarTypeOf(ParamType t) {
  switch (t) {
    case ParamType::Bstr: return com::VT_BSTR;
    case ParamType::Long: return com::VT_I4;
    case ParamType::Double: return com::VT_R8;
    case ParamType::Date: return com::VT_DATE;
    case ParamType::Bool: return com::VT_BOOL;
    case ParamType::Dispatch: return com::VT_DISPATCH;
    case ParamType::Variant: return com::VT_VARIANT;
  }
  return com::VT_VARIANT;
}

int MethodInfo::RetvalIndex() const {
  for (size_t i = 0; i < params.size(); ++i)
    if (params[i].dir == ParamDir::Retval) return static_cast<int>(i);
  return -1;
}

const MethodInfo* InterfaceTable::ByDispId(com::DISPID id) const {
  if (id < 1 || static_cast<size_t>(id) > methods.size()) return nullptr;
  return &methods[static_cast<size_t>(id - 1)];
}

com::DISPID InterfaceTable::DispIdByName(std::string_view name) const {
  for (size_t i = 0; i < methods.size(); ++i)
    if (com::NamesEqual(methods[i].name, name)) return DispIdOf(i);
  return com::DISPID_UNKNOWN;
}

}  // namespace kv
