#include "cli/cli_args.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "cli/durations.h"
#include "client/result_format.h"
#include "protocol/variant_codec.h"
#include "com/guid.h"
#include "platform/ole_date.h"
#include "platform/utf8.h"

namespace kv::cli {

using com::Variant;

namespace {

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

bool EqualsNoCase(std::string_view a, std::string_view b) { return com::NamesEqual(a, b); }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Exactly `n` digits at s[pos...], as a number.
bool Digits(std::string_view s, size_t pos, size_t n, int* out) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

bool LooksNumeric(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::strchr("0123456789+-.eE", c)) return false;
  return true;
}

// An integer in the 32-bit range → VT_I4, any other number → VT_R8; false when not a number.
bool NumberVariant(std::string_view s, Variant* out) {
  if (!LooksNumeric(s)) return false;
  std::string ignored;
  int32_t i;
  if (s.find_first_of(".eE") == std::string_view::npos && ParseLong(s, &i, &ignored)) {
    *out = Variant::I4(i);
    return true;
  }
  double d;
  if (!ParseDouble(s, &d, &ignored)) return false;
  *out = Variant::R8(d);
  return true;
}

// Recursive-descent reader of variant literals.
class LiteralParser {
 public:
  LiteralParser(std::string_view text, const NamedValues& names, std::string* error)
      : s_(text), names_(names), error_(error) {}

  bool ParseTop(Variant* out) {
    std::string_view t = Trim(s_);
    if (t.empty()) {
      *out = Variant();
      return true;
    }
    if (t.front() != '[' && t.front() != '"') return Word(t, true, out);
    SkipSpace();
    if (!Value(out, 0)) return false;
    SkipSpace();
    if (pos_ != s_.size()) return Fail(error_, "unexpected text after the value: " + Quoted(s_.substr(pos_)));
    return true;
  }

 private:
  void SkipSpace() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }

  bool Value(Variant* out, int depth) {
    if (pos_ >= s_.size()) return Fail(error_, "a value is missing at the end");
    if (s_[pos_] == '[') return Array(out, depth);
    if (s_[pos_] == '"') {
      std::string text;
      if (!String(&text)) return false;
      *out = Variant::Str(text);
      return true;
    }
    size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != ']' && s_[pos_] != '[' && s_[pos_] != '"') ++pos_;
    std::string_view word = Trim(s_.substr(start, pos_ - start));
    if (word.empty()) return Fail(error_, "a value is missing at position " + std::to_string(start + 1));
    return Word(word, false, out);
  }

  bool Word(std::string_view w, bool top, Variant* out) {
    if (w == "null" || w == "empty") {
      *out = Variant();
    } else if (w == "true" || w == "false") {
      *out = Variant::Bool(w == "true");
    } else if (w.front() == '@') {
      auto it = names_.find(w.substr(1));
      if (it == names_.end()) return Fail(error_, "no value named " + Quoted(w.substr(1)) + " was kept");
      *out = it->second;
    } else if (!NumberVariant(w, out)) {
      *out = Variant::Str(top ? s_ : w);
    }
    return true;
  }

  bool Array(Variant* out, int depth) {
    if (depth >= protocol::kMaxArrayDepth)
      return Fail(error_, "arrays nest deeper than " + std::to_string(protocol::kMaxArrayDepth) + " levels");
    ++pos_;  // '['
    std::vector<Variant> items;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
    } else {
      for (;;) {
        SkipSpace();
        items.emplace_back();
        if (!Value(&items.back(), depth + 1)) return false;
        SkipSpace();
        if (pos_ >= s_.size()) return Fail(error_, "\"]\" is missing");
        char c = s_[pos_++];
        if (c == ']') break;
        if (c != ',') return Fail(error_, std::string("expected \",\" or \"]\" but found \"") + c + "\"");
      }
    }
    com::SafeArray a(com::VT_VARIANT, 0, items.size());
    for (size_t i = 0; i < items.size(); ++i) a.At(i) = std::move(items[i]);
    *out = Variant::Array(std::move(a));
    return true;
  }

  bool Hex4(uint32_t* out) {
    if (pos_ + 4 > s_.size()) return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int d = com::detail::HexValue(s_[pos_++]);
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
  }

  bool String(std::string* out) {
    ++pos_;  // opening quote
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': *out += e; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(&cp)) return Fail(error_, "\\u needs four hex digits");
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t lo;
            if (s_.substr(pos_, 2) != "\\u" || (pos_ += 2, !Hex4(&lo)) || lo < 0xDC00 || lo > 0xDFFF)
              return Fail(error_, "a \\u high surrogate needs its low half");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return Fail(error_, "a \\u low surrogate stands alone");
          }
          platform::AppendUtf8(out, cp);
          break;
        }
        default: return Fail(error_, std::string("unknown escape \\") + e);
      }
    }
    return Fail(error_, "the closing quote is missing");
  }

  std::string_view s_;
  const NamedValues& names_;
  std::string* error_;
  size_t pos_ = 0;
};

