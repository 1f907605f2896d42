#include "platform/registry_text.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

#include "platform/utf8.h"

namespace kv::platform {
namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "\x" + 1..4 hex digits at s[pos]; returns the unit and advances pos, or -1.
long ReadHexEscape(std::string_view s, size_t* pos) {
  size_t p = *pos;
  if (p + 2 > s.size() || s[p] != '\\' || s[p + 1] != 'x') return -1;
  p += 2;
  long v = 0;
  int n = 0;
  while (n < 4 && p < s.size() && HexDigit(s[p]) >= 0) {
    v = v * 16 + HexDigit(s[p]);
    ++p;
    ++n;
  }
  if (n == 0) return -1;
  *pos = p;
  return v;
}

// Decodes an escaped text that starts at s[0] and ends at the first unescaped `end`. Returns the
// position just after `end`, or npos when `end` never comes.
size_t Unescape(std::string_view s, char end, std::string* out) {
  out->clear();
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == end) return i + 1;
    if (c != '\\') {
      out->push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= s.size()) return std::string_view::npos;
    char e = s[i + 1];
    if (e == 'x') {
      size_t p = i;
      long unit = ReadHexEscape(s, &p);
      if (unit < 0) {  // "\x" without digits: keep the x
        out->push_back('x');
        i += 2;
        continue;
      }
      char32_t cp = static_cast<char32_t>(unit);
      if (IsHighSurrogate(cp)) {
        size_t q = p;
        long low = ReadHexEscape(s, &q);
        if (low >= 0 && IsLowSurrogate(static_cast<char32_t>(low))) {
          cp = CombineSurrogates(cp, static_cast<char32_t>(low));
          p = q;
        }
      }
      AppendUtf8(out, cp);
      i = p;
      continue;
    }
    switch (e) {
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case '0': out->push_back('\0'); break;
      case 'a': out->push_back('\a'); break;
      case 'b': out->push_back('\b'); break;
      case 'e': out->push_back('\x1b'); break;
      case 'f': out->push_back('\f'); break;
      case 'v': out->push_back('\v'); break;
      default: out->push_back(e); break;  // "\\", "\"", "\]" and unknown escapes: the character
    }
    i += 2;
  }
  return std::string_view::npos;
}

// `quoteChars` are escaped with a backslash besides "\" itself.
void AppendEscaped(std::string* out, std::string_view s, std::string_view quoteChars) {
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\': *out += "\\\\"; continue;
      case '\n': *out += "\\n"; continue;
      case '\r': *out += "\\r"; continue;
      case '\t': *out += "\\t"; continue;
      case '\0': *out += "\\0"; continue;
      default: break;
    }
    if (quoteChars.find(ch) != std::string_view::npos) {
      out->push_back('\\');
      out->push_back(ch);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%04x", c);
      *out += buf;
    } else {
      out->push_back(ch);
    }
  }
}

// Reads an unsigned hex number in `s` (the whole view). False when empty, too long or not hex.
bool ParseHexNumber(std::string_view s, size_t maxDigits, uint32_t* out) {
  if (s.empty() || s.size() > maxDigits) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  s = Trim(s);
  if (s.empty()) return true;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    std::string_view item = Trim(s.substr(start, comma == std::string_view::npos ? s.npos : comma - start));
    if (item.empty()) {
      // Only a trailing comma may leave an empty item.
      if (comma == std::string_view::npos && start > 0) return true;
      return false;
    }
    uint32_t v = 0;
    if (!ParseHexNumber(item, 2, &v)) return false;
    out->push_back(static_cast<uint8_t>(v));
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
  return true;
}

// hex(1)/hex(2) carry UTF-16LE text; turn it into the text form when it decodes.
void DecodeHexValue(uint32_t type, std::vector<uint8_t> bytes, RegValue* v) {
  v->type = static_cast<RegType>(type);
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && bytes.size() % 2 == 0) {
    std::u16string units;
    for (size_t i = 0; i < bytes.size(); i += 2) units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    if (!units.empty() && units.back() == 0) units.pop_back();
    v->text = Utf16ToUtf8(units);
    return;
  }
  if (type == REG_DWORD && bytes.size() == 4) {
    v->dword = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return;
  }
  v->binary = std::move(bytes);
}

