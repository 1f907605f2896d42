#include "engine/reference_scan.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "base/xml_escape.h"
#include "components/calc_components.h"
#include "engine/calc_parameter.h"
#include "engine/calculation.h"
#include "engine/object_file.h"
#include "engine/object_header.h"
#include "engine/script_names.h"

namespace kv::engine {
namespace {

using components::LibrarySummary;
using components::ReferenceSummary;

// Deeper nesting is left to the document parser, which does not recurse.
constexpr int kMaxDepth = 32;

enum : uint8_t { kNameStart = 1, kNameChar = 2, kSpace = 4 };

// Element and attribute names: the ASCII part of what the document parser takes.
constexpr std::array<uint8_t, 256> MakeClasses() {
  std::array<uint8_t, 256> c{};
  for (int ch = 0; ch < 256; ++ch) {
    const bool letter = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '_' || ch == ':';
    const bool other = (ch >= '0' && ch <= '9') || ch == '-' || ch == '.';
    c[ch] = static_cast<uint8_t>((letter ? kNameStart | kNameChar : 0) | (other ? kNameChar : 0) |
                                 (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' ? kSpace : 0));
  }
  return c;
}
constexpr std::array<uint8_t, 256> kClass = MakeClasses();

bool Is(char ch, uint8_t cls) { return kClass[static_cast<unsigned char>(ch)] & cls; }

// The five predefined entities, which the document parser decodes in text.
constexpr std::pair<std::string_view, char> kEntities[] = {
    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};

// The length of the predefined entity at `at`, or 0.
size_t EntityAt(std::string_view text, size_t at, char* decoded) {
  for (const auto& [entity, ch] : kEntities)
    if (text.compare(at, entity.size(), entity) == 0) return *decoded = ch, entity.size();
  return 0;
}

// `raw` with its predefined entities decoded (Scanner::Text declines any other).
std::string Decoded(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    const size_t amp = raw.find('&', i);
    out.append(raw.substr(i, amp - i));
    if (amp == std::string_view::npos) break;
    char ch = '&';
    const size_t n = EntityAt(raw, amp, &ch);
    out += ch;
    i = amp + (n == 0 ? 1 : n);
  }
  return out;
}

// A start tag just read.
struct Tag {
  std::string_view name;
  std::string_view version;  // the first "version" attribute, raw
  std::string_view type;     // the first "type" attribute, raw
  bool hasVersion = false;
  bool hasType = false;
  bool empty = false;  // <Name/>
};

// Forward-only reader over a document's text. Every method returns false where the
// text leaves the plain form; the whole read is then declined.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  // The optional declaration, then the root's start tag. The parser stops at a NUL byte inside
  // text, so a text holding one is declined as a whole.
  bool Root(Tag* root) {
    if (std::memchr(p_, 0, Left()) != nullptr) return false;
    static constexpr std::string_view kDecl = "<?xml ";
    if (Starts(kDecl)) {
      p_ += kDecl.size();
      for (; p_ < end_ && *p_ != '?'; ++p_)
        if (!Is(*p_, kNameChar | kSpace) && *p_ != '=' && *p_ != '"' && *p_ != '\'') return false;
      if (!Starts("?>")) return false;
      p_ += 2;
      SkipSpace();
    }
    return p_ < end_ && *p_ == '<' && Open(root);
  }

  // Only blanks after the root.
  bool AtEnd() {
    SkipSpace();
    return p_ == end_;
  }

  // Each child of `parent` (its start tag read) handed to `read`, up to the parent's end tag.
  template <class Read>
  bool Children(const Tag& parent, Read read) {
    Tag child;
    for (;;) {
      switch (Next(parent, &child)) {
        case kEnd: return true;
        case kFail: return false;
        case kChild:
          if (!read(child)) return false;
          break;
      }
    }
  }

  // Passes over the element whose start tag was read, checking all it holds.
  bool Skip(const Tag& tag, int depth) {
    return depth <= kMaxDepth && Children(tag, [&](const Tag& child) { return Skip(child, depth + 1); });
  }

  // The raw text of an element that holds text only, up to its end tag; declined when it holds
  // an element or an entity other than the five predefined ones.
  bool Text(const Tag& tag, std::string_view* raw) {
    *raw = {};
    if (tag.empty) return true;
    const char* lt = static_cast<const char*>(std::memchr(p_, '<', Left()));
    if (lt == nullptr || lt + 1 == end_ || lt[1] != '/') return false;
    *raw = std::string_view(p_, static_cast<size_t>(lt - p_));
    for (size_t amp = raw->find('&'); amp != std::string_view::npos; amp = raw->find('&', amp + 1)) {
      char ch = 0;
      if (EntityAt(*raw, amp, &ch) == 0) return false;
    }
    p_ = lt + 2;
    return Close(tag.name);
  }

 private:
  enum Step { kChild, kEnd, kFail };

  // Inside `parent` (its start tag read): the next child's start tag, or the parent's end tag.
  // Text between them is passed over: the parser takes any text there.
  Step Next(const Tag& parent, Tag* child) {
    if (parent.empty) return kEnd;
    const char* lt = static_cast<const char*>(std::memchr(p_, '<', Left()));
    if (lt == nullptr || lt + 1 == end_) return kFail;
    p_ = lt;
    if (lt[1] == '/') {
      p_ += 2;
      return Close(parent.name) ? kEnd : kFail;
    }
    return Open(child) ? kChild : kFail;
  }

  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  bool Starts(std::string_view s) const { return Left() >= s.size() && std::memcmp(p_, s.data(), s.size()) == 0; }
  void SkipSpace() {
    while (p_ < end_ && Is(*p_, kSpace)) ++p_;
  }

  bool Name(std::string_view* name) {
    const char* start = p_;
    if (p_ == end_ || !Is(*p_, kNameStart)) return false;
    for (++p_; p_ < end_ && Is(*p_, kNameChar);) ++p_;
    *name = std::string_view(start, static_cast<size_t>(p_ - start));
    return true;
  }

  // At "<": a start tag with its attributes. Attributes are separated by blanks; their values
  // are quoted and hold no "<".
  bool Open(Tag* tag) {
    ++p_;
    *tag = Tag{};
    if (!Name(&tag->name)) return false;
    for (;;) {
      if (p_ == end_) return false;
      if (*p_ == '>') {
        ++p_;
        return true;
      }
      if (*p_ == '/') {
        if (!Starts("/>")) return false;
        p_ += 2;
        tag->empty = true;
        return true;
      }
      if (!Is(*p_, kSpace)) return false;
      SkipSpace();
      if (p_ == end_ || *p_ == '>' || *p_ == '/') continue;
      std::string_view attr;
      if (!Name(&attr)) return false;
      SkipSpace();
      if (p_ == end_ || *p_ != '=') return false;
      ++p_;
      SkipSpace();
      if (p_ == end_ || (*p_ != '"' && *p_ != '\'')) return false;
      const char quote = *p_++;
      const char* close = static_cast<const char*>(std::memchr(p_, quote, Left()));
      if (close == nullptr) return false;
      const std::string_view value(p_, static_cast<size_t>(close - p_));
      if (value.find('<') != std::string_view::npos) return false;
      if (attr == kXmlEscapedAttribute) return false;  // text in the escaped form: the document reader unescapes it
      if (!tag->hasVersion && attr == "version") tag->version = value, tag->hasVersion = true;
      if (!tag->hasType && attr == "type") tag->type = value, tag->hasType = true;
      p_ = close + 1;
    }
  }

  // After "</": the end tag of `name`.
  bool Close(std::string_view name) {
    if (!Starts(name)) return false;
    p_ += name.size();
    SkipSpace();
    if (p_ == end_ || *p_ != '>') return false;
    ++p_;
    return true;
  }

  const char* p_;
  const char* end_;
};

// A version the engine reads, judged on the raw text: a value the parser would convert first (an
// entity, a blank) fails here and is left to the parser.
bool ReadableVersion(const Tag& tag) { return tag.hasVersion && engine::ReadableVersion(tag.version); }

// `raw` text as FieldReader sees it: decoded only when it holds an entity.
template <class Check>
bool OnDecoded(std::string_view raw, Check check) {
  return raw.find('&') == std::string_view::npos ? check(raw) : check(std::string_view(Decoded(raw)));
}

// A <Value> as FieldReader takes it: a type it reads and a text of that type.
bool ValueLoads(const Tag& value, std::string_view raw) {
  return value.hasType && OnDecoded(raw, [&](std::string_view text) { return ReadValueText(value.type, text, nullptr); });
}

// The file is summarised only when the engine would load it, so that no answer names an object
// the server cannot open: each field list is checked as FieldReader reads it (the first child of
// each name counts; a number field holds a number it takes; a required field is there).
class FieldCheck {
 public:
  explicit FieldCheck(const FieldKinds& kinds) : kinds_(kinds) {}

