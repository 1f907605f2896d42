#pragma once
// What a command binding sees of one call: the command object, the method's table entry, its
// arguments (already coerced to the declared types, in declaration order without the retval)
// and the result slot (pre-set to the failure value of the result type).
#include <string_view>

#include "commands/calc_cmd_base.h"
#include "commands/method_table.h"

namespace kv {

struct CommandCall {
  CCalcCmdBase& cmd;
  const MethodSpec& spec;
  std::vector<Variant>& args;
  Variant& result;

  Bstr Str(size_t i) const { return args[i].bstr(); }
  std::string Narrow(size_t i) const { return args[i].bstr().ToUtf8(); }
  long Long(size_t i) const { return args[i].i4(); }
  double Double(size_t i) const { return args[i].r8(); }
  bool Bool(size_t i) const { return args[i].boolVal() != 0; }
  IDispatch* Disp(size_t i) const { return args[i].dispatch().Get(); }
  Variant& Var(size_t i) { return args[i]; }

  void SetBool(bool v) { result = Variant::Bool(v); }
  void SetString(Bstr v) { result = Variant::Str(std::move(v)); }
  void SetObject(ComPtr<IDispatch> v) { result = Variant::Dispatch(std::move(v)); }
  void SetLong(long v) { result = Variant::I4(static_cast<int32_t>(v)); }
};

// Calls one command with the arguments of a call.
using CommandBinding = void (*)(CommandCall& call);

// The binding of a command by name, or nullptr when that command is not built.
CommandBinding FindCommandBinding(std::string_view command);

}  // namespace kv
