#pragma once
// Named properties over fields that one mutex guards, and IDispatch answered from them.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "com/dispatch.h"
#include "components/server_objects.h"
#include "engine/field_flags.h"

namespace kv::engine {

using com::DISPID;
using com::FAILED;
using com::HRESULT;
using com::SUCCEEDED;
using com::Variant;

// Builds a DispatchTable; ids are given in the order members are added, from 1. A get copies
// the field under the lock. A put first converts the new value with ChangeType to the field's
// type; a value that does not convert fails with ChangeType's result and leaves the field as
// it was. Names compare without regard to case. Each put that changes a field counts one edit
// in `edits` when there is one.
class PropertyTable {
 public:
  using Getter = std::function<HRESULT(std::vector<Variant>& args, Variant* result)>;

  explicit PropertyTable(std::mutex* mu, std::atomic<uint32_t>* edits = nullptr) : mu_(mu), edits_(edits) {}

  // The field lives as long as the table; kFieldReadOnly leaves the property without a put.
  void Text(const char* name, std::string& field, unsigned flags = kFieldDefault);
  void Long(const char* name, int32_t& field, unsigned flags = kFieldDefault);
  void Date(const char* name, double& field, unsigned flags = kFieldDefault);
  // A VT_R8 property.
  void Double(const char* name, double& field, unsigned flags = kFieldDefault);
  // A read-only member computed by `get`, called without the lock. `id` 0 makes it the default
  // member (DISPID_VALUE).
  void Computed(std::string name, Getter get, DISPID id = -1);
  // A property read by `get` and written by `put` with the value converted to `putType`; both
  // are called without the lock.
  void Custom(std::string name, std::function<Variant()> get, com::VARTYPE putType,
              std::function<HRESULT(const Variant&)> put);
  // A method (answers DISPATCH_METHOD, not a plain property get), called without the lock.
  // kChanges marks one that changes the object (or what it holds), so a guarded object asks the
  // caller's right before running it, as it does for a put.
  enum Effect : bool { kReads = false, kChanges = true };
  void Method(std::string name, Getter call, Effect effect = kReads);

  const com::DispatchTable& Table() const { return table_; }
  // Whether invoking member `id` with `flags` changes the object: any put, or a call of a method
  // marked kChanges.
  bool Changes(DISPID id, uint16_t flags) const;

 private:
  template <class T>
  void Field(std::string name, T* field, com::VARTYPE vt, bool writable);
  DISPID NextId() { return next_++; }

  std::mutex* mu_;
  std::atomic<uint32_t>* edits_;
  com::DispatchTable table_;
  std::vector<DISPID> changing_;
  DISPID next_ = 1;
};

// An IDispatch answered from a PropertyTable; the derived object adds its members in its
// constructor and guards the fields they reach with mu_.
class PropertyObject : public virtual com::IDispatch, public virtual components::ISharedObject {
 public:
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override { return Props().Table().GetIDsOfNames(name, id); }
  HRESULT Invoke(DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result) override {
    const PropertyTable& props = Props();
    if (props.Changes(id, flags) && !CallerMayChange()) return com::E_ACCESSDENIED;
    return props.Table().Invoke(id, flags, args, result);
  }
  // Changes through IDispatch then need the calling client to be allowed to change an object of
  // `kind`: set on objects shared by every client, so that one without the right cannot change
  // what the others see. Calls through the typed interfaces are the server's own and never ask.
  // An object holding others overrides this to mark them too.
  void GuardChanges(components::SharedObject kind) override { guard_ = kind; }
  components::SharedObject Guard() const override { return guard_; }
  // Changes made so far through the property table, WriteField and Edit: a reader that keeps a
  // copy of the fields keeps it while this stays the same.
  uint32_t Edits() const { return edits_.load(std::memory_order_acquire); }

 protected:
  // Adds the members on the first IDispatch call instead of in the constructor: for objects made
  // by the hundred and mostly used through their typed interfaces (a calculation's parameters,
  // loaded with it from its file), the table would otherwise be most of the cost of loading.
  virtual void DescribeMembers(PropertyTable& props) {}

  // Runs `f` under mu_ and returns its result.
  template <class F>
  auto Locked(F&& f) const {
    std::lock_guard lock(mu_);
    return f();
  }
  // Locked for a change of the fields: counts one edit.
  template <class F>
  auto Edit(F&& f) {
    std::lock_guard lock(mu_);
    edits_.fetch_add(1, std::memory_order_relaxed);
    return f();
  }

  // Interface getters and setters over the field `m` of `s`, a struct guarded by mu_;
  // std::string fields travel as BSTRs, numbers are cast. E_POINTER for a null `out`.
  template <class S, class T, class Out>
  HRESULT ReadField(const S& s, T S::*m, Out* out) const {
    if (!out) return com::E_POINTER;
    std::lock_guard lock(mu_);
    FieldOut(s.*m, out);
    return com::S_OK;
  }
  template <class S, class T, class In>
  HRESULT WriteField(S& s, T S::*m, const In& value) {
    std::lock_guard lock(mu_);
    edits_.fetch_add(1, std::memory_order_relaxed);
    FieldIn(value, &(s.*m));
    return com::S_OK;
  }

  mutable std::mutex mu_;
  std::atomic<uint32_t> edits_{0};
  PropertyTable props_{&mu_, &edits_};

 private:
  const PropertyTable& Props() {
    std::call_once(described_, [this] { DescribeMembers(props_); });
    return props_;
  }
  bool CallerMayChange() const;
  std::once_flag described_;
  std::atomic<components::SharedObject> guard_{components::SharedObject::None};

 private:
  static void FieldOut(const std::string& v, com::Bstr* out) { *out = com::Bstr::FromUtf8(v); }
  template <class T, class Out>
  static void FieldOut(const T& v, Out* out) {
    *out = static_cast<Out>(v);
  }
  static void FieldIn(const com::Bstr& v, std::string* field) { *field = v.ToUtf8(); }
  template <class In, class T>
  static void FieldIn(const In& v, T* field) {
    *field = static_cast<T>(v);
  }
};

// Marks `object` (any engine object; others are left alone) as GuardChanges does.
void GuardShared(com::IUnknown* object, components::SharedObject kind);

// Stores `value` in an out-parameter; E_POINTER when there is none.
template <class T, class V>
HRESULT SetOut(T* out, V&& value) {
  if (!out) return com::E_POINTER;
  *out = std::forward<V>(value);
  return com::S_OK;
}

// The 1-based index argument of an Item call: DISP_E_PARAMNOTOPTIONAL when missing, the
// conversion's failure when it is not a number.
HRESULT ItemIndex(const std::vector<Variant>& args, long* index);

// The string argument at `index`: DISP_E_PARAMNOTOPTIONAL when missing, the conversion's failure
// when it is not convertible to a string.
HRESULT StringArg(const std::vector<Variant>& args, size_t index, com::Bstr* out);

}  // namespace kv::engine
