#include "base/xml_escape.h"

namespace kv {

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20)
          out += "\xEF\xBF\xBD";
        else
          out += c;
    }
  }
  return out;
}

namespace {

// The length of the character at text[i] that XML cannot carry, 0 for any other.
size_t UncarriedAt(std::string_view text, size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x20) return c == '\t' || c == '\n' || c == '\r' ? 0 : 1;
  // U+FFFE and U+FFFF: EF BF BE, EF BF BF.
  if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
      (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE)
    return 3;
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool XmlCarries(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (UncarriedAt(text, i) != 0) return false;
  return true;
}

std::string XmlEscapeUncarried(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size();) {
    const size_t n = UncarriedAt(text, i);
    if (n == 0) {
      if (text[i] == '\\') out += '\\';
      out += text[i++];
      continue;
    }
    const unsigned code = n == 1 ? static_cast<unsigned char>(text[i]) : 0xFFFEu + (static_cast<unsigned char>(text[i + 2]) & 1u);
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
    i += n;
  }
  return out;
}

std::string XmlUnescapeUncarried(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    if (text[i + 1] == '\\') {
      out += '\\';
      ++i;
      continue;
    }
    unsigned code = 0;
    bool escape = text[i + 1] == 'u' && i + 5 < text.size();
    for (size_t k = i + 2; escape && k < i + 6; ++k) {
      const int h = HexValue(text[k]);
      escape = h >= 0;
      code = code * 16 + static_cast<unsigned>(h);
    }
    if (escape && code < 0x20) {
      out += static_cast<char>(code);
    } else if (escape && (code == 0xFFFE || code == 0xFFFF)) {
      out += "\xEF\xBF";
      out += static_cast<char>(code == 0xFFFE ? 0xBE : 0xBF);
    } else {
      out += text[i];  // no escape this form writes: the backslash stands for itself
      continue;
    }
    i += 5;
  }
  return out;
}

}  // namespace kv
