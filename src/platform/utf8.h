#pragma once
// The one UTF-8 encoder of the system, and the UTF-8 <-> UTF-16 conversions built on it.
// Malformed input never fails: each bad sequence, lone surrogate or value past U+10FFFF
// becomes U+FFFD, so what comes out is always well-formed.
#include <string>
#include <string_view>

namespace kv::platform {

// Appends the UTF-8 bytes of the code point `cp`.
void AppendUtf8(std::string* out, char32_t cp);

// The code point of a surrogate pair (`high` in D800..DBFF, `low` in DC00..DFFF).
constexpr char32_t CombineSurrogates(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
constexpr bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

}  // namespace kv::platform
