#pragma once
// Class and interface identifiers.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kv::com {

struct GUID {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  // Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces, either case.
  static bool Parse(std::string_view text, GUID* out);
  // Parses a literal known to be well formed (aborts otherwise; for constants).
  static GUID FromString(std::string_view text);
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the registry writes them.
  std::string ToString() const;
  bool IsNull() const { return *this == GUID{}; }

  friend bool operator==(const GUID&, const GUID&) = default;
};

namespace detail {
constexpr int HexValue(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
constexpr uint64_t HexField(const char* s, int digits) {
  uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexValue(s[i]);
    if (d < 0) throw "bad hex digit in GUID literal";
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  return v;
}
}  // namespace detail

// A GUID constant from "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (no braces), checked at compile time.
consteval GUID MakeGuid(const char (&s)[37]) {
  if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') throw "malformed GUID literal";
  GUID g;
  g.data1 = static_cast<uint32_t>(detail::HexField(s, 8));
  g.data2 = static_cast<uint16_t>(detail::HexField(s + 9, 4));
  g.data3 = static_cast<uint16_t>(detail::HexField(s + 14, 4));
  constexpr int kPos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(detail::HexField(s + kPos[i], 2));
  return g;
}

using CLSID = GUID;
using IID = GUID;

struct GuidHash {
  size_t operator()(const GUID& g) const noexcept;
};

}  // namespace kv::com
