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

using CLSID = GUID;
using IID = GUID;

struct GuidHash {
  size_t operator()(const GUID& g) const noexcept;
};

}  // namespace kv::com
