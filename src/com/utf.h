#pragma once
// UTF-8 (the narrow code page of this system) <-> UTF-16 (the wide strings of the interfaces).
// Malformed input never fails: each bad sequence becomes U+FFFD.
#include <string>
#include <string_view>

namespace kv::com {

std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

}  // namespace kv::com
