#include "com/guid.h"

#include <cstdio>
#include <cstdlib>

namespace kv::com {
namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadHex(std::string_view s, size_t pos, size_t digits, uint64_t* out) {
  uint64_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    int d = HexDigit(s[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}
}  // namespace

bool GUID::Parse(std::string_view text, GUID* out) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return false;
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  GUID g;
  uint64_t v;
  if (!ReadHex(text, 0, 8, &v)) return false;
  g.data1 = static_cast<uint32_t>(v);
  if (!ReadHex(text, 9, 4, &v)) return false;
  g.data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 14, 4, &v)) return false;
  g.data3 = static_cast<uint16_t>(v);
  static constexpr size_t kBytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, &v)) return false;
    g.data4[i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

GUID GUID::FromString(std::string_view text) {
  GUID g;
  if (!Parse(text, &g)) std::abort();
  return g;
}

std::string GUID::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3, data4[0],
                data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return buf;
}

size_t GuidHash::operator()(const GUID& g) const noexcept {
  uint64_t lo = 0;
  for (int i = 0; i < 8; ++i) lo = (lo << 8) | g.data4[i];
  uint64_t hi = (uint64_t{g.data1} << 32) | (uint64_t{g.data2} << 16) | g.data3;
  return std::hash<uint64_t>{}(hi ^ (lo * 0x9E3779B97F4A7C15ull));
}

}  // namespace kv::com
