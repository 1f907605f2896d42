#include "com/variant.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "com/dispatch.h"

namespace kv::com {

bool IsScalarType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_I1: case VT_UI1:
    case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

namespace {
bool IsRealType(VARTYPE vt) { return vt == VT_R4 || vt == VT_R8 || vt == VT_DATE || vt == VT_CY; }

bool IntRange(VARTYPE vt, int64_t* lo, int64_t* hi) {
  switch (vt) {
    case VT_I1: *lo = INT8_MIN; *hi = INT8_MAX; return true;
    case VT_UI1: *lo = 0; *hi = UINT8_MAX; return true;
    case VT_I2: case VT_BOOL: *lo = INT16_MIN; *hi = INT16_MAX; return true;
    case VT_UI2: *lo = 0; *hi = UINT16_MAX; return true;
    case VT_I4: case VT_INT: case VT_ERROR: *lo = INT32_MIN; *hi = INT32_MAX; return true;
    case VT_UI4: case VT_UINT: *lo = 0; *hi = UINT32_MAX; return true;
    case VT_I8: case VT_UI8: *lo = INT64_MIN; *hi = INT64_MAX; return true;
    default: return false;
  }
}
}  // namespace

Variant::Variant(const Variant& o)
    : vt_(o.vt_), i_(o.i_), d_(o.d_), s_(o.s_), obj_(o.obj_),
      arr_(o.arr_ ? std::make_unique<SafeArray>(*o.arr_) : nullptr), ref_(o.ref_) {}

Variant::Variant(Variant&& o) noexcept
    : vt_(o.vt_), i_(o.i_), d_(o.d_), s_(std::move(o.s_)), obj_(std::move(o.obj_)), arr_(std::move(o.arr_)),
      ref_(o.ref_) {
  o.vt_ = VT_EMPTY;
  o.ref_ = nullptr;
}

Variant& Variant::operator=(const Variant& o) {
  if (this != &o) *this = Variant(o);
  return *this;
}

Variant& Variant::operator=(Variant&& o) noexcept {
  if (this != &o) {
    vt_ = o.vt_;
    i_ = o.i_;
    d_ = o.d_;
    s_ = std::move(o.s_);
    obj_ = std::move(o.obj_);
    arr_ = std::move(o.arr_);
    ref_ = o.ref_;
    o.vt_ = VT_EMPTY;
    o.ref_ = nullptr;
  }
  return *this;
}

Variant::~Variant() = default;

void Variant::Clear() { *this = Variant(); }

Variant Variant::Null() {
  Variant v;
  v.vt_ = VT_NULL;
  return v;
}
Variant Variant::I2(int16_t x) { return OfInt(VT_I2, x); }
Variant Variant::I4(int32_t x) { return OfInt(VT_I4, x); }
Variant Variant::R8(double x) { return OfReal(VT_R8, x); }
Variant Variant::Date(double x) { return OfReal(VT_DATE, x); }
Variant Variant::Bool(bool x) { return OfInt(VT_BOOL, x ? VARIANT_TRUE : VARIANT_FALSE); }
Variant Variant::Error(int32_t scode) { return OfInt(VT_ERROR, scode); }

Variant Variant::Str(Bstr x) {
  Variant v;
  v.vt_ = VT_BSTR;
  v.s_ = std::move(x);
  return v;
}
Variant Variant::Str(std::string_view utf8) { return Str(Bstr::FromUtf8(utf8)); }

Variant Variant::Dispatch(ComPtr<IDispatch> x) {
  Variant v;
  v.vt_ = VT_DISPATCH;
  v.obj_ = ComPtr<IUnknown>(x.Get());
  return v;
}

Variant Variant::Unknown(ComPtr<IUnknown> x) {
  Variant v;
  v.vt_ = VT_UNKNOWN;
  v.obj_ = std::move(x);
  return v;
}

Variant Variant::Array(SafeArray a) {
  Variant v;
  v.vt_ = static_cast<VARTYPE>(VT_ARRAY | a.ElementType());
  v.arr_ = std::make_unique<SafeArray>(std::move(a));
  return v;
}

Variant Variant::OfInt(VARTYPE vt, int64_t x) {
  Variant v;
  v.vt_ = vt;
  if (IsRealType(vt))
    v.d_ = static_cast<double>(x);
  else
    v.i_ = x;
  return v;
}

Variant Variant::OfReal(VARTYPE vt, double x) {
  Variant v;
  v.vt_ = vt;
  if (IsRealType(vt))
    v.d_ = x;
  else
    v.i_ = static_cast<int64_t>(x);
  return v;
}

Variant Variant::ByRef(Variant* target) {
  Variant v;
  v.vt_ = VT_BYREF | VT_VARIANT;
  v.ref_ = target;
  return v;
}

ComPtr<IDispatch> Variant::dispatch() const { return QueryInterface<IDispatch>(obj_); }

bool operator==(const Variant& a, const Variant& b) {
  if (a.vt_ != b.vt_) return false;
  if (a.IsByRef()) return a.ref_ == b.ref_;
  if (a.IsArray()) return *a.arr_ == *b.arr_;
  switch (a.vt_) {
    case VT_EMPTY: case VT_NULL: return true;
    case VT_BSTR: return a.s_ == b.s_;
    case VT_DISPATCH: case VT_UNKNOWN: return a.obj_ == b.obj_;
    default: return IsRealType(a.vt_) ? (a.d_ == b.d_ || (std::isnan(a.d_) && std::isnan(b.d_))) : a.i_ == b.i_;
  }
}

SafeArray::SafeArray(VARTYPE elementType, int32_t lowerBound, size_t count)
    : elemVt_(elementType), lbound_(lowerBound), items_(count) {
  if (elemVt_ != VT_VARIANT)
    for (auto& v : items_) ChangeType(Variant(), elemVt_, &v);
}

HRESULT SafeArray::Get(int32_t index, Variant* out) const {
  int64_t off = int64_t{index} - lbound_;
  if (off < 0 || off >= static_cast<int64_t>(items_.size())) return DISP_E_BADINDEX;
  *out = items_[static_cast<size_t>(off)];
  return S_OK;
}

HRESULT SafeArray::Put(int32_t index, const Variant& v) {
  int64_t off = int64_t{index} - lbound_;
  if (off < 0 || off >= static_cast<int64_t>(items_.size())) return DISP_E_BADINDEX;
  if (elemVt_ != VT_VARIANT && v.vt() != elemVt_) return DISP_E_TYPEMISMATCH;
  items_[static_cast<size_t>(off)] = v;
  return S_OK;
}

namespace {
std::string FormatReal(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return buf;
}

HRESULT ParseNumber(const std::string& s, double* out) {
  const char* p = s.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  if (!*p) return DISP_E_TYPEMISMATCH;
  char* end = nullptr;
  errno = 0;
  double d = std::strtod(p, &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (!end || *end) return DISP_E_TYPEMISMATCH;
  if (errno == ERANGE && std::isinf(d)) return DISP_E_OVERFLOW;
  *out = d;
  return S_OK;
}

// The value of `in` as a double; false for types that are not numeric.
HRESULT NumericValue(const Variant& in, double* out) {
  switch (in.vt()) {
    case VT_EMPTY: *out = 0; return S_OK;
    case VT_BSTR: {
      std::string s = in.bstr().ToUtf8();
      if (NamesEqual(s, "True")) { *out = -1; return S_OK; }
      if (NamesEqual(s, "False")) { *out = 0; return S_OK; }
      return ParseNumber(s, out);
    }
    case VT_NULL: case VT_DISPATCH: case VT_UNKNOWN: return DISP_E_TYPEMISMATCH;
    default:
      if (!IsScalarType(in.vt())) return DISP_E_TYPEMISMATCH;
      *out = IsRealType(in.vt()) ? in.AsReal() : static_cast<double>(in.AsInt());
      return S_OK;
  }
}
}  // namespace

HRESULT ChangeType(const Variant& inRef, VARTYPE vt, Variant* out) {
  const Variant& in = inRef.Deref();
  if (in.vt() == vt || vt == VT_VARIANT) {
    *out = in;
    return S_OK;
  }
  if (in.IsArray() || (vt & (VT_ARRAY | VT_BYREF))) return DISP_E_TYPEMISMATCH;
  if (in.vt() == VT_NULL) return DISP_E_TYPEMISMATCH;
  switch (vt) {
    case VT_EMPTY: *out = Variant(); return S_OK;
    case VT_NULL: *out = Variant::Null(); return S_OK;
    case VT_BSTR: {
      switch (in.vt()) {
        case VT_EMPTY: *out = Variant::Str(Bstr(u"")); return S_OK;
        case VT_BOOL: *out = Variant::Str(in.boolVal() ? "True" : "False"); return S_OK;
        case VT_DISPATCH: case VT_UNKNOWN: return DISP_E_TYPEMISMATCH;
        default:
          if (!IsScalarType(in.vt())) return DISP_E_TYPEMISMATCH;
          *out = Variant::Str(IsRealType(in.vt()) ? FormatReal(in.AsReal()) : std::to_string(in.AsInt()));
          return S_OK;
      }
    }
    case VT_DISPATCH: case VT_UNKNOWN: {
      if (in.vt() != VT_DISPATCH && in.vt() != VT_UNKNOWN && in.vt() != VT_EMPTY) return DISP_E_TYPEMISMATCH;
      if (vt == VT_UNKNOWN) {
        *out = Variant::Unknown(in.unknown());
        return S_OK;
      }
      if (in.unknown() && !in.dispatch()) return E_NOINTERFACE;
      *out = Variant::Dispatch(in.dispatch());
      return S_OK;
    }
    default: break;
  }
  if (!IsScalarType(vt)) return DISP_E_BADVARTYPE;
  double d;
  HRESULT hr = NumericValue(in, &d);
  if (FAILED(hr)) return hr;
  if (vt == VT_BOOL) {
    *out = Variant::Bool(d != 0);
    return S_OK;
  }
  if (IsRealType(vt)) {
    if (vt == VT_R4 && std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
    *out = Variant::OfReal(vt, vt == VT_R4 ? static_cast<float>(d) : d);
    return S_OK;
  }
  int64_t lo, hi;
  if (!IntRange(vt, &lo, &hi)) return DISP_E_BADVARTYPE;
  double r = std::nearbyint(d);  // default rounding mode: half to even
  if (!std::isfinite(r) || r < static_cast<double>(lo) || r > static_cast<double>(hi)) return DISP_E_OVERFLOW;
  *out = Variant::OfInt(vt, static_cast<int64_t>(r));
  return S_OK;
}

Variant VariantArray(std::vector<Variant> items) {
  SafeArray a(VT_VARIANT, 0, items.size());
  for (size_t i = 0; i < items.size(); ++i) a.At(i) = std::move(items[i]);
  return Variant::Array(std::move(a));
}

Variant StringListVariant(const std::vector<std::string>& list) {
  if (list.empty()) return Variant();
  SafeArray a(VT_VARIANT, 0, list.size());
  for (size_t i = 0; i < list.size(); ++i) a.At(i) = Variant::Str(list[i]);
  return Variant::Array(std::move(a));
}

bool VariantToStringList(const Variant& vIn, std::vector<std::string>* out) {
  const Variant& v = vIn.Deref();
  if (v.vt() != (VT_ARRAY | VT_BSTR) && v.vt() != (VT_ARRAY | VT_VARIANT)) return false;
  out->clear();
  const SafeArray& a = v.array();
  out->reserve(a.Count());
  for (size_t i = 0; i < a.Count(); ++i) {
    Variant s;
    if (FAILED(ChangeType(a.At(i), VT_BSTR, &s))) return false;
    out->push_back(s.bstr().ToUtf8());
  }
  return true;
}

}  // namespace kv::com