Variant EmptyOf(ParamType type) {
  switch (type) {
    case ParamType::Bstr: return Variant::Str("");
    case ParamType::Long: return Variant::I4(0);
    case ParamType::Double: return Variant::R8(0);
    case ParamType::Date: return Variant::Date(0);
    case ParamType::Bool: return Variant::Bool(false);
    case ParamType::Dispatch: return Variant::Dispatch(nullptr);
    case ParamType::Variant: return Variant();
  }
  return Variant();
}

// A word read by `parse` into a T, then made a Variant by `make`.
template <typename T, typename Make>
bool ParseAs(bool (*parse)(std::string_view, T*, std::string*), Make make, std::string_view text, Variant* out,
             std::string* error) {
  T v;
  if (!parse(text, &v, error)) return false;
  *out = make(v);
  return true;
}

}  // namespace

bool ParseLong(std::string_view text, int32_t* out, std::string* error) {
  int32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec == std::errc::result_out_of_range) return Fail(error, Quoted(text) + " is out of the 32-bit range");
  if (ec != std::errc() || end != text.data() + text.size() || text.empty())
    return Fail(error, Quoted(text) + " is not an integer");
  *out = v;
  return true;
}

bool ParseDouble(std::string_view text, double* out, std::string* error) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !LooksNumeric(text) ||
      !std::isfinite(v))
    return Fail(error, Quoted(text) + " is not a finite number");
  *out = v;
  return true;
}

bool ParseBool(std::string_view text, bool* out, std::string* error) {
  if (EqualsNoCase(text, "true") || text == "1" || text == "-1") *out = true;
  else if (EqualsNoCase(text, "false") || text == "0") *out = false;
  else return Fail(error, Quoted(text) + " is not a boolean (true, false, 1, 0, -1)");
  return true;
}

bool ParseDate(std::string_view text, double* out, std::string* error) {
  std::string ignored;
  if (ParseDouble(text, out, &ignored)) return true;
  int y, mo, d, h = 0, mi = 0, sec = 0;
  bool ok = text.size() >= 10 && Digits(text, 0, 4, &y) && text[4] == '-' && Digits(text, 5, 2, &mo) &&
            text[7] == '-' && Digits(text, 8, 2, &d);
  if (ok && text.size() > 10) {
    ok = (text[10] == ' ' || text[10] == 'T') && Digits(text, 11, 2, &h) && text.size() >= 16 && text[13] == ':' &&
         Digits(text, 14, 2, &mi);
    if (ok && text.size() > 16) ok = text.size() == 19 && text[16] == ':' && Digits(text, 17, 2, &sec);
  }
  if (!ok) return Fail(error, Quoted(text) + " is not a date (a day number or YYYY-MM-DD[ hh:mm[:ss]])");
  if (!platform::MakeDate(y, mo, d, h, mi, sec, out)) return Fail(error, Quoted(text) + " is not a valid date");
  return true;
}

bool ParseVariantLiteral(std::string_view text, const NamedValues& names, Variant* out, std::string* error) {
  return LiteralParser(text, names, error).ParseTop(out);
}

