#pragma once
// How a table row reaches its command. A row's handler is Command<&store::Name> for a command of
// a subsystem, a free function taking the command object first, or Command<&CCalcCmdBase::Name>
// for one of the command object's own: the compiler checks that the command exists, and the
// parameter types of the command decide how the call's arguments reach it:
//   const Bstr&, IDispatch*, long, double, bool, const Variant&   the argument's value
//   Bstr*, long*, double*                                          in/out: the value in, the
//                                                                  command's value back into the
//                                                                  argument (in the row's type)
//   const Bstr*                                                    a pointer to the value
//   Variant*                                                       the argument itself, in place;
//                                                                  one past the arguments, the
//                                                                  result slot
// and the command's return value becomes the result in the type of the row's retval.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "command_object/calc_cmd_base.h"
#include "protocol/method_info.h"

namespace kv {

// One call: the command object, the row, the arguments (already coerced to the declared types,
// in declaration order without the retval) and the result slot (pre-set to the failure value
// of the result type).
struct CommandCall {
  CCalcCmdBase& cmd;
  const MethodInfo& method;
  std::vector<Variant>& args;
  Variant& result;

  // The row's type for parameter `i`.
  ParamType TypeOf(size_t i) const { return method.params[i].type; }
  void SetBool(bool v) { result = Variant::Bool(v); }
};

// The handler of a row whose command is not built yet: the wrapper answers E_NOTIMPL.
void NotBuilt(CommandCall& call);

namespace binding_detail {

// Parameter `i` of a call as a command parameter of type P.
template <class P>
struct Slot;

// The argument at `i`; a command that takes more parameters than its row has is a table fault.
inline Variant& ArgAt(CommandCall& c, size_t i) {
  if (i >= c.args.size()) throw std::logic_error(c.method.name + ": command takes more parameters than its row");
  return c.args[i];
}

template <>
struct Slot<const Bstr&> {
  Bstr v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i).bstr()) {}
  const Bstr& Get() { return v; }
  void Back() {}
};
template <>
struct Slot<IDispatch*> {
  IDispatch* v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i).dispatch().Get()) {}
  IDispatch* Get() { return v; }
  void Back() {}
};
template <>
struct Slot<long> {
  long v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i).i4()) {}
  long Get() { return v; }
  void Back() {}
};
template <>
struct Slot<double> {
  double v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i).r8()) {}
  double Get() { return v; }
  void Back() {}
};
template <>
struct Slot<bool> {
  bool v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i).boolVal() != 0) {}
  bool Get() { return v; }
  void Back() {}
};
template <>
struct Slot<const Variant&> {
  Variant& v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i)) {}
  const Variant& Get() { return v; }
  void Back() {}
};
template <>
struct Slot<Variant*> {
  Variant* v;
  Slot(CommandCall& c, size_t i) : v(i == c.args.size() ? &c.result : &ArgAt(c, i)) {}
  Variant* Get() { return v; }
  void Back() {}
};
template <>
struct Slot<const Bstr*> {
  Bstr v;
  Slot(CommandCall& c, size_t i) : v(ArgAt(c, i).bstr()) {}
  const Bstr* Get() { return &v; }
  void Back() {}
};
template <>
struct Slot<Bstr*> {
  Variant& arg;
  Bstr v;
  Slot(CommandCall& c, size_t i) : arg(ArgAt(c, i)), v(arg.bstr()) {}
  Bstr* Get() { return &v; }
  void Back() { arg = Variant::Str(std::move(v)); }
};
template <>
struct Slot<long*> {
  Variant& arg;
  long v;
  Slot(CommandCall& c, size_t i) : arg(ArgAt(c, i)), v(arg.i4()) {}
  long* Get() { return &v; }
  void Back() { arg = Variant::I4(static_cast<int32_t>(v)); }
};
template <>
struct Slot<double*> {
  Variant& arg;
  bool date;
  double v;
  Slot(CommandCall& c, size_t i) : arg(ArgAt(c, i)), date(c.TypeOf(i) == ParamType::Date), v(arg.r8()) {}
  double* Get() { return &v; }
  void Back() { arg = date ? Variant::Date(v) : Variant::R8(v); }
};

// The command's return value as the call's result.
inline void SetResult(CommandCall& c, bool v) { c.result = Variant::Bool(v); }
inline void SetResult(CommandCall& c, long v) { c.result = Variant::I4(static_cast<int32_t>(v)); }
inline void SetResult(CommandCall& c, Bstr v) { c.result = Variant::Str(std::move(v)); }
inline void SetResult(CommandCall& c, ComPtr<IDispatch> v) { c.result = Variant::Dispatch(std::move(v)); }
inline void SetResult(CommandCall& c, Variant v) { c.result = std::move(v); }
inline void SetResult(CommandCall& c, double v) {
  const int r = c.method.RetvalIndex();
  const bool date = r >= 0 && c.method.params[static_cast<size_t>(r)].type == ParamType::Date;
  c.result = date ? Variant::Date(v) : Variant::R8(v);
}

// The parameter and return types of a command: a member of the command object, const or not,
// or a free function whose first parameter is the command object.
template <class M>
struct Signature;
template <class R, class... P>
struct Signature<R (CCalcCmdBase::*)(P...)> {
  using Ret = R;
  using Params = std::tuple<P...>;
};
template <class R, class... P>
struct Signature<R (CCalcCmdBase::*)(P...) const> {
  using Ret = R;
  using Params = std::tuple<P...>;
};
template <class R, class... P>
struct Signature<R (*)(CCalcCmdBase&, P...)> {
  using Ret = R;
  using Params = std::tuple<P...>;
};

template <auto command, class... A>
decltype(auto) Invoke(CCalcCmdBase& cmd, A&&... args) {
  if constexpr (std::is_member_function_pointer_v<decltype(command)>) {
    return (cmd.*command)(std::forward<A>(args)...);
  } else {
    return command(cmd, std::forward<A>(args)...);
  }
}

template <auto command, size_t... I>
void Run(CommandCall& c, std::index_sequence<I...>) {
  using Sig = Signature<decltype(command)>;
  std::tuple<Slot<std::tuple_element_t<I, typename Sig::Params>>...> slots{
      Slot<std::tuple_element_t<I, typename Sig::Params>>(c, I)...};
  if constexpr (std::is_void_v<typename Sig::Ret>) {
    Invoke<command>(c.cmd, std::get<I>(slots).Get()...);
  } else {
    SetResult(c, Invoke<command>(c.cmd, std::get<I>(slots).Get()...));
  }
  (std::get<I>(slots).Back(), ...);
}

}  // namespace binding_detail

// The handler of a row bound to `command`.
template <auto command>
void Command(CommandCall& call) {
  using Params = typename binding_detail::Signature<decltype(command)>::Params;
  binding_detail::Run<command>(call, std::make_index_sequence<std::tuple_size_v<Params>>{});
}

}  // namespace kv
