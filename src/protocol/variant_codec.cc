#include "protocol/variant_codec.h"

#include <cerrno>
#include <cstring>

#include "com/dispatch.h"
#include "protocol/wire_names.h"

namespace kv::protocol {

using com::VARTYPE;
using com::Variant;

namespace {

int Fail(sd_bus_error* error, const char* name, const std::string& text) {
  return sd_bus_error_set(error, name, text.c_str());
}

// Turn a failed sd-bus call into an error reply unless a more precise one is already set.
int Check(sd_bus_error* error, int r) {
  if (r >= 0 || sd_bus_error_is_set(error)) return r;
  if (r == -ENXIO || r == -EBADMSG || r == -EINVAL)
    return Fail(error, kErrorInvalidArgs, "arguments do not match the expected signature");
  return sd_bus_error_set_errno(error, r);
}
int CheckWrite(sd_bus_error* error, int r) {
  if (r >= 0 || sd_bus_error_is_set(error)) return r;
  return Fail(error, kErrorFailed, std::string("cannot encode the reply: ") + std::strerror(-r));
}

bool IsArrayElementType(VARTYPE vt) {
  return vt == com::VT_VARIANT || (com::IsScalarType(vt) && vt != com::VT_EMPTY && vt != com::VT_NULL);
}

std::string TooDeep() { return "arrays nested deeper than " + std::to_string(kMaxArrayDepth); }

int AppendAt(sd_bus_message* m, const Variant& v, ObjectPaths* paths, sd_bus_error* error, int depth);
int ReadAt(sd_bus_message* m, Variant* out, ObjectPaths* paths, sd_bus_error* error, int depth);

int AppendScalar(sd_bus_message* m, const Variant& v, char code, ObjectPaths* paths, sd_bus_error* error) {
  switch (code) {
    case 'y': {
      uint8_t x = v.vt() == com::VT_UI1 ? static_cast<uint8_t>(v.AsInt()) : 0;
      return sd_bus_message_append_basic(m, 'y', &x);
    }
    case 'n': {
      int16_t x = static_cast<int16_t>(v.AsInt());
      return sd_bus_message_append_basic(m, 'n', &x);
    }
    case 'q': {
      uint16_t x = static_cast<uint16_t>(v.AsInt());
      return sd_bus_message_append_basic(m, 'q', &x);
    }
    case 'i': {
      int32_t x = static_cast<int32_t>(v.AsInt());
      return sd_bus_message_append_basic(m, 'i', &x);
    }
    case 'u': {
      uint32_t x = static_cast<uint32_t>(v.AsInt());
      return sd_bus_message_append_basic(m, 'u', &x);
    }
    case 'x': {
      int64_t x = v.AsInt();
      return sd_bus_message_append_basic(m, 'x', &x);
    }
    case 't': {
      uint64_t x = static_cast<uint64_t>(v.AsInt());
      return sd_bus_message_append_basic(m, 't', &x);
    }
    case 'd': {
      double x = v.AsReal();
      return sd_bus_message_append_basic(m, 'd', &x);
    }
    case 'b': {
      int x = v.boolVal() != 0;
      return sd_bus_message_append_basic(m, 'b', &x);
    }
    case 's':
      return sd_bus_message_append_basic(m, 's', v.bstr().ToUtf8().c_str());
    case 'o':
      return AppendObject(m, v.unknown(), paths, error);
    default:
      return Fail(error, kErrorFailed, "no encoding for VARTYPE " + std::to_string(v.vt()));
  }
}

int AppendArray(sd_bus_message* m, const Variant& v, ObjectPaths* paths, sd_bus_error* error, int depth) {
  if (depth > kMaxArrayDepth) return Fail(error, kErrorFailed, TooDeep());
  const com::SafeArray& a = v.array();
  int32_t lbound = a.LowerBound();
  int r = sd_bus_message_open_container(m, 'r', "ia(qv)");
  if (r >= 0) r = sd_bus_message_append_basic(m, 'i', &lbound);
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', kVariantSignature);
  for (size_t i = 0; r >= 0 && i < a.Count(); ++i) r = AppendAt(m, a.At(i), paths, error, depth);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r;
}

int AppendAt(sd_bus_message* m, const Variant& in, ObjectPaths* paths, sd_bus_error* error, int depth) {
  const Variant& v = in.Deref();
  const char* sig = ValueSignature(v.vt());
  if (!sig) return Fail(error, kErrorFailed, "no encoding for VARTYPE " + std::to_string(v.vt()));
  VARTYPE vt = v.vt();
  int r = sd_bus_message_open_container(m, 'r', kVariantContents);
  if (r >= 0) r = sd_bus_message_append_basic(m, 'q', &vt);
  if (r >= 0) r = sd_bus_message_open_container(m, 'v', sig);
  if (r >= 0) r = v.IsArray() ? AppendArray(m, v, paths, error, depth + 1) : AppendScalar(m, v, sig[0], paths, error);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  return CheckWrite(error, r);
}

int ReadScalar(sd_bus_message* m, VARTYPE vt, char code, Variant* out, ObjectPaths* paths, sd_bus_error* error) {
  union {
    uint8_t y;
    int16_t n;
    uint16_t q;
    int32_t i;
    uint32_t u;
    int64_t x;
    uint64_t t;
    double d;
    int b;
    const char* s;
  } val{};
  if (code == 'o') {
    com::ComPtr<com::IUnknown> obj;
    int r = ReadObject(m, &obj, paths, error);
    if (r < 0) return r;
    if (vt == com::VT_UNKNOWN) {
      *out = Variant::Unknown(obj);
      return r;
    }
    com::ComPtr<com::IDispatch> disp = com::QueryInterface<com::IDispatch>(obj);
    if (obj && !disp) return Fail(error, kErrorInvalidArgs, "object does not answer IDispatch");
    *out = Variant::Dispatch(disp);
    return r;
  }
  int r = sd_bus_message_read_basic(m, code, &val);
  if (r < 0) return r;
  switch (code) {
    case 'y':
      *out = vt == com::VT_UI1 ? Variant::OfInt(vt, val.y) : vt == com::VT_NULL ? Variant::Null() : Variant();
      break;
    case 'n':
      if (vt == com::VT_I1 && (val.n < INT8_MIN || val.n > INT8_MAX))
        return Fail(error, kErrorInvalidArgs, "VT_I1 value out of range");
      *out = Variant::OfInt(vt, val.n);
      break;
    case 'q': *out = Variant::OfInt(vt, val.q); break;
    case 'i': *out = Variant::OfInt(vt, val.i); break;
    case 'u': *out = Variant::OfInt(vt, val.u); break;
    case 'x': *out = Variant::OfInt(vt, val.x); break;
    case 't': *out = Variant::OfInt(vt, static_cast<int64_t>(val.t)); break;
    case 'd': *out = Variant::OfReal(vt, val.d); break;
    case 'b': *out = Variant::Bool(val.b != 0); break;
    case 's': *out = Variant::Str(std::string_view(val.s)); break;
    default: return Fail(error, kErrorInvalidArgs, "unexpected value type");
  }
  return r;
}

int ReadArray(sd_bus_message* m, VARTYPE vt, Variant* out, ObjectPaths* paths, sd_bus_error* error, int depth) {
  if (depth > kMaxArrayDepth) return Fail(error, kErrorInvalidArgs, TooDeep());
  VARTYPE elemVt = static_cast<VARTYPE>(vt & ~com::VT_ARRAY);
  int32_t lbound = 0;
  int r = sd_bus_message_enter_container(m, 'r', "ia(qv)");
  if (r >= 0) r = sd_bus_message_read_basic(m, 'i', &lbound);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', kVariantSignature);
  if (r < 0) return r;
  std::vector<Variant> items;
  for (;;) {
    r = sd_bus_message_at_end(m, false);
    if (r < 0) return r;
    if (r > 0) break;
    Variant item;
    r = ReadAt(m, &item, paths, error, depth);
    if (r < 0) return r;
    if (elemVt != com::VT_VARIANT && item.vt() != elemVt)
      return Fail(error, kErrorInvalidArgs,
                  "array of VARTYPE " + std::to_string(elemVt) + " holds an element of VARTYPE " + std::to_string(item.vt()));
    items.push_back(std::move(item));
  }
  r = sd_bus_message_exit_container(m);
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r < 0) return r;
  if (static_cast<int64_t>(lbound) + static_cast<int64_t>(items.size()) - 1 > INT32_MAX)
    return Fail(error, kErrorInvalidArgs, "array bounds out of range");
  com::SafeArray a(elemVt, lbound, items.size());
  for (size_t i = 0; i < items.size(); ++i) a.At(i) = std::move(items[i]);
  *out = Variant::Array(std::move(a));
  return 0;
}

int ReadAt(sd_bus_message* m, Variant* out, ObjectPaths* paths, sd_bus_error* error, int depth) {
  VARTYPE vt = 0;
  int r = sd_bus_message_enter_container(m, 'r', kVariantContents);
  if (r == 0) return Fail(error, kErrorInvalidArgs, "missing variant");
  if (r >= 0) r = sd_bus_message_read_basic(m, 'q', &vt);
  if (r < 0) return Check(error, r);
  const char* sig = ValueSignature(vt);
  if (!sig) return Fail(error, kErrorInvalidArgs, "VARTYPE " + std::to_string(vt) + " cannot be carried");
  char type = 0;
  const char* contents = nullptr;
  r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0) return Check(error, r);
  if (r == 0 || type != 'v' || !contents || std::strcmp(contents, sig) != 0)
    return Fail(error, kErrorInvalidArgs,
                "VARTYPE " + std::to_string(vt) + " must carry '" + sig + "', not '" + (contents ? contents : "") + "'");
  r = sd_bus_message_enter_container(m, 'v', sig);
  if (r >= 0) r = (vt & com::VT_ARRAY) ? ReadArray(m, vt, out, paths, error, depth + 1) : ReadScalar(m, vt, sig[0], out, paths, error);
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r >= 0) r = sd_bus_message_exit_container(m);
  return Check(error, r);
}

}  // namespace

