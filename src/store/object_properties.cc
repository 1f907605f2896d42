// Generic reads and writes of named properties, by single name, array of names and dotted path.
#include <string_view>

#include "command_object/calc_cmd_base.h"
#include "base/error_codes.h"
#include "base/rights.h"
#include "components/server_objects.h"
#include "store/store_commands.h"

namespace kv::store {
namespace {

using com::VT_ARRAY;
using com::VT_BSTR;
using com::VT_VARIANT;

// Every by-name read: the one name looked up, then invoked as method-or-property-get.
bool ReadByName(IDispatch* object, std::string_view name, Variant* value) {
  std::vector<Variant> none;
  return com::SUCCEEDED(com::CallMethod(object, name, none, value));
}

// The object holding the last name of `path` ("A.B.C": A and B must hold objects) and that
// last name; null when a step does not hold an object.
ComPtr<IDispatch> WalkPath(IDispatch* object, std::string_view path, std::string_view* last) {
  ComPtr<IDispatch> current(object);
  for (size_t dot; (dot = path.find('.')) != std::string_view::npos; path.remove_prefix(dot + 1)) {
    Variant step;
    if (!ReadByName(current.Get(), path.substr(0, dot), &step) || step.vt() != com::VT_DISPATCH) return nullptr;
    current = step.dispatch();
    if (!current) return nullptr;
  }
  *last = path;
  return current;
}

bool ReadPath(IDispatch* object, const std::string& path, Variant* value) {
  std::string_view last;
  ComPtr<IDispatch> holder = WalkPath(object, path, &last);
  return holder && ReadByName(holder.Get(), last, value);
}

// The refusal code of a put a shared object refused for want of a right: that of the commands
// that change such objects, so the caller can tell a refusal from a missing or read-only
// property; 0 for an object that is not shared.
long RefusalOf(IDispatch* holder) {
  auto shared = com::QueryInterface<components::ISharedObject>(holder);
  switch (shared ? shared->Guard() : components::SharedObject::None) {
    case components::SharedObject::Calculation: return security::kRefusedCalc;
    case components::SharedObject::Library: return security::kRefusedLibrary;
    case components::SharedObject::Units: return security::kRefusedUnits;
    case components::SharedObject::Schedule: return security::kRefusedSchedule;
    case components::SharedObject::None: break;
  }
  return 0;
}

// Writes the last name of `path`; false when it was not written, with `refusal` set to the
// refusal code when the object refused the caller.
bool WritePath(IDispatch* object, const std::string& path, const Variant& value, long* refusal) {
  std::string_view last;
  ComPtr<IDispatch> holder = WalkPath(object, path, &last);
  if (!holder) return false;
  const com::HRESULT hr = com::PutProperty(holder.Get(), last, value);
  if (hr == com::E_ACCESSDENIED) *refusal = RefusalOf(holder.Get());
  return com::SUCCEEDED(hr);
}

bool IsNameArray(const Variant& v) { return v.vt() == (VT_ARRAY | VT_BSTR) || v.vt() == (VT_ARRAY | VT_VARIANT); }

// The name at `offset` of a name array; false for an element that is not a string.
bool NameAt(const com::SafeArray& names, size_t offset, std::string* name) {
  const Variant& item = names.At(offset).Deref();
  if (item.vt() != VT_BSTR) return false;
  *name = item.bstr().ToUtf8();
  return true;
}

// One flag of an array result: 1 or 0, not VARIANT_TRUE.
Variant Flag(bool done) { return Variant::OfInt(com::VT_BOOL, done ? 1 : 0); }

}  // namespace

Variant GetObjectProperties(CCalcCmdBase& cmd, IDispatch* object, const Variant& propertyList, Variant* propertyValues) {
  cmd.ResetLastError();
  if (propertyValues) *propertyValues = Variant();
  const Variant& list = propertyList.Deref();
  if (!object || !propertyValues || (list.vt() != VT_BSTR && !IsNameArray(list))) {
    cmd.SetCommandError(CMDERR_INVALID_ARGUMENTS);
    return Variant::Bool(false);
  }
  if (list.vt() == VT_BSTR) {
    Variant value;
    const bool done = ReadPath(object, list.bstr().ToUtf8(), &value);
    if (done) *propertyValues = std::move(value);
    return Variant::Bool(done);
  }
  const com::SafeArray& names = list.array();
  com::SafeArray values(VT_VARIANT, 0, names.Count()), flags(VT_VARIANT, 0, names.Count());
  for (size_t i = 0; i < names.Count(); ++i) {
    std::string name;
    flags.At(i) = Flag(NameAt(names, i, &name) && ReadPath(object, name, &values.At(i)));
  }
  *propertyValues = Variant::Array(std::move(values));
  return Variant::Array(std::move(flags));
}

Variant SetObjectProperties(CCalcCmdBase& cmd, IDispatch* object, const Variant& propertyList,
                                          const Variant& propertyValues) {
  cmd.ResetLastError();
  const Variant& list = propertyList.Deref();
  const Variant& given = propertyValues.Deref();
  const bool single = list.vt() == VT_BSTR;
  if (!object || (!single && !(IsNameArray(list) && given.IsArray()))) {
    cmd.SetCommandError(CMDERR_INVALID_ARGUMENTS);
    return Variant::Bool(false);
  }
  long refusal = 0;
  Variant result;
  if (single) {
    result = Variant::Bool(WritePath(object, list.bstr().ToUtf8(), given, &refusal));
  } else {
    const com::SafeArray& names = list.array();
    const com::SafeArray& values = given.array();
    com::SafeArray flags(VT_VARIANT, 0, names.Count());
    for (size_t i = 0; i < names.Count(); ++i) {
      std::string name;
      flags.At(i) = Flag(i < values.Count() && NameAt(names, i, &name) &&
                         WritePath(object, name, values.At(i).Deref(), &refusal));
    }
    result = Variant::Array(std::move(flags));
  }
  if (refusal) cmd.SetCommandError(refusal);
  return result;
}

}  // namespace kv::store
