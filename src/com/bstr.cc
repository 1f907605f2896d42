#include "com/bstr.h"

#include "com/utf.h"

namespace kv::com {

Bstr Bstr::FromUtf8(std::string_view s) { return Bstr(Utf8ToUtf16(s)); }

std::string Bstr::ToUtf8() const { return Utf16ToUtf8(s_); }

}  // namespace kv::com
