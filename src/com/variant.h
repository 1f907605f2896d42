#pragma once
// VARIANT and one-dimensional SAFEARRAY. A Variant owns what it holds: copying it copies a
// string, adds a reference to an object and copies an array element by element (as VariantCopy
// does). A VT_BYREF Variant holds a pointer to storage owned by someone else.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "com/bstr.h"
#include "com/hresult.h"
#include "com/unknown.h"

namespace kv::com {

class IDispatch;
class SafeArray;

using VARTYPE = uint16_t;
enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

using VARIANT_BOOL = int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// True for the scalar element types this layer carries (everything above except VT_VARIANT,
// VT_ARRAY and VT_BYREF themselves).
bool IsScalarType(VARTYPE vt);

class Variant {
 public:
  Variant() = default;  // VT_EMPTY
  Variant(const Variant& o);
  Variant(Variant&& o) noexcept;
  Variant& operator=(const Variant& o);
  Variant& operator=(Variant&& o) noexcept;
  ~Variant();

  static Variant Null();
  static Variant I2(int16_t v);
  static Variant I4(int32_t v);
  static Variant R8(double v);
  static Variant Date(double v);
  static Variant Bool(bool v);
  static Variant Error(int32_t scode);
  static Variant Str(Bstr v);
  static Variant Str(std::string_view utf8);
  static Variant Dispatch(ComPtr<IDispatch> v);
  static Variant Unknown(ComPtr<IUnknown> v);
  // VT_ARRAY | the array's element type.
  static Variant Array(SafeArray a);
  // Any scalar type given by number (VT_R4, VT_UI1, VT_I8 ...), integer or floating value.
  static Variant OfInt(VARTYPE vt, int64_t v);
  static Variant OfReal(VARTYPE vt, double v);
  // VT_BYREF | VT_VARIANT, pointing at `target` (not owned).
  static Variant ByRef(Variant* target);

  VARTYPE vt() const { return vt_; }
  bool IsEmpty() const { return vt_ == VT_EMPTY; }
  bool IsArray() const { return (vt_ & VT_ARRAY) != 0; }
  bool IsByRef() const { return (vt_ & VT_BYREF) != 0; }

  // Raw accessors; the caller has checked vt(). Integers of every width come from AsInt.
  int64_t AsInt() const { return i_; }
  double AsReal() const { return d_; }
  int16_t i2() const { return static_cast<int16_t>(i_); }
  int32_t i4() const { return static_cast<int32_t>(i_); }
  double r8() const { return d_; }
  double date() const { return d_; }
  VARIANT_BOOL boolVal() const { return static_cast<VARIANT_BOOL>(i_); }
  const Bstr& bstr() const { return s_; }
  // VT_DISPATCH / VT_UNKNOWN: the object (may be null); dispatch() queries IDispatch.
  ComPtr<IUnknown> unknown() const { return obj_; }
  ComPtr<IDispatch> dispatch() const;
  const SafeArray& array() const { return *arr_; }
  SafeArray& array() { return *arr_; }
  // VT_BYREF | VT_VARIANT target.
  Variant* ref() const { return ref_; }
  // The value itself: a by-reference Variant's target, else this.
  const Variant& Deref() const { return IsByRef() && ref_ ? *ref_ : *this; }

  void Clear();

  // Exact equality of type and value (arrays element by element; objects by identity).
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  VARTYPE vt_ = VT_EMPTY;
  int64_t i_ = 0;
  double d_ = 0;
  Bstr s_;
  ComPtr<IUnknown> obj_;
  std::unique_ptr<SafeArray> arr_;
  Variant* ref_ = nullptr;
};

// A one-dimensional array with a lower bound. Elements are kept as Variants of the element
// type (for VT_VARIANT elements, any type).
class SafeArray {
 public:
  SafeArray(VARTYPE elementType, int32_t lowerBound, size_t count);

  VARTYPE ElementType() const { return elemVt_; }
  int32_t LowerBound() const { return lbound_; }
  int32_t UpperBound() const { return lbound_ + static_cast<int32_t>(items_.size()) - 1; }
  size_t Count() const { return items_.size(); }

  // DISP_E_BADINDEX outside the bounds; DISP_E_TYPEMISMATCH when a typed array is given a
  // value of another type.
  HRESULT Get(int32_t index, Variant* out) const;
  HRESULT Put(int32_t index, const Variant& v);
  const Variant& At(size_t offset) const { return items_[offset]; }
  Variant& At(size_t offset) { return items_[offset]; }

  friend bool operator==(const SafeArray&, const SafeArray&) = default;

 private:
  VARTYPE elemVt_;
  int32_t lbound_;
  std::vector<Variant> items_;
};

// VariantChangeType for the scalar types: numbers, dates, booleans and strings convert among
// each other (strings parse in the C locale; doubles round half to even when narrowed);
// VT_EMPTY gives 0, "" or false; VT_NULL converts to nothing but itself; objects convert to
// VT_DISPATCH / VT_UNKNOWN when they answer it. DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW on
// failure. `out` may be `&in`'s copy holder but not `in` itself.
HRESULT ChangeType(const Variant& in, VARTYPE vt, Variant* out);

// Values as VT_ARRAY|VT_VARIANT with lower bound 0 (an empty list gives an empty array).
Variant VariantArray(std::vector<Variant> items);

// A list of UTF-8 strings as VT_ARRAY|VT_VARIANT (lower bound 0, VT_BSTR elements); an empty
// list gives VT_EMPTY.
Variant StringListVariant(const std::vector<std::string>& list);

// The strings of a VT_ARRAY of VT_BSTR or of VT_VARIANT holding VT_BSTR elements (others are
// converted with ChangeType). False when `v` is not such an array.
bool VariantToStringList(const Variant& v, std::vector<std::string>* out);

}  // namespace kv::com
