#include "protocol/typed_interface.h"

#include <map>
#include <memory>
#include <mutex>

#include "protocol/wire_names.h"

namespace kv::protocol {

using com::Variant;

const char* ParamSignature(ParamType t) {
  switch (t) {
    case ParamType::Bstr: return "s";
    case ParamType::Long: return "i";
    case ParamType::Double: case ParamType::Date: return "d";
    case ParamType::Bool: return "b";
    case ParamType::Dispatch: return "o";
    case ParamType::Variant: return kVariantSignature;
  }
  return "";
}


TypedInterface::TypedInterface(const InterfaceTable& table)
    : table_(table), name_(std::string(kTypedInterfacePrefix) + table.name) {
  methods_.reserve(table.methods.size());
  for (size_t i = 0; i < table.methods.size(); ++i) {
    const MethodInfo& method = table.methods[i];
    TypedMethod tm{&method, table.DispIdOf(i), "", ""};
    for (const ParamInfo& p : method.params)
      if (p.dir != ParamDir::Retval) tm.inSignature += ParamSignature(p.type);
    for (const ParamInfo& p : method.params)
      if (p.dir == ParamDir::InOut) tm.outSignature += ParamSignature(p.type);
    int ret = method.RetvalIndex();
    if (ret >= 0) tm.outSignature += ParamSignature(method.params[static_cast<size_t>(ret)].type);
    methods_.push_back(std::move(tm));
  }
  for (size_t i = 0; i < methods_.size(); ++i) byName_.emplace(methods_[i].info->name, i);
}

const TypedInterface& TypedInterface::For(const InterfaceTable& table) {
  static std::mutex mu;
  static std::map<const InterfaceTable*, std::unique_ptr<TypedInterface>> cache;
  std::lock_guard lock(mu);
  auto& slot = cache[&table];
  if (!slot) slot = std::make_unique<TypedInterface>(table);
  return *slot;
}

const TypedMethod* TypedInterface::Find(std::string_view member) const {
  auto it = byName_.find(member);
  return it == byName_.end() ? nullptr : &methods_[it->second];
}

namespace {

int Failed(sd_bus_error* error, const std::string& text) { return sd_bus_error_set(error, kErrorFailed, text.c_str()); }

int CheckRead(sd_bus_error* error, int r) {
  if (r > 0 || sd_bus_error_is_set(error)) return r;
  if (r == 0) return sd_bus_error_set(error, kErrorInvalidArgs, "missing argument");
  return sd_bus_error_set(error, kErrorInvalidArgs, "arguments do not match the method's signature");
}

}  // namespace

int ReadTypedValue(sd_bus_message* m, ParamType t, ObjectPaths* paths, Variant* out, sd_bus_error* error) {
  int r;
  switch (t) {
    case ParamType::Bstr: {
      const char* s = nullptr;
      r = sd_bus_message_read_basic(m, 's', &s);
      if (r > 0) *out = Variant::Str(std::string_view(s));
      return CheckRead(error, r);
    }
    case ParamType::Long: {
      int32_t x = 0;
      r = sd_bus_message_read_basic(m, 'i', &x);
      if (r > 0) *out = Variant::I4(x);
      return CheckRead(error, r);
    }
    case ParamType::Double: case ParamType::Date: {
      double x = 0;
      r = sd_bus_message_read_basic(m, 'd', &x);
      if (r > 0) *out = t == ParamType::Date ? Variant::Date(x) : Variant::R8(x);
      return CheckRead(error, r);
    }
    case ParamType::Bool: {
      int x = 0;
      r = sd_bus_message_read_basic(m, 'b', &x);
      if (r > 0) *out = Variant::Bool(x != 0);
      return CheckRead(error, r);
    }
    case ParamType::Dispatch: {
      com::ComPtr<com::IUnknown> obj;
      r = ReadObject(m, &obj, paths, error);
      if (r < 0) return r;
      com::ComPtr<com::IDispatch> disp = com::QueryInterface<com::IDispatch>(obj);
      if (obj && !disp) return sd_bus_error_set(error, kErrorInvalidArgs, "object does not answer IDispatch");
      *out = Variant::Dispatch(disp);
      return r;
    }
    case ParamType::Variant:
      return ReadVariant(m, out, paths, error);
  }
  return sd_bus_error_set(error, kErrorInvalidArgs, "unknown parameter type");
}

int AppendTypedValue(sd_bus_message* m, ParamType t, const Variant& value, ObjectPaths* paths, const char* failure,
                     sd_bus_error* error) {
  if (t == ParamType::Variant) return AppendVariant(m, value, paths, error);
  const Variant& in = value.Deref();
  if (t == ParamType::Dispatch && in.vt() == com::VT_NULL) return AppendObject(m, nullptr, paths, error);
  Variant v;
  if (com::FAILED(com::ChangeType(in, VarTypeOf(t), &v))) {
    std::string text = "a value of VARTYPE " + std::to_string(in.vt()) + " does not convert to the parameter's type";
    return sd_bus_error_set(error, failure, text.c_str());
  }
  int r;
  switch (t) {
    case ParamType::Bstr: r = sd_bus_message_append_basic(m, 's', v.bstr().ToUtf8().c_str()); break;
    case ParamType::Long: {
      int32_t x = v.i4();
      r = sd_bus_message_append_basic(m, 'i', &x);
      break;
    }
    case ParamType::Double: case ParamType::Date: {
      double x = v.AsReal();
      r = sd_bus_message_append_basic(m, 'd', &x);
      break;
    }
    case ParamType::Bool: {
      int x = v.boolVal() != 0;
      r = sd_bus_message_append_basic(m, 'b', &x);
      break;
    }
    case ParamType::Dispatch: return AppendObject(m, v.unknown(), paths, error);
    default: return sd_bus_error_set(error, failure, "unknown parameter type");
  }
  if (r < 0 && !sd_bus_error_is_set(error)) sd_bus_error_set_errno(error, r);
  return r;
}

int ReadTypedArgs(sd_bus_message* m, const TypedMethod& method, ObjectPaths* paths, std::vector<Variant>* args,
                  sd_bus_error* error) {
  args->clear();
  for (const ParamInfo& p : method.info->params) {
    if (p.dir == ParamDir::Retval) continue;
    Variant v;
    int r = ReadTypedValue(m, p.type, paths, &v, error);
    if (r < 0) return r;
    args->push_back(std::move(v));
  }
  return 0;
}

int AppendTypedOuts(sd_bus_message* reply, const TypedMethod& method, const std::vector<Variant>& args,
                    const Variant& result, ObjectPaths* paths, sd_bus_error* error) {
  size_t arg = 0;
  const ParamInfo* retval = nullptr;
  for (const ParamInfo& p : method.info->params) {
    if (p.dir == ParamDir::Retval) {
      retval = &p;
      continue;
    }
    if (p.dir == ParamDir::InOut) {
      if (arg >= args.size()) return Failed(error, "argument list shorter than the method's");
      int r = AppendTypedValue(reply, p.type, args[arg], paths, kErrorFailed, error);
      if (r < 0) return r;
    }
    ++arg;
  }
  return retval ? AppendTypedValue(reply, retval->type, result, paths, kErrorFailed, error) : 0;
}

}  // namespace kv::protocol
