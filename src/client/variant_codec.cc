#include "client/variant_codec.h"

#include <cerrno>
#include <cstdint>
#include <string_view>

namespace kv::client {

using com::Variant;
using com::VARTYPE;

namespace {

// The carrier signature of a scalar VARTYPE; nullptr for types that cannot travel.
const char* ScalarSignature(VARTYPE vt) {
  switch (vt) {
    case com::VT_EMPTY: case com::VT_NULL: case com::VT_UI1: return "y";
    case com::VT_I2: case com::VT_I1: return "n";
    case com::VT_I4: case com::VT_INT: case com::VT_ERROR: return "i";
    case com::VT_UI2: return "q";
    case com::VT_UI4: case com::VT_UINT: return "u";
    case com::VT_I8: return "x";
    case com::VT_UI8: return "t";
    case com::VT_R4: case com::VT_R8: case com::VT_CY: case com::VT_DATE: return "d";
    case com::VT_BOOL: return "b";
    case com::VT_BSTR: return "s";
    case com::VT_DISPATCH: case com::VT_UNKNOWN: return "o";
    default: return nullptr;
  }
}

int AppendObjectPath(sd_bus_message* m, com::IUnknown* obj, ObjectPaths& paths) {
  std::string path = "/";
  if (obj && !paths.PathOf(obj, &path)) return -EINVAL;
  return sd_bus_message_append_basic(m, 'o', path.c_str());
}

int AppendScalar(sd_bus_message* m, char sig, const Variant& v, ObjectPaths& paths) {
  switch (sig) {
    case 'y': {
      uint8_t x = v.vt() == com::VT_UI1 ? static_cast<uint8_t>(v.AsInt()) : 0;
      return sd_bus_message_append_basic(m, 'y', &x);
    }
    case 'n': { int16_t x = static_cast<int16_t>(v.AsInt()); return sd_bus_message_append_basic(m, 'n', &x); }
    case 'q': { uint16_t x = static_cast<uint16_t>(v.AsInt()); return sd_bus_message_append_basic(m, 'q', &x); }
    case 'i': { int32_t x = static_cast<int32_t>(v.AsInt()); return sd_bus_message_append_basic(m, 'i', &x); }
    case 'u': { uint32_t x = static_cast<uint32_t>(v.AsInt()); return sd_bus_message_append_basic(m, 'u', &x); }
    case 'x': { int64_t x = v.AsInt(); return sd_bus_message_append_basic(m, 'x', &x); }
    case 't': { uint64_t x = static_cast<uint64_t>(v.AsInt()); return sd_bus_message_append_basic(m, 't', &x); }
    case 'd': { double x = v.AsReal(); return sd_bus_message_append_basic(m, 'd', &x); }
    case 'b': { int x = v.boolVal() != 0; return sd_bus_message_append_basic(m, 'b', &x); }
    case 's': {
      std::string s = v.bstr().ToUtf8();
      return sd_bus_message_append_basic(m, 's', s.c_str());
    }
    case 'o': return AppendObjectPath(m, v.unknown().Get(), paths);
    default: return -EINVAL;
  }
}

int AppendVariantAt(sd_bus_message* m, const Variant& in, ObjectPaths& paths, int depth) {
  const Variant& v = in.Deref();
  if (v.IsByRef()) return -EINVAL;
  int r = sd_bus_message_open_container(m, 'r', "qv");
  if (r < 0) return r;
  VARTYPE vt = v.vt();
  if ((r = sd_bus_message_append_basic(m, 'q', &vt)) < 0) return r;
  if (v.IsArray()) {
    if (depth >= kMaxArrayNesting) return -EINVAL;
    const com::SafeArray& a = v.array();
    int32_t lb = a.LowerBound();
    if ((r = sd_bus_message_open_container(m, 'v', "(ia(qv))")) < 0) return r;
    if ((r = sd_bus_message_open_container(m, 'r', "ia(qv)")) < 0) return r;
    if ((r = sd_bus_message_append_basic(m, 'i', &lb)) < 0) return r;
    if ((r = sd_bus_message_open_container(m, 'a', "(qv)")) < 0) return r;
    for (size_t i = 0; i < a.Count(); ++i)
      if ((r = AppendVariantAt(m, a.At(i), paths, depth + 1)) < 0) return r;
    for (int k = 0; k < 3; ++k)
      if ((r = sd_bus_message_close_container(m)) < 0) return r;
  } else {
    const char* sig = ScalarSignature(vt);
    if (!sig) return -EINVAL;
    if ((r = sd_bus_message_open_container(m, 'v', sig)) < 0) return r;
    if ((r = AppendScalar(m, sig[0], v, paths)) < 0) return r;
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
  }
  return sd_bus_message_close_container(m);
}

// One basic value of any signature, kept as integer, real, or text.
struct Basic {
  char sig = 0;
  int64_t i = 0;
  double d = 0;
  std::string s;
  bool IsInteger() const { return sig != 'd' && sig != 's' && sig != 'o' && sig != 'g'; }
};

int ReadBasic(sd_bus_message* m, char sig, Basic* out) {
  out->sig = sig;
  int r;
  switch (sig) {
    case 'y': { uint8_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x; break; }
    case 'n': { int16_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x; break; }
    case 'q': { uint16_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x; break; }
    case 'i': { int32_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x; break; }
    case 'u': { uint32_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x; break; }
    case 'x': { int64_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x; break; }
    case 't': { uint64_t x; r = sd_bus_message_read_basic(m, sig, &x); out->i = static_cast<int64_t>(x); break; }
    case 'b': { int x; r = sd_bus_message_read_basic(m, sig, &x); out->i = x ? 1 : 0; break; }
    case 'd': { double x; r = sd_bus_message_read_basic(m, sig, &x); out->d = x; break; }
    case 's': case 'o': case 'g': {
      const char* x = nullptr;
      r = sd_bus_message_read_basic(m, sig, &x);
      if (r > 0) out->s = x ? x : "";
      break;
    }
    default: return -EBADMSG;
  }
  if (r == 0) return -EBADMSG;  // nothing left where a value was due
  return r < 0 ? r : 0;
}

// The Variant of type `vt` that a basic value stands for; false when they do not fit.
bool FromBasic(VARTYPE vt, const Basic& b, ObjectPaths& paths, Variant* out) {
  switch (vt) {
    case com::VT_EMPTY: *out = Variant(); return true;
    case com::VT_NULL: *out = Variant::Null(); return true;
    case com::VT_BSTR:
      if (b.sig != 's') return false;
      *out = Variant::Str(b.s);
      return true;
    case com::VT_DISPATCH: case com::VT_UNKNOWN: {
      if (b.sig != 'o') return false;
      com::ComPtr<com::IDispatch> obj;
      if (b.s != "/") obj = paths.ObjectAt(b.s);
      *out = vt == com::VT_DISPATCH ? Variant::Dispatch(obj) : Variant::Unknown(com::ComPtr<com::IUnknown>(obj.Get()));
      return true;
    }
    case com::VT_BOOL:
      if (!b.IsInteger()) return false;
      *out = Variant::Bool(b.i != 0);
      return true;
    default:
      if (!com::IsScalarType(vt)) return false;
      if (b.IsInteger()) *out = Variant::OfInt(vt, b.i);
      else if (b.sig == 'd') *out = Variant::OfReal(vt, b.d);
      else return false;
      return true;
  }
}

int ReadVariantAt(sd_bus_message* m, Variant* out, ObjectPaths& paths, int depth) {
  int r = sd_bus_message_enter_container(m, 'r', "qv");
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  VARTYPE vt;
  if ((r = sd_bus_message_read_basic(m, 'q', &vt)) <= 0) return r < 0 ? r : -EBADMSG;
  char type;
  const char* contents = nullptr;
  if ((r = sd_bus_message_peek_type(m, &type, &contents)) <= 0) return r < 0 ? r : -EBADMSG;
  if (type != 'v' || !contents) return -EBADMSG;
  std::string sig = contents;
  if ((r = sd_bus_message_enter_container(m, 'v', sig.c_str())) <= 0) return r < 0 ? r : -EBADMSG;
  if (vt & com::VT_ARRAY) {
    VARTYPE elem = vt & ~com::VT_ARRAY;
    if (sig != "(ia(qv))" || depth >= kMaxArrayNesting || (elem != com::VT_VARIANT && !com::IsScalarType(elem)))
      return -EBADMSG;
    if ((r = sd_bus_message_enter_container(m, 'r', "ia(qv)")) <= 0) return r < 0 ? r : -EBADMSG;
    int32_t lb;
    if ((r = sd_bus_message_read_basic(m, 'i', &lb)) <= 0) return r < 0 ? r : -EBADMSG;
    if ((r = sd_bus_message_enter_container(m, 'a', "(qv)")) <= 0) return r < 0 ? r : -EBADMSG;
    std::vector<Variant> items;
    while ((r = sd_bus_message_at_end(m, 0)) == 0) {
      items.emplace_back();
      if ((r = ReadVariantAt(m, &items.back(), paths, depth + 1)) < 0) return r;
    }
    if (r < 0) return r;
    com::SafeArray a(elem, lb, items.size());
    for (size_t i = 0; i < items.size(); ++i)
      if (com::FAILED(a.Put(lb + static_cast<int32_t>(i), items[i]))) return -EBADMSG;
    for (int k = 0; k < 2; ++k)
      if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    *out = Variant::Array(std::move(a));
  } else {
    Basic b;
    if (sig.size() != 1 || (r = ReadBasic(m, sig[0], &b)) < 0) return r < 0 ? r : -EBADMSG;
    if (!FromBasic(vt, b, paths, out)) return -EBADMSG;
  }
  if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  return sd_bus_message_exit_container(m) < 0 ? -EBADMSG : 0;
}

}  // namespace

const char* SignatureOf(ParamType type) {
  switch (type) {
    case ParamType::Bstr: return "s";
    case ParamType::Long: return "i";
    case ParamType::Double: case ParamType::Date: return "d";
    case ParamType::Bool: return "b";
    case ParamType::Dispatch: return "o";
    case ParamType::Variant: return "(qv)";
  }
  return "";
}

VARTYPE VarTypeOf(ParamType type) {
  switch (type) {
    case ParamType::Bstr: return com::VT_BSTR;
    case ParamType::Long: return com::VT_I4;
    case ParamType::Double: return com::VT_R8;
    case ParamType::Date: return com::VT_DATE;
    case ParamType::Bool: return com::VT_BOOL;
    case ParamType::Dispatch: return com::VT_DISPATCH;
    case ParamType::Variant: return com::VT_VARIANT;
  }
  return com::VT_EMPTY;
}

int AppendVariant(sd_bus_message* m, const Variant& v, ObjectPaths& paths) {
  return AppendVariantAt(m, v, paths, 0);
}

int ReadVariant(sd_bus_message* m, Variant* out, ObjectPaths& paths) {
  return ReadVariantAt(m, out, paths, 0);
}

int AppendTyped(sd_bus_message* m, ParamType type, const Variant& in, ObjectPaths& paths) {
  const Variant& v = in.Deref();
  if (type == ParamType::Variant) return AppendVariant(m, v, paths);
  if (type == ParamType::Dispatch) {
    if (v.vt() == com::VT_EMPTY || v.vt() == com::VT_NULL) return AppendObjectPath(m, nullptr, paths);
    if (v.vt() != com::VT_DISPATCH && v.vt() != com::VT_UNKNOWN) return -EINVAL;
    return AppendObjectPath(m, v.unknown().Get(), paths);
  }
  Variant c;
  if (com::FAILED(com::ChangeType(v, VarTypeOf(type), &c))) return -EINVAL;
  return AppendScalar(m, SignatureOf(type)[0], c, paths);
}

int ReadTyped(sd_bus_message* m, ParamType type, Variant* out, ObjectPaths& paths) {
  if (type == ParamType::Variant) return ReadVariant(m, out, paths);
  Basic b;
  int r = ReadBasic(m, SignatureOf(type)[0], &b);
  if (r < 0) return r;
  return FromBasic(VarTypeOf(type), b, paths, out) ? 0 : -EBADMSG;
}

}  // namespace kv::client
