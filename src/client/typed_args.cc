#include "client/typed_args.h"

#include <cerrno>

#include "transport/typed_interface.h"
#include "transport/wire_names.h"

namespace kv::client {

using com::Variant;

int AppendParam(sd_bus_message* m, ParamType type, const Variant& in, transport::ObjectPaths* paths,
                sd_bus_error* error) {
  const Variant& v = in.Deref();
  if (type == ParamType::Variant) return transport::AppendVariant(m, v, paths, error);
  if (type == ParamType::Dispatch) {
    if (v.vt() == com::VT_EMPTY || v.vt() == com::VT_NULL) return transport::AppendObject(m, nullptr, paths, error);
    if (v.vt() != com::VT_DISPATCH && v.vt() != com::VT_UNKNOWN)
      return sd_bus_error_set(error, transport::kErrorInvalidArgs, "not an object");
    return transport::AppendObject(m, v.unknown(), paths, error);
  }
  Variant c;
  if (com::FAILED(com::ChangeType(v, VarTypeOf(type), &c)))
    return sd_bus_error_set(error, transport::kErrorInvalidArgs, "value does not convert to the parameter's type");
  int r;
  switch (type) {
    case ParamType::Bstr: r = sd_bus_message_append_basic(m, 's', c.bstr().ToUtf8().c_str()); break;
    case ParamType::Long: {
      int32_t x = c.i4();
      r = sd_bus_message_append_basic(m, 'i', &x);
      break;
    }
    case ParamType::Bool: {
      int x = c.boolVal() != 0;
      r = sd_bus_message_append_basic(m, 'b', &x);
      break;
    }
    default: {
      double x = c.AsReal();
      r = sd_bus_message_append_basic(m, 'd', &x);
    }
  }
  return r < 0 ? sd_bus_error_set_errno(error, r) : r;
}

int ReadParam(sd_bus_message* m, ParamType type, Variant* out, transport::ObjectPaths* paths, sd_bus_error* error) {
  switch (type) {
    case ParamType::Variant: return transport::ReadVariant(m, out, paths, error);
    case ParamType::Dispatch: {
      com::ComPtr<com::IUnknown> obj;
      int r = transport::ReadObject(m, &obj, paths, error);
      if (r >= 0) *out = Variant::Dispatch(com::QueryInterface<com::IDispatch>(obj));
      return r;
    }
    default: break;
  }
  union {
    const char* s;
    int32_t i;
    int b;
    double d;
  } val{};
  char code = transport::ParamSignature(type)[0];
  int r = sd_bus_message_read_basic(m, code, &val);
  if (r <= 0) return sd_bus_error_set(error, transport::kErrorInvalidArgs, "reply does not match the method");
  switch (type) {
    case ParamType::Bstr: *out = Variant::Str(val.s ? val.s : ""); break;
    case ParamType::Long: *out = Variant::I4(val.i); break;
    case ParamType::Bool: *out = Variant::Bool(val.b != 0); break;
    case ParamType::Date: *out = Variant::Date(val.d); break;
    default: *out = Variant::R8(val.d); break;
  }
  return r;
}

}  // namespace kv::client