// Parses `rest` (what follows the name) of a value line. `lines`/`*lineIndex` let hex data
// continue on the next lines.
bool ParseValueData(std::string_view rest, const std::vector<std::string_view>& lines, size_t* lineIndex,
                    RegValue* v, std::string* reason) {
  *v = RegValue();
  rest = TrimLeft(rest);
  if (!rest.empty() && rest[0] == '"') {
    size_t end = Unescape(rest.substr(1), '"', &v->text);
    v->type = REG_SZ;
    if (end == std::string_view::npos || !Trim(rest.substr(1 + end)).empty()) {
      *reason = "malformed string value";
      return false;
    }
    return true;
  }
  if (rest.starts_with("str(")) {
    size_t close = rest.find(')');
    uint32_t type = 0;
    if (close == std::string_view::npos || !ParseHexNumber(rest.substr(4, close - 4), 8, &type) ||
        rest.substr(close + 1, 2) != ":\"") {
      *reason = "malformed string value";
      return false;
    }
    std::string_view body = rest.substr(close + 3);
    size_t end = Unescape(body, '"', &v->text);
    if (end == std::string_view::npos || !Trim(body.substr(end)).empty()) {
      *reason = "malformed string value";
      return false;
    }
    v->type = static_cast<RegType>(type);
    return true;
  }
  if (rest.starts_with("dword:")) {
    v->type = REG_DWORD;
    if (!ParseHexNumber(Trim(rest.substr(6)), 8, &v->dword)) {
      *reason = "malformed dword value";
      return false;
    }
    return true;
  }
  if (rest.starts_with("hex")) {
    uint32_t type = REG_BINARY;
    size_t colon = rest.find(':');
    std::string_view kind = rest.substr(0, colon);
    if (colon == std::string_view::npos) {
      *reason = "malformed hex value";
      return false;
    }
    if (kind != "hex") {
      if (kind.size() < 6 || kind.substr(0, 4) != "hex(" || kind.back() != ')' ||
          !ParseHexNumber(kind.substr(4, kind.size() - 5), 8, &type)) {
        *reason = "malformed hex value";
        return false;
      }
    }
    std::string data(TrimRight(rest.substr(colon + 1)));
    while (!data.empty() && data.back() == '\\') {
      data.pop_back();
      if (*lineIndex + 1 >= lines.size()) {
        *reason = "hex data continues past the end of the file";
        return false;
      }
      ++*lineIndex;
      data += Trim(lines[*lineIndex]);
    }
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(data, &bytes)) {
      *reason = "bad hex data";
      return false;
    }
    DecodeHexValue(type, std::move(bytes), v);
    return true;
  }
  *reason = "malformed value line";
  return false;
}

void AppendHexBytes(std::string* out, const std::vector<uint8_t>& bytes, size_t column) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    *out += buf;
    column += 2;
    if (i + 1 < bytes.size()) {
      out->push_back(',');
      ++column;
      if (column > 76) {
        *out += "\\\n  ";
        column = 2;
      }
    }
  }
}

void AppendValueLine(std::string* out, const std::string& name, const RegValue& v) {
  size_t start = out->size();
  if (name.empty()) {
    out->push_back('@');
  } else {
    out->push_back('"');
    AppendEscaped(out, name, "\"");
    out->push_back('"');
  }
  out->push_back('=');
  auto hex = [&](uint32_t type) {
    if (type == REG_BINARY) {
      *out += "hex:";
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", type);
      *out += buf;
    }
    AppendHexBytes(out, v.binary, out->size() - start);
  };
  auto str = [&]() {
    out->push_back('"');
    AppendEscaped(out, v.text, "\"");
    out->push_back('"');
  };
  switch (v.type) {
    case REG_SZ:
      if (!v.binary.empty()) hex(v.type); else str();
      break;
    case REG_EXPAND_SZ:
      if (!v.binary.empty()) {
        hex(v.type);
      } else {
        *out += "str(2):";
        str();
      }
      break;
    case REG_DWORD:
      if (!v.binary.empty()) {
        hex(v.type);
      } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
        *out += buf;
      }
      break;
    case REG_BINARY:
      hex(v.type);
      break;
    default:
      if (v.binary.empty() && !v.text.empty()) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "str(%x):", static_cast<uint32_t>(v.type));
        *out += buf;
        str();
      } else {
        hex(v.type);
      }
      break;
  }
  out->push_back('\n');
}

