#include "com/object_stream.h"

namespace kv::com {
namespace {

void PutLe(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

class Reader {
 public:
  explicit Reader(std::string_view b) : b_(b) {}
  bool Take(size_t n, std::string_view* out) {
    if (b_.size() - pos_ < n) return false;
    *out = b_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  bool Le(int bytes, uint64_t* v) {
    std::string_view s;
    if (!Take(static_cast<size_t>(bytes), &s)) return false;
    *v = 0;
    for (int i = bytes - 1; i >= 0; --i) *v = (*v << 8) | static_cast<uint8_t>(s[static_cast<size_t>(i)]);
    return true;
  }
  std::string_view Rest() const { return b_.substr(pos_); }

 private:
  std::string_view b_;
  size_t pos_ = 0;
};

// The natural size of a fixed-size scalar; 0 for types without a value, -1 for the others.
int FixedSize(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return 0;
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      return 8;
    default:
      return -1;
  }
}

}  // namespace

std::string WriteObjectStream(const CLSID* clsid, std::u16string_view objectData) {
  std::string out;
  out.reserve(18 + objectData.size() * 2);
  PutLe(&out, VT_DISPATCH, 2);
  if (clsid == nullptr) return out;
  PutLe(&out, clsid->data1, 4);
  PutLe(&out, clsid->data2, 2);
  PutLe(&out, clsid->data3, 2);
  out.append(reinterpret_cast<const char*>(clsid->data4.data()), clsid->data4.size());
  for (char16_t u : objectData) PutLe(&out, u, 2);
  return out;
}

HRESULT ReadObjectStream(std::string_view bytes, ObjectStreamContent* out) {
  Reader r(bytes);
  uint64_t v = 0;
  if (!r.Le(2, &v)) return E_FAIL;
  *out = ObjectStreamContent{};
  out->vt = static_cast<VARTYPE>(v);
  if (out->vt == VT_DISPATCH || out->vt == VT_UNKNOWN) {
    // A string that stops after the VARTYPE came from an object without stream persistence.
    if (r.Rest().empty()) return S_OK;
    uint64_t d1 = 0, d2 = 0, d3 = 0;
    std::string_view d4;
    if (!r.Le(4, &d1) || !r.Le(2, &d2) || !r.Le(2, &d3) || !r.Take(8, &d4)) return E_FAIL;
    out->clsid.data1 = static_cast<uint32_t>(d1);
    out->clsid.data2 = static_cast<uint16_t>(d2);
    out->clsid.data3 = static_cast<uint16_t>(d3);
    for (size_t i = 0; i < 8; ++i) out->clsid.data4[i] = static_cast<uint8_t>(d4[i]);
    out->hasClass = !out->clsid.IsNull();
    if (!out->hasClass) return S_OK;
    std::string_view rest = r.Rest();
    for (size_t i = 0; i + 1 < rest.size(); i += 2) {
      const char16_t u = static_cast<char16_t>(static_cast<uint8_t>(rest[i]) | (static_cast<uint8_t>(rest[i + 1]) << 8));
      if (u == 0) break;
      out->objectData.push_back(u);
    }
    return S_OK;
  }
  if (out->vt == VT_BSTR) {
    uint64_t cb = 0;
    std::string_view s;
    return r.Le(4, &cb) && r.Take(cb, &s) ? S_OK : E_FAIL;
  }
  const int size = FixedSize(out->vt);
  if (size < 0) return DISP_E_BADVARTYPE;
  std::string_view s;
  return r.Take(static_cast<size_t>(size), &s) ? S_OK : E_FAIL;
}

std::string BytesOfBstr(const Bstr& s) {
  std::string out;
  out.reserve(s.ByteLength());
  for (char16_t u : s.Wide()) PutLe(&out, u, 2);
  return out;
}

Bstr BstrOfBytes(std::string_view bytes) {
  std::u16string units;
  units.reserve((bytes.size() + 1) / 2);
  for (size_t i = 0; i < bytes.size(); i += 2) {
    const uint8_t lo = static_cast<uint8_t>(bytes[i]);
    const uint8_t hi = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
    units.push_back(static_cast<char16_t>(lo | (hi << 8)));
  }
  return Bstr(std::move(units));
}

}  // namespace kv::com
