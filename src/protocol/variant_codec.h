#pragma once
// VARIANT on the wire: a D-Bus struct `(qv)` holding the VARTYPE and the value. The value's
// signature is fixed per VARTYPE, so every VARTYPE travels and comes back exactly:
//
//   VT_EMPTY, VT_NULL                 y   (a byte 0; any byte is accepted on reading)
//   VT_I1, VT_I2                      n   (VT_I1 must lie in -128..127 when read)
//   VT_I4, VT_INT, VT_ERROR           i
//   VT_UI1                            y
//   VT_UI2                            q
//   VT_UI4, VT_UINT                   u
//   VT_I8                             x
//   VT_UI8                            t
//   VT_R4, VT_R8, VT_DATE, VT_CY      d   (the value as held, never narrowed)
//   VT_BOOL                           b   (VARIANT_TRUE / VARIANT_FALSE)
//   VT_BSTR                           s   (a null BSTR travels as "" and comes back empty;
//                                          VT_NULL is the distinct "no value"; D-Bus strings
//                                          end at an embedded U+0000)
//   VT_DISPATCH, VT_UNKNOWN           o   (the holder's object path; "/" for a null object)
//   VT_ARRAY | X                      (ia(qv))  the lower bound, then every element as (qv);
//                                          for a typed X each element's q is X, for
//                                          VT_ARRAY|VT_VARIANT elements are any variant,
//                                          nested arrays included
//
// Arrays nest at most kMaxArrayDepth deep; a deeper one is refused on reading and on writing.
// VT_BYREF values are written as the value they point to; a VT_BYREF never comes off the wire.
//
// The codec is pure: object paths come from an ObjectPaths the caller supplies (the calling
// connection's object table). Not thread-safe beyond what the message and the ObjectPaths are.
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

#include "com/unknown.h"
#include "com/variant.h"

namespace kv::protocol {

inline constexpr int kMaxArrayDepth = 8;
inline constexpr char kVariantSignature[] = "(qv)";
inline constexpr char kVariantContents[] = "qv";
inline constexpr char kArrayValueSignature[] = "(ia(qv))";

// Maps objects to the paths one client holds, and back.
class ObjectPaths {
 public:
  virtual ~ObjectPaths() = default;
  // The path `obj` (never null) travels as, registering it when it is new. Empty on failure.
  virtual std::string PathOf(const com::ComPtr<com::IUnknown>& obj) = 0;
  // The object at `path` when the client holds it; false otherwise.
  virtual bool ObjectAt(const std::string& path, com::ComPtr<com::IUnknown>* obj) = 0;
};

// The signature of the value of a variant of type `vt`; nullptr for a type that does not travel.
const char* ValueSignature(com::VARTYPE vt);

// Each function returns >= 0 on success; on failure a negative errno with `error` set to the
// D-Bus error to answer with. Reading: org.freedesktop.DBus.Error.InvalidArgs for a value that
// does not fit the encoding (wrong signature, a VARTYPE that does not travel, arrays nested too
// deep, an element of the wrong type, VT_I1 out of range),
// com.quorlith.Kelvarin.Error.UnknownObject for a path the client does not hold. Writing:
// org.freedesktop.DBus.Error.Failed for a value that cannot be encoded (same reasons).
// `paths` may be null when no object can occur (an object then fails). A failed append leaves
// the message unusable: build a new one for the error reply.

// Appends `v` as (qv).
int AppendVariant(sd_bus_message* m, const com::Variant& v, ObjectPaths* paths, sd_bus_error* error);
// Reads one (qv) into `out`.
int ReadVariant(sd_bus_message* m, com::Variant* out, ObjectPaths* paths, sd_bus_error* error);

// The same for a(qv): a list of variants.
int AppendVariantList(sd_bus_message* m, const std::vector<com::Variant>& list, ObjectPaths* paths,
                      sd_bus_error* error);
int ReadVariantList(sd_bus_message* m, std::vector<com::Variant>* out, ObjectPaths* paths, sd_bus_error* error);

// Object paths alone (the typed interface's `o`): "/" is the null object.
int AppendObject(sd_bus_message* m, const com::ComPtr<com::IUnknown>& obj, ObjectPaths* paths, sd_bus_error* error);
int ReadObject(sd_bus_message* m, com::ComPtr<com::IUnknown>* out, ObjectPaths* paths, sd_bus_error* error);

// True when `v` holds an object anywhere (also inside arrays): such values must be destroyed on
// the apartment of the objects they hold.
bool HoldsObject(const com::Variant& v);

}  // namespace kv::protocol
