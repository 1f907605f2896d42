#include "com/dispatch.h"

#include <cctype>

namespace kv::com {

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

void DispatchTable::Add(DispatchMember m) { members_.push_back(std::move(m)); }

HRESULT DispatchTable::GetIDsOfNames(std::string_view name, DISPID* id) const {
  for (const auto& m : members_) {
    if (NamesEqual(m.name, name)) {
      *id = m.id;
      return S_OK;
    }
  }
  *id = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

const DispatchMember* DispatchTable::Find(DISPID id) const {
  for (const auto& m : members_)
    if (m.id == id) return &m;
  return nullptr;
}

HRESULT DispatchTable::Invoke(DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) const {
  const DispatchMember* m = Find(id);
  if (!m) return DISP_E_MEMBERNOTFOUND;
  Variant scratch;
  if (!result) result = &scratch;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    if (m->isMethod || !m->put) return DISP_E_MEMBERNOTFOUND;
    if (args.empty()) return DISP_E_PARAMNOTOPTIONAL;
    return m->put(args);
  }
  if (m->isMethod ? (flags & DISPATCH_METHOD) : (flags & DISPATCH_PROPERTYGET)) {
    result->Clear();
    return m->get(args, result);
  }
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT GetProperty(IDispatch* obj, std::string_view name, Variant* out) {
  if (!obj) return E_POINTER;
  DISPID id;
  HRESULT hr = obj->GetIDsOfNames(name, &id);
  if (FAILED(hr)) return hr;
  std::vector<Variant> none;
  return obj->Invoke(id, DISPATCH_PROPERTYGET, none, out);
}

HRESULT PutProperty(IDispatch* obj, std::string_view name, const Variant& value) {
  if (!obj) return E_POINTER;
  DISPID id;
  HRESULT hr = obj->GetIDsOfNames(name, &id);
  if (FAILED(hr)) return hr;
  std::vector<Variant> args{value};
  return obj->Invoke(id, DISPATCH_PROPERTYPUT, args, nullptr);
}

HRESULT CallMethod(IDispatch* obj, std::string_view name, std::vector<Variant>& args, Variant* result) {
  if (!obj) return E_POINTER;
  DISPID id;
  HRESULT hr = obj->GetIDsOfNames(name, &id);
  if (FAILED(hr)) return hr;
  return obj->Invoke(id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, result);
}

}  // namespace kv::com