  // The child `field` just opened: a number field's text is read and checked (*handled, its raw
  // text in *text); any other is left to the caller.
  bool Check(Scanner& s, const Tag& field, bool* handled, std::string_view* text) {
    *handled = false;
    const std::vector<FieldKinds::Field>& fields = kinds_.Fields();
    for (size_t i = 0; i < fields.size() && i < 64; ++i) {
      if (fields[i].name != field.name) continue;
      if (seen_ & (uint64_t{1} << i)) return true;
      seen_ |= uint64_t{1} << i;
      if (fields[i].kind == FieldKinds::kText) return true;
      *handled = true;
      if (!s.Text(field, text)) return false;
      return OnDecoded(*text, [&](std::string_view t) {
        int32_t l;
        double d;
        return fields[i].kind == FieldKinds::kLong ? ReadLongText(t, &l) : ReadNumberText(t, &d);
      });
    }
    return true;
  }

  bool RequiredSeen() const {
    const std::vector<FieldKinds::Field>& fields = kinds_.Fields();
    for (size_t i = 0; i < fields.size() && i < 64; ++i)
      if (fields[i].required && !(seen_ & (uint64_t{1} << i))) return false;
    return true;
  }

 private:
  const FieldKinds& kinds_;
  uint64_t seen_ = 0;
};

// The fields of a <Parameter>, the first of each name counting, as the engine reads them.
enum ParameterField { kName, kKind, kServer, kTagName, kCalc, kFieldCount };

int ParameterFieldOf(std::string_view name) {
  static constexpr std::string_view kNames[kFieldCount] = {"Name", "Kind", "ServerName", "TagName", "CalcName"};
  for (int i = 0; i < kFieldCount; ++i)
    if (name == kNames[i]) return i;
  return -1;
}

bool ReadParameter(Scanner& s, const Tag& param, int depth, std::vector<std::string>* names, ReferenceSummary* out) {
  std::string_view fields[kFieldCount];
  unsigned found = 0;
  FieldCheck check(KindsOf<ParameterFields>());
  bool haveValue = false;
  const bool read = s.Children(param, [&](const Tag& field) {
    const int i = ParameterFieldOf(field.name);
    bool handled = false;
    std::string_view text;
    if (!check.Check(s, field, &handled, &text)) return false;
    if (handled) {
      if (i >= 0 && !(found & (1u << i))) found |= 1u << i, fields[i] = text;
      return true;
    }
    if (!haveValue && field.name == "Value") {
      haveValue = true;
      std::string_view raw;
      return s.Text(field, &raw) && ValueLoads(field, raw);
    }
    if (i < 0 || (found & (1u << i))) return s.Skip(field, depth + 1);
    found |= 1u << i;
    return s.Text(field, &fields[i]);
  });
  // A parameter's Value is required; two parameters of one name make the file unloadable.
  if (!read || !(found & (1u << kName)) || !check.RequiredSeen() || !haveValue) return false;
  std::string name = Decoded(fields[kName]);
  for (const std::string& n : *names)
    if (n == name) return false;
  names->push_back(std::move(name));
  // The kind as the document reader takes it: leading digits, of the decoded text.
  const std::string kind = Decoded(fields[kKind]);
  long k = 0;
  std::from_chars(kind.data(), kind.data() + kind.size(), k);
  if (k == components::kParamCalculation) {
    out->calculations.push_back(Decoded(fields[kCalc]));
  } else if (k == components::kParamTag) {
    out->tags.push_back({Decoded(fields[kName]), Decoded(fields[kServer]), Decoded(fields[kTagName])});
  }
  return true;
}

// Each child of `list` named `item` handed to `read`; others are passed over.
template <class Read>
bool ReadList(Scanner& s, const Tag& list, std::string_view item, int depth, Read read) {
  return s.Children(list, [&](const Tag& child) { return child.name == item ? read(child) : s.Skip(child, depth + 1); });
}

// A <Calculation> element (a calculation file's root or a library's formula) whose start tag
// was read: its name and references.
bool ReadCalculation(Scanner& s, const Tag& root, int depth, std::string_view* name, ReferenceSummary* out) {
  if (root.name != "Calculation" || !ReadableVersion(root)) return false;
  bool haveName = false, haveScript = false, haveLibraries = false, haveParameters = false, haveValue = false;
  std::string_view script;
  FieldCheck check(ZrCalculation::Kinds());
  std::vector<std::string> parameterNames;
  const bool read = s.Children(root, [&](const Tag& field) {
    bool handled = false;
    std::string_view text;
    if (!check.Check(s, field, &handled, &text)) return false;
    if (handled) return true;
    if (!haveValue && field.name == "Value") {
      haveValue = true;
      std::string_view raw;
      return s.Text(field, &raw) && ValueLoads(field, raw);
    }
    if (!haveName && field.name == "Name") {
      haveName = true;
      return s.Text(field, name);
    }
    if (!haveScript && field.name == "Script") {
      haveScript = true;
      return s.Text(field, &script);
    }
    if (!haveLibraries && field.name == "Libraries") {
      haveLibraries = true;
      return ReadList(s, field, "Library", depth + 1, [&](const Tag& lib) {
        std::string_view raw;
        if (!s.Text(lib, &raw)) return false;
        out->libraries.push_back(Decoded(raw));
        return true;
      });
    }
    if (!haveParameters && field.name == "Parameters") {
      haveParameters = true;
      return ReadList(s, field, "Parameter", depth + 1,
                      [&](const Tag& param) { return ReadParameter(s, param, depth + 2, &parameterNames, out); });
    }
    return s.Skip(field, depth + 1);
  });
  if (!read || !haveName || !check.RequiredSeen()) return false;
  out->formulas =
      script.find('&') == std::string_view::npos ? FormulaReferences(script) : FormulaReferences(Decoded(script));
  return true;
}

}  // namespace

bool ScanCalculationReferences(std::string_view text, ReferenceSummary* out) {
  Scanner s(text);
  Tag root;
  std::string_view name;
  return s.Root(&root) && ReadCalculation(s, root, 0, &name, out) && s.AtEnd();
}

bool ScanLibraryReferences(std::string_view text, LibrarySummary* out) {
  Scanner s(text);
  Tag root;
  if (!s.Root(&root) || root.name != "Library" || !ReadableVersion(root)) return false;
  bool haveName = false, haveFormulas = false;
  FieldCheck check(KindsOf<ObjectHeader>());
  const bool read = s.Children(root, [&](const Tag& field) {
    bool handled = false;
    std::string_view text;
    if (!check.Check(s, field, &handled, &text)) return false;
    if (handled) return true;
    if (!haveFormulas && field.name == "Formulas") {
      haveFormulas = true;
      return ReadList(s, field, "Calculation", 1, [&](const Tag& formula) {
        std::string_view name;
        ReferenceSummary refs;
        if (!ReadCalculation(s, formula, 2, &name, &refs)) return false;
        std::string decoded = Decoded(name);
        // Two formulas of one name make the library unloadable.
        for (const auto& [known, _] : out->formulas)
          if (known == decoded) return false;
        out->formulas.emplace_back(std::move(decoded), std::move(refs));
        return true;
      });
    }
    haveName = haveName || field.name == "Name";
    return s.Skip(field, 1);
  });
  return read && haveName && check.RequiredSeen() && s.AtEnd();
}

}  // namespace kv::engine
