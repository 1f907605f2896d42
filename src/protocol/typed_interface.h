#pragma once
// A command object's typed D-Bus interface, derived from its method table. Every method of the
// table is a D-Bus method of `com.quorlith.Kelvarin.<table name>`:
//   in-arguments:  every In and InOut parameter, in declaration order;
//   out-arguments: every InOut parameter in declaration order, then the retval (when any).
// Types on the wire: Bstr 's' (null travels as ""), Long 'i', Double and Date 'd', Bool 'b',
// Dispatch 'o' ("/" for null), Variant '(qv)' (see variant_codec.h).
// A typed call becomes the Invoke argument list of the late-bound call (every parameter but
// the retval, in declaration order, as VT_BSTR, VT_I4, VT_R8, VT_DATE, VT_BOOL, VT_DISPATCH or
// the variant itself) and goes through IDispatch::Invoke with the method's DISPID.
// Immutable after construction; safe to share between threads.
#include <systemd/sd-bus.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "com/variant.h"
#include "protocol/method_info.h"
#include "protocol/variant_codec.h"

namespace kv::protocol {

const char* ParamSignature(ParamType t);

struct TypedMethod {
  const MethodInfo* info;
  com::DISPID dispid;
  std::string inSignature;
  std::string outSignature;
};

class TypedInterface {
 public:
  explicit TypedInterface(const InterfaceTable& table);
  // The shared instance for `table`, made on first use; the table must live as long as the
  // program (the method tables are static data). Thread-safe.
  static const TypedInterface& For(const InterfaceTable& table);

  const InterfaceTable& Table() const { return table_; }
  // "com.quorlith.Kelvarin.ICalcCommands".
  const std::string& Name() const { return name_; }
  const std::vector<TypedMethod>& Methods() const { return methods_; }
  // By exact member name (D-Bus names are case-sensitive); nullptr when unknown.
  const TypedMethod* Find(std::string_view member) const;

 private:
  const InterfaceTable& table_;
  std::string name_;
  std::vector<TypedMethod> methods_;
  std::unordered_map<std::string_view, size_t> byName_;
};

// One value of a parameter of type `t` on the wire, for either side of a typed call. Reading
// gives a Variant of the parameter's VARTYPE (VT_DISPATCH for objects, which must answer
// IDispatch). Appending converts with ChangeType first (VT_EMPTY and VT_NULL stand for no
// object; a variant goes as it is); a value that does not convert fails with the error name
// `failure` (InvalidArgs for a caller's argument, Failed for the server's own answer).
int ReadTypedValue(sd_bus_message* m, ParamType t, ObjectPaths* paths, com::Variant* out, sd_bus_error* error);
int AppendTypedValue(sd_bus_message* m, ParamType t, const com::Variant& value, ObjectPaths* paths,
                     const char* failure, sd_bus_error* error);

// Reads the in-arguments of `method` (the caller has checked the signature) into the Invoke
// argument list. Errors as in variant_codec.h.
int ReadTypedArgs(sd_bus_message* m, const TypedMethod& method, ObjectPaths* paths, std::vector<com::Variant>* args,
                  sd_bus_error* error);

// Appends the out-arguments of `method` from the argument list after Invoke and its result.
// A value that does not convert to the parameter's type fails with
// org.freedesktop.DBus.Error.Failed.
int AppendTypedOuts(sd_bus_message* reply, const TypedMethod& method, const std::vector<com::Variant>& args,
                    const com::Variant& result, ObjectPaths* paths, sd_bus_error* error);

}  // namespace kv::protocol
