#pragma once
// Late binding: IDispatch with GetIDsOfNames and Invoke, plus a table-driven implementation
// for objects with named properties and methods.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "com/hresult.h"
#include "com/unknown.h"
#include "com/variant.h"

namespace kv::com {

using DISPID = int32_t;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

enum : uint16_t {
  DISPATCH_METHOD = 1,
  DISPATCH_PROPERTYGET = 2,
  DISPATCH_PROPERTYPUT = 4,
  DISPATCH_PROPERTYPUTREF = 8,
};

class IDispatch : public virtual IUnknown {
 public:
  // The DISPID of a member name (compared without regard to case); DISP_E_UNKNOWNNAME otherwise.
  virtual HRESULT GetIDsOfNames(std::string_view name, DISPID* id) = 0;
  // Calls member `id`. `args` are in declaration order (first parameter first; unlike the
  // reversed order of the native call). A member writes its out and in/out parameters back
  // into `args` in place. For a property put the new value is the last element of `args`.
  // `result` may be null when the caller does not want it.
  virtual HRESULT Invoke(DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) = 0;
};

// One member of a DispatchTable.
struct DispatchMember {
  std::string name;
  DISPID id;
  // Property get, or method call when `isMethod`.
  std::function<HRESULT(std::vector<Variant>& args, Variant* result)> get;
  // Property put (the new value is args.back()); empty for read-only members.
  std::function<HRESULT(std::vector<Variant>& args)> put;
  bool isMethod = false;
};

// Dispatches by a list of members: GetIDsOfNames by name, Invoke by id. A method answers
// DISPATCH_METHOD and DISPATCH_METHOD|DISPATCH_PROPERTYGET; a property answers
// DISPATCH_PROPERTYGET (also combined with DISPATCH_METHOD) and DISPATCH_PROPERTYPUT.
class DispatchTable {
 public:
  void Add(DispatchMember m);
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) const;
  HRESULT Invoke(DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) const;
  const DispatchMember* Find(DISPID id) const;
  const std::vector<DispatchMember>& Members() const { return members_; }

 private:
  std::vector<DispatchMember> members_;
};

// Caller-side helpers (CComDispatchDriver's job): look the name up, then invoke.
HRESULT GetProperty(IDispatch* obj, std::string_view name, Variant* out);
HRESULT PutProperty(IDispatch* obj, std::string_view name, const Variant& value);
HRESULT CallMethod(IDispatch* obj, std::string_view name, std::vector<Variant>& args, Variant* result);

// Case-insensitive (ASCII) comparison of member names.
bool NamesEqual(std::string_view a, std::string_view b);

}  // namespace kv::com
