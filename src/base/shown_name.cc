#include "base/shown_name.h"

#include <algorithm>
#include <iterator>

namespace kv::base {
namespace {

// The next code point of well-formed UTF-8 at `*pos`, advancing it; -1 for a malformed,
// overlong or surrogate sequence.
long NextCodePoint(std::string_view s, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(*pos);
  int length;
  long cp;
  if (b0 < 0x80) {
    ++*pos;
    return b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07;
  } else {
    return -1;
  }
  if (*pos + length > s.size()) return -1;
  for (int i = 1; i < length; ++i) {
    const unsigned char b = byte(*pos + i);
    if ((b & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *pos += length;
  return cp;
}

// White space of any script, controls, and the characters that change how text around them
// is shown without showing themselves.
bool IsRefusedCodePoint(long cp) {
  if (cp < 0x20 || cp == ' ' || (cp >= 0x7F && cp <= 0xA0)) return true;  // C0, space, DEL, C1, no-break space
  static constexpr long kRanges[][2] = {
      {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C},   {0x0600, 0x0605},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},   {0x2028, 0x202F},
      {0x205F, 0x206F},   {0x3000, 0x3000},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
      {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
  };
  return std::any_of(std::begin(kRanges), std::end(kRanges),
                     [cp](const long(&r)[2]) { return cp >= r[0] && cp <= r[1]; });
}

}  // namespace

bool IsShownName(std::string_view name, size_t maxBytes) {
  if (name.empty() || name.size() > maxBytes) return false;
  for (size_t pos = 0; pos < name.size();) {
    const long cp = NextCodePoint(name, &pos);
    if (cp < 0 || IsRefusedCodePoint(cp)) return false;
  }
  return true;
}

}  // namespace kv::base