const char* ValueSignature(VARTYPE vt) {
  if (vt & com::VT_ARRAY) {
    if (vt & com::VT_BYREF) return nullptr;
    return IsArrayElementType(static_cast<VARTYPE>(vt & ~com::VT_ARRAY)) ? kArrayValueSignature : nullptr;
  }
  switch (vt) {
    case com::VT_EMPTY: case com::VT_NULL: case com::VT_UI1: return "y";
    case com::VT_I1: case com::VT_I2: return "n";
    case com::VT_I4: case com::VT_INT: case com::VT_ERROR: return "i";
    case com::VT_UI2: return "q";
    case com::VT_UI4: case com::VT_UINT: return "u";
    case com::VT_I8: return "x";
    case com::VT_UI8: return "t";
    case com::VT_R4: case com::VT_R8: case com::VT_DATE: case com::VT_CY: return "d";
    case com::VT_BOOL: return "b";
    case com::VT_BSTR: return "s";
    case com::VT_DISPATCH: case com::VT_UNKNOWN: return "o";
    default: return nullptr;
  }
}

int AppendVariant(sd_bus_message* m, const Variant& v, ObjectPaths* paths, sd_bus_error* error) {
  return AppendAt(m, v, paths, error, 0);
}

int ReadVariant(sd_bus_message* m, Variant* out, ObjectPaths* paths, sd_bus_error* error) {
  return ReadAt(m, out, paths, error, 0);
}