bool ParseArgument(ParamType type, std::string_view text, const NamedValues& names, Variant* out,
                   std::string* error) {
  switch (type) {
    case ParamType::Bstr: {
      // "@NAME" of a value kept earlier passes that string on untouched (an object string is
      // not text a shell could carry); any other word, or a name not kept, is the text itself.
      auto it = text.size() > 1 && text.front() == '@' ? names.find(text.substr(1)) : names.end();
      if (it == names.end()) {
        *out = Variant::Str(text);
        return true;
      }
      const Variant& v = it->second.Deref();
      if (v.vt() == com::VT_BSTR) *out = v;
      else if (v.vt() == com::VT_EMPTY || v.vt() == com::VT_NULL) *out = Variant::Str("");
      else return Fail(error, Quoted(text.substr(1)) + " does not hold a string");
      return true;
    }
    case ParamType::Long: return ParseAs(ParseLong, Variant::I4, text, out, error);
    case ParamType::Double: return ParseAs(ParseDouble, Variant::R8, text, out, error);
    case ParamType::Date: return ParseAs(ParseDate, Variant::Date, text, out, error);
    case ParamType::Bool: return ParseAs(ParseBool, Variant::Bool, text, out, error);
    case ParamType::Dispatch: {
      if (text.empty() || text == "null") {
        *out = Variant::Dispatch(nullptr);
        return true;
      }
      if (text.front() != '@') return Fail(error, Quoted(text) + " is not an object (@NAME or null)");
      auto it = names.find(text.substr(1));
      if (it == names.end()) return Fail(error, "no object named " + Quoted(text.substr(1)) + " was kept");
      const Variant& v = it->second.Deref();
      if (v.vt() == com::VT_EMPTY || v.vt() == com::VT_NULL) {
        *out = Variant::Dispatch(nullptr);
      } else if (v.vt() == com::VT_DISPATCH || v.vt() == com::VT_UNKNOWN) {
        *out = Variant::Dispatch(v.dispatch());
      } else {
        return Fail(error, Quoted(text.substr(1)) + " does not hold an object");
      }
      return true;
    }
    case ParamType::Variant:
      return ParseVariantLiteral(text, names, out, error);
  }
  return Fail(error, "unknown parameter type");
}

bool ParseArguments(const MethodInfo& method, const std::vector<std::string>& words, const NamedValues& names,
                    std::vector<Variant>* out, std::string* error) {
  std::vector<const ParamInfo*> ins;
  for (const ParamInfo& p : method.params)
    if (p.dir != ParamDir::Retval) ins.push_back(&p);
  size_t required = RequiredArgumentCount(method);
  if (words.size() < required || words.size() > ins.size()) {
    std::string n = required == ins.size() ? std::to_string(required)
                                           : std::to_string(required) + " to " + std::to_string(ins.size());
    return Fail(error, method.name + " takes " + n + " argument(s), not " + std::to_string(words.size()));
  }
  std::vector<Variant> values;
  for (size_t i = 0; i < ins.size(); ++i) {
    values.push_back(EmptyOf(ins[i]->type));
    if (i >= words.size()) continue;
    std::string why;
    // Schedule rates and offsets travel in days; a duration with its unit is taken too.
    double days = 0;
    if ((ins[i]->type == ParamType::Date || ins[i]->type == ParamType::Double) &&
        client::DateKindOf(method, *ins[i]) == client::DateKind::kSpan && ParseDuration(words[i], &days)) {
      values.back() = ins[i]->type == ParamType::Date ? Variant::Date(days) : Variant::R8(days);
      continue;
    }
    if (!ParseArgument(ins[i]->type, words[i], names, &values.back(), &why))
      return Fail(error, "argument " + std::to_string(i + 1) + " (" + ins[i]->name + "): " + why);
  }
  *out = std::move(values);
  return true;
}

size_t RequiredArgumentCount(const MethodInfo& method) {
  size_t n = 0, required = 0;
  for (const ParamInfo& p : method.params) {
    if (p.dir == ParamDir::Retval) continue;
    ++n;
    if (p.dir == ParamDir::In) required = n;
  }
  return required;
}

const char* TypeName(ParamType type) {
  switch (type) {
    case ParamType::Bstr: return "string";
    case ParamType::Long: return "long";
    case ParamType::Double: return "double";
    case ParamType::Date: return "date";
    case ParamType::Bool: return "bool";
    case ParamType::Dispatch: return "object";
    case ParamType::Variant: return "variant";
  }
  return "?";
}

}  // namespace kv::cli