// Level by level, without regard to case: a parent sorts right before its subkeys.
bool KeyOrder(const std::string& a, const std::string& b) {
  auto rank = [](char c) -> int { return c == '\\' ? -1 : static_cast<unsigned char>(c); };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return rank(x) < rank(y); });
}

}  // namespace

bool ParseRegistryText(std::string_view text, RegHiveData* out, RegParseError* err) {
  *out = RegHiveData();
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos <= text.size();) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      if (pos < text.size()) lines.push_back(TrimRight(text.substr(pos)));
      break;
    }
    lines.push_back(TrimRight(text.substr(pos, nl - pos)));
    pos = nl + 1;
  }

  auto fail = [&](size_t index, std::string reason) {
    *out = RegHiveData();
    err->line = static_cast<int>(index + 1);
    err->reason = std::move(reason);
    return false;
  };

  size_t i = 0;
  while (i < lines.size() && TrimLeft(lines[i]).empty()) ++i;
  if (i == lines.size()) return true;
  if (TrimLeft(lines[i]) != kHeader) return fail(i, "missing the \"WINE REGISTRY Version 2\" header");

  RegKeyData* current = nullptr;
  for (++i; i < lines.size(); ++i) {
    std::string_view line = TrimLeft(lines[i]);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      std::string raw;
      size_t end = Unescape(line.substr(1), ']', &raw);
      if (end == std::string_view::npos) return fail(i, "unterminated section bracket");
      std::optional<int64_t> stamp;
      std::string_view after = TrimLeft(line.substr(1 + end));
      size_t digits = 0;
      while (digits < after.size() && digits < 18 && after[digits] >= '0' && after[digits] <= '9') ++digits;
      if (digits > 0) stamp = std::stoll(std::string(after.substr(0, digits)));
      current = out->Create(NormalizeKeyPath(raw), stamp, nullptr);
      if (stamp) current->stamp = stamp;
      continue;
    }
    if (line[0] != '"' && line[0] != '@') return fail(i, "malformed line");
    if (!current) return fail(i, "value line before the first section");
    size_t start = i;
    std::string name;
    std::string_view rest;
    if (line[0] == '@') {
      rest = TrimLeft(line.substr(1));
    } else {
      size_t end = Unescape(line.substr(1), '"', &name);
      if (end == std::string_view::npos) return fail(i, "malformed value line");
      rest = TrimLeft(line.substr(1 + end));
    }
    if (rest.empty() || rest[0] != '=') return fail(i, "malformed value line");
    RegValue v;
    std::string reason;
    if (!ParseValueData(rest.substr(1), lines, &i, &v, &reason)) return fail(start, reason);
    if (RegValue* existing = current->FindValue(name)) {
      *existing = std::move(v);
    } else {
      current->values.emplace_back(std::move(name), std::move(v));
    }
  }
  return true;
}

std::string FormatRegistryText(const RegHiveData& hive, std::string_view relativeTo) {
  std::string out(kHeader);
  out += "\n;; All keys relative to ";
  out += relativeTo;
  out += "\n";

  const auto& keys = hive.keys();
  std::vector<size_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return KeyOrder(keys[a].folded, keys[b].folded); });

  for (size_t n = 0; n < order.size(); ++n) {
    const RegKeyData& k = keys[order[n]];
    bool hasSubKeys = n + 1 < order.size() && IsBelowKey(keys[order[n + 1]].folded, k.folded);
    if (k.values.empty() && (hasSubKeys || k.path.empty())) continue;
    out += "\n[";
    size_t level = 0;
    while (level <= k.path.size()) {
      size_t sep = k.path.find('\\', level);
      if (sep == std::string::npos) sep = k.path.size();
      if (level > 0) out += "\\\\";
      AppendEscaped(&out, std::string_view(k.path).substr(level, sep - level), "[]");
      level = sep + 1;
    }
    out += "]";
    if (k.stamp) out += " " + std::to_string(*k.stamp);
    out += "\n";
    for (const auto& [name, v] : k.values) AppendValueLine(&out, name, v);
  }
  return out;
}

}  // namespace kv::platform
