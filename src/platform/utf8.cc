#include "platform/utf8.h"

#include <cstdint>

namespace kv::platform {

namespace {

// Writes the UTF-8 bytes of `cp` at `p` (room for 4); returns the end.
inline char* EncodeUtf8(char* p, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

}  // namespace

void AppendUtf8(std::string* out, char32_t cp) {
  char buf[4];
  out->append(buf, EncodeUtf8(buf, cp) - buf);
}

std::u16string Utf8ToUtf16(std::string_view s) {
  // Never more units than bytes: the buffer is sized once and trimmed at the end, and runs of
  // ASCII (most of what passes through, XML above all) are widened in a tight loop.
  std::u16string out(s.size(), u'\0');
  char16_t* o = out.data();
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) {
      *o++ = static_cast<char16_t>(c);
      ++i;
      continue;
    }
    int len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (c >= 0xF5) len = 0;
    char32_t cp = len == 4 ? (c & 0x07) : len == 3 ? (c & 0x0F) : (c & 0x1F);
    bool ok = len > 0 && i + len <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      uint8_t cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (!ok) {
      *o++ = u'\uFFFD';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {  // 4 bytes in, 2 units out
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *o++ = static_cast<char16_t>(cp);
    }
    i += len;
  }
  out.resize(o - out.data());
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  // Sized exactly first (strings from here are often kept), then filled without appends.
  size_t bytes = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c < 0x80) bytes += 1;
    else if (c < 0x800) bytes += 2;
    else if (IsHighSurrogate(c) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) bytes += 4, ++i;
    else bytes += 3;  // a lone surrogate becomes U+FFFD, 3 bytes too
  }
  std::string out(bytes, '\0');
  char* o = out.data();
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      continue;
    }
    if (IsHighSurrogate(c) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) c = CombineSurrogates(c, s[++i]);
    o = EncodeUtf8(o, c);  // a lone surrogate comes out as U+FFFD
  }
  return out;
}

}  // namespace kv::platform
