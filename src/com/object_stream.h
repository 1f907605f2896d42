#pragma once
// Object strings: a VARIANT serialised in the variant stream layout and carried as the bytes of a
// BSTR (two bytes per UTF-16 unit, low byte first).
//
//   VARTYPE            2 bytes, little-endian
//   VT_DISPATCH/UNKNOWN  the class identifier, 16 bytes in GUID memory order (Data1, Data2, Data3
//                        little-endian, then Data4), then the object's own data; CLSID_NULL for a
//                        null object, nothing at all when the object has no stream persistence
//   VT_BSTR            a 4-byte byte count including the terminating unit (0: null), the units
//   other scalars      their value, little-endian, in their natural size
//
// The object data of this system is the object's XML form as UTF-16 units: it never holds a zero
// unit, so it ends at the first zero unit (the start of the unused space a stream block may carry)
// or at the end of the string. Every unit of such a string is a valid UTF-16 unit, so the string
// survives the UTF-8 conversion of the wire. Readers accept any byte length, odd ones included.
#include <cstdint>
#include <string>
#include <string_view>

#include "com/bstr.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/variant.h"

namespace kv::com {

// What a reader found: the VARTYPE and, for an object, its class and its data (the UTF-16 units,
// possibly empty; without a class when it was CLSID_NULL or the string stops after the VARTYPE).
struct ObjectStreamContent {
  VARTYPE vt = VT_EMPTY;
  bool hasClass = false;
  CLSID clsid;
  std::u16string objectData;
};

// The layout of an object: VT_DISPATCH, then the class and the data when `clsid` is given,
// nothing more when it is null (an object without stream persistence).
std::string WriteObjectStream(const CLSID* clsid, std::u16string_view objectData);

// Reads `bytes`. S_OK and *out for a well-formed value of a type this layout carries;
// DISP_E_BADVARTYPE for a type it does not; E_FAIL when the bytes end inside a value.
HRESULT ReadObjectStream(std::string_view bytes, ObjectStreamContent* out);

// A BSTR's bytes, and a BSTR holding `bytes` (an odd last byte padded with a zero byte).
std::string BytesOfBstr(const Bstr& s);
Bstr BstrOfBytes(std::string_view bytes);

}  // namespace kv::com
