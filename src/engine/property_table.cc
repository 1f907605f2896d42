#include "engine/property_table.h"

#include <algorithm>

#include "engine/server_context.h"

namespace kv::engine {
namespace {

Variant ToVariant(const std::string& s, com::VARTYPE) { return Variant::Str(s); }
Variant ToVariant(int32_t v, com::VARTYPE) { return Variant::I4(v); }
Variant ToVariant(double v, com::VARTYPE vt) { return Variant::OfReal(vt, v); }

void FromVariant(const Variant& v, std::string* out) { *out = v.bstr().ToUtf8(); }
void FromVariant(const Variant& v, int32_t* out) { *out = v.i4(); }
void FromVariant(const Variant& v, double* out) { *out = v.AsReal(); }

}  // namespace

bool PropertyObject::CallerMayChange() const {
  const components::SharedObject kind = guard_;
  if (kind == components::SharedObject::None) return true;
  // Without server objects there is no gate to ask (a component used on its own).
  components::IServerObjects* objects = ServerObjects();
  return !objects || objects->CallerMayChange(kind);
}

template <class T>
void PropertyTable::Field(std::string name, T* field, com::VARTYPE vt, bool writable) {
  std::mutex* mu = mu_;
  std::atomic<uint32_t>* edits = edits_;
  com::DispatchMember m{std::move(name), NextId(), nullptr, nullptr};
  m.get = [mu, field, vt](std::vector<Variant>&, Variant* result) {
    std::lock_guard lock(*mu);
    *result = ToVariant(*field, vt);
    return com::S_OK;
  };
  if (writable) {
    m.put = [mu, edits, field, vt](std::vector<Variant>& args) {
      Variant converted;
      HRESULT hr = com::ChangeType(args.back(), vt, &converted);
      if (FAILED(hr)) return hr;
      std::lock_guard lock(*mu);
      if (edits) edits->fetch_add(1, std::memory_order_relaxed);
      FromVariant(converted, field);
      return com::S_OK;
    };
  }
  table_.Add(std::move(m));
}

void PropertyTable::Text(const char* name, std::string& field, unsigned flags) {
  Field(name, &field, com::VT_BSTR, !(flags & kFieldReadOnly));
}
void PropertyTable::Long(const char* name, int32_t& field, unsigned flags) {
  Field(name, &field, com::VT_I4, !(flags & kFieldReadOnly));
}
void PropertyTable::Date(const char* name, double& field, unsigned flags) {
  Field(name, &field, com::VT_DATE, !(flags & kFieldReadOnly));
}

void PropertyTable::Double(const char* name, double& field, unsigned flags) {
  Field(name, &field, com::VT_R8, !(flags & kFieldReadOnly));
}

void PropertyTable::Computed(std::string name, Getter get, DISPID id) {
  table_.Add({std::move(name), id < 0 ? NextId() : id, std::move(get), nullptr});
}

void PropertyTable::Custom(std::string name, std::function<Variant()> get, com::VARTYPE putType,
                           std::function<HRESULT(const Variant&)> put) {
  com::DispatchMember m{std::move(name), NextId(), nullptr, nullptr};
  m.get = [get = std::move(get)](std::vector<Variant>&, Variant* result) {
    *result = get();
    return com::S_OK;
  };
  m.put = [putType, put = std::move(put)](std::vector<Variant>& args) {
    Variant converted;
    HRESULT hr = com::ChangeType(args.back(), putType, &converted);
    return FAILED(hr) ? hr : put(converted);
  };
  table_.Add(std::move(m));
}

void PropertyTable::Method(std::string name, Getter call, Effect effect) {
  com::DispatchMember m{std::move(name), NextId(), std::move(call), nullptr};
  m.isMethod = true;
  if (effect == kChanges) changing_.push_back(m.id);
  table_.Add(std::move(m));
}

bool PropertyTable::Changes(DISPID id, uint16_t flags) const {
  if (flags & (com::DISPATCH_PROPERTYPUT | com::DISPATCH_PROPERTYPUTREF)) return true;
  return std::find(changing_.begin(), changing_.end(), id) != changing_.end();
}

void GuardShared(com::IUnknown* object, components::SharedObject kind) {
  if (auto shared = com::QueryInterface<components::ISharedObject>(object)) shared->GuardChanges(kind);
}

HRESULT ItemIndex(const std::vector<Variant>& args, long* index) {
  if (args.empty()) return com::DISP_E_PARAMNOTOPTIONAL;
  Variant v;
  HRESULT hr = com::ChangeType(args.front(), com::VT_I4, &v);
  if (FAILED(hr)) return hr;
  *index = v.i4();
  return com::S_OK;
}

HRESULT StringArg(const std::vector<Variant>& args, size_t index, com::Bstr* out) {
  if (args.size() <= index) return com::DISP_E_PARAMNOTOPTIONAL;
  Variant v;
  HRESULT hr = com::ChangeType(args[index].Deref(), com::VT_BSTR, &v);
  if (FAILED(hr)) return hr;
  *out = v.bstr();
  return com::S_OK;
}

}  // namespace kv::engine
