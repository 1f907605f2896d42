#include "commands/method_table.h"

namespace kv {

int MethodSpec::RetvalIndex() const {
  for (size_t i = 0; i < params.size(); ++i)
    if (params[i].dir == ParamDir::Retval) return static_cast<int>(i);
  return -1;
}

const MethodSpec* InterfaceTable::ByDispId(com::DISPID id) const {
  if (id < 1 || static_cast<size_t>(id) > methods.size()) return nullptr;
  return &methods[static_cast<size_t>(id - 1)];
}

com::DISPID InterfaceTable::DispIdByName(std::string_view name) const {
  for (size_t i = 0; i < methods.size(); ++i)
    if (com::NamesEqual(methods[i].name, name)) return DispIdOf(i);
  return com::DISPID_UNKNOWN;
}

}  // namespace kv
