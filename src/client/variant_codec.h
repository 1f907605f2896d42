#pragma once
// Values on the wire. A VARIANT travels as the struct (qv): the VARTYPE and the value, where
//   VT_EMPTY, VT_NULL        y (a 0 byte)      VT_I2, VT_I1      n
//   VT_I4, VT_INT, VT_ERROR  i                 VT_UI1            y
//   VT_UI2                   q                 VT_UI4, VT_UINT   u
//   VT_I8                    x                 VT_UI8            t
//   VT_R4, VT_R8, VT_CY, VT_DATE  d            VT_BOOL           b
//   VT_BSTR                  s (null as "")    VT_DISPATCH, VT_UNKNOWN  o ("/" for null)
//   VT_ARRAY | X             (ia(qv)): lower bound, then every element as a (qv) of type X
// A typed parameter travels bare in the signature of its ParamType (SignatureOf).
// Reading accepts any integer or floating payload for a numeric VARTYPE, so a peer may pick a
// wider or narrower carrier for the rare types.
//
// Objects cross as paths, mapped by the ObjectPaths the caller passes.
// All routines return 0 or a negative errno (-EINVAL for a value that cannot travel, -EBADMSG
// for a message that does not hold what was asked, or sd-bus's own code).
#include <systemd/sd-bus.h>

#include <string>

#include "com/dispatch.h"
#include "com/variant.h"
#include "commands/method_table.h"

namespace kv::client {

// Arrays nested inside arrays deeper than this are refused both ways.
inline constexpr int kMaxArrayNesting = 8;

class ObjectPaths {
 public:
  virtual ~ObjectPaths() = default;
  // The path standing for a (non-null) object; false when it cannot travel on this connection.
  virtual bool PathOf(com::IUnknown* obj, std::string* path) = 0;
  // The object for a path other than "/" (never null).
  virtual com::ComPtr<com::IDispatch> ObjectAt(const std::string& path) = 0;
};

// The D-Bus signature of one parameter type: "s", "i", "d", "d", "b", "o", "(qv)".
const char* SignatureOf(ParamType type);

int AppendVariant(sd_bus_message* m, const com::Variant& v, ObjectPaths& paths);
int ReadVariant(sd_bus_message* m, com::Variant* out, ObjectPaths& paths);

// A parameter of `type`. Appending converts `v` to the type first (ChangeType; VT_EMPTY and
// VT_NULL give a null object for Dispatch); reading yields a Variant of the type's VARTYPE.
int AppendTyped(sd_bus_message* m, ParamType type, const com::Variant& v, ObjectPaths& paths);
int ReadTyped(sd_bus_message* m, ParamType type, com::Variant* out, ObjectPaths& paths);

// The VARTYPE a ParamType reads as.
com::VARTYPE VarTypeOf(ParamType type);

}  // namespace kv::client