int AppendVariantList(sd_bus_message* m, const std::vector<Variant>& list, ObjectPaths* paths, sd_bus_error* error) {
  int r = sd_bus_message_open_container(m, 'a', kVariantSignature);
  for (size_t i = 0; r >= 0 && i < list.size(); ++i) r = AppendAt(m, list[i], paths, error, 0);
  if (r >= 0) r = sd_bus_message_close_container(m);
  return CheckWrite(error, r);
}

int ReadVariantList(sd_bus_message* m, std::vector<Variant>* out, ObjectPaths* paths, sd_bus_error* error) {
  out->clear();
  int r = sd_bus_message_enter_container(m, 'a', kVariantSignature);
  if (r == 0) return Fail(error, kErrorInvalidArgs, "missing variant list");
  while (r >= 0) {
    r = sd_bus_message_at_end(m, false);
    if (r != 0) break;
    Variant v;
    r = ReadAt(m, &v, paths, error, 0);
    if (r >= 0) out->push_back(std::move(v));
  }
  if (r >= 0) r = sd_bus_message_exit_container(m);
  return Check(error, r);
}

int AppendObject(sd_bus_message* m, const com::ComPtr<com::IUnknown>& obj, ObjectPaths* paths, sd_bus_error* error) {
  if (!obj) return CheckWrite(error, sd_bus_message_append_basic(m, 'o', kNullObjectPath));
  std::string path = paths ? paths->PathOf(obj) : std::string();
  if (path.empty()) return Fail(error, kErrorFailed, "object cannot be handed out");
  return CheckWrite(error, sd_bus_message_append_basic(m, 'o', path.c_str()));
}

int ReadObject(sd_bus_message* m, com::ComPtr<com::IUnknown>* out, ObjectPaths* paths, sd_bus_error* error) {
  const char* path = nullptr;
  int r = sd_bus_message_read_basic(m, 'o', &path);
  if (r == 0) return Fail(error, kErrorInvalidArgs, "missing object path");
  if (r < 0) return Check(error, r);
  if (std::strcmp(path, kNullObjectPath) == 0) {
    *out = nullptr;
    return r;
  }
  if (!paths || !paths->ObjectAt(path, out))
    return Fail(error, kErrorUnknownObjectArg, std::string("no object held at ") + path);
  return r;
}

bool HoldsObject(const Variant& in) {
  const Variant& v = in.Deref();
  if (v.IsArray()) {
    VARTYPE e = v.array().ElementType();
    if (e != com::VT_VARIANT && e != com::VT_DISPATCH && e != com::VT_UNKNOWN) return false;
    for (size_t i = 0; i < v.array().Count(); ++i)
      if (HoldsObject(v.array().At(i))) return true;
    return false;
  }
  return (v.vt() == com::VT_DISPATCH || v.vt() == com::VT_UNKNOWN) && v.unknown();
}

}  // namespace kv::protocol
