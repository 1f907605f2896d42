#include "exchange/xml_text.h"

#include <expat.h>

#include <algorithm>
#include <climits>

#include "platform/utf8.h"

namespace kv::exchange {
namespace {

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// 1-based line and character position of the byte `offset` of `text`. LF, CR and CR LF each end
// a line, as XML reads them.
void LineAndPos(std::string_view text, size_t offset, long* line, long* pos) {
  *line = 1;
  *pos = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || (c == '\n' && (i == 0 || text[i - 1] != '\r'))) {
      ++*line;
      *pos = 1;
    } else if (c == '\n') {
      // the LF of a CR LF: the CR ended the line
    } else if ((c & 0xC0) != 0x80) {
      ++*pos;  // continuation bytes belong to the character before
    }
  }
}

// The index of the first lone surrogate of `s`, or npos.
size_t FirstLoneSurrogate(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (platform::IsHighSurrogate(s[i]) && i + 1 < s.size() && platform::IsLowSurrogate(s[i + 1])) {
      ++i;
    } else if (platform::IsHighSurrogate(s[i]) || platform::IsLowSurrogate(s[i])) {
      return i;
    }
  }
  return std::u16string::npos;
}

constexpr unsigned kClientParseOptions = pugi::parse_default | pugi::parse_ws_pcdata;

// The well-formedness check of a client's text, by a conforming parser, which pugixml is not: it
// takes a second root, text after the root, duplicate attributes, "<" in attribute values, a
// late declaration and control characters without a word. The check streams (no tree), holding
// only the open elements' names, and stops at the first fault or at the nesting limit, before
// pugixml allocates anything.
class WellFormedCheck {
 public:
  // True when `utf8` is well-formed and nested at most kMaxClientXmlDepth deep; otherwise false
  // with the reason and the 1-based line and character position of the fault.
  bool Run(const std::string& utf8, std::string* reason, long* line, long* pos) {
    // The text arrives as characters: any encoding its declaration names is overridden.
    XML_Parser p = XML_ParserCreate("UTF-8");
    if (p == nullptr) {
      *reason = "Out of memory";
      *line = *pos = 1;
      return false;
    }
    XML_SetUserData(p, this);
    XML_SetElementHandler(p, &WellFormedCheck::Start, &WellFormedCheck::End);
    parser_ = p;
    bool ok = true;
    // XML_Parse takes an int length: a longer text goes in pieces.
    size_t at = 0;
    do {
      const size_t n = std::min(utf8.size() - at, static_cast<size_t>(INT_MAX / 2));
      const bool last = at + n == utf8.size();
      if (XML_Parse(p, utf8.data() + at, static_cast<int>(n), last) != XML_STATUS_OK) {
        ok = false;
        break;
      }
      at += n;
    } while (at < utf8.size());
    if (!ok) {
      *reason = tooDeep_ ? "Elements nested deeper than " + std::to_string(kMaxClientXmlDepth) + " levels"
                         : XML_ErrorString(XML_GetErrorCode(p));
      *line = tooDeep_ ? line_ : static_cast<long>(XML_GetCurrentLineNumber(p));
      *pos = tooDeep_ ? pos_ : static_cast<long>(XML_GetCurrentColumnNumber(p)) + 1;
    }
    XML_ParserFree(p);
    return ok;
  }

 private:
  static void XMLCALL Start(void* self, const XML_Char*, const XML_Char**) {
    auto* c = static_cast<WellFormedCheck*>(self);
    if (++c->depth_ > kMaxClientXmlDepth) {
      c->tooDeep_ = true;
      // Here the position is still the start tag's; once stopped, it is past it.
      c->line_ = static_cast<long>(XML_GetCurrentLineNumber(c->parser_));
      c->pos_ = static_cast<long>(XML_GetCurrentColumnNumber(c->parser_)) + 1;
      XML_StopParser(c->parser_, XML_FALSE);
    }
  }
  static void XMLCALL End(void* self, const XML_Char*) { --static_cast<WellFormedCheck*>(self)->depth_; }

  XML_Parser parser_ = nullptr;
  int depth_ = 0;
  bool tooDeep_ = false;
  long line_ = 0, pos_ = 0;
};

}  // namespace

void ParseClientXml(const com::Bstr& text, ParsedXml* out) {
  const std::u16string& wide = text.Wide();
  if (size_t bad = FirstLoneSurrogate(wide); bad != std::u16string::npos) {
    const std::string before = platform::Utf16ToUtf8(wide.substr(0, bad));
    out->ok = false;
    out->reason = "Invalid character encoding";
    LineAndPos(before, before.size(), &out->line, &out->pos);
    return;
  }
  const std::string utf8 = text.ToUtf8();
  if (!WellFormedCheck().Run(utf8, &out->reason, &out->line, &out->pos)) {
    out->ok = false;
    return;
  }
  pugi::xml_parse_result r = out->doc.load_buffer(utf8.data(), utf8.size(), kClientParseOptions, pugi::encoding_utf8);
  out->ok = static_cast<bool>(r);
  if (!out->ok) {
    out->reason = r.description();
    LineAndPos(utf8, static_cast<size_t>(r.offset), &out->line, &out->pos);
  }
}

std::string ParseErrorReply(const ParsedXml& parsed) {
  pugi::xml_document doc;
  pugi::xml_node e = doc.append_child("ERROR");
  e.append_attribute("Line").set_value(std::to_string(parsed.line).c_str());
  e.append_attribute("Pos").set_value(std::to_string(parsed.pos).c_str());
  e.text().set(("Failed to load calculation XML: " + parsed.reason).c_str());
  return ElementText(e);
}

std::string ErrorReply(std::string_view text) { return "<ERROR>" + std::string(text) + "</ERROR>"; }

std::string ElementText(pugi::xml_node element) {
  StringWriter w;
  element.print(w, "  ", pugi::format_default, pugi::encoding_utf8);
  while (!w.out.empty() && (w.out.back() == '\n' || w.out.back() == '\r')) w.out.pop_back();
  return std::move(w.out);
}

std::string RawElementText(pugi::xml_node element) {
  StringWriter w;
  element.print(w, "", pugi::format_raw, pugi::encoding_utf8);
  return std::move(w.out);
}

bool RerootedText(std::string_view objectXml, const char* rootName, std::string* out) {
  pugi::xml_document doc;
  if (!doc.load_buffer(objectXml.data(), objectXml.size(), pugi::parse_default | pugi::parse_ws_pcdata_single,
                       pugi::encoding_utf8))
    return false;
  pugi::xml_node root = doc.document_element();
  if (!root) return false;
  root.set_name(rootName);
  *out = ElementText(root);
  return true;
}

std::string RootNameOf(std::string_view objectXml) {
  pugi::xml_document doc;
  if (!doc.load_buffer(objectXml.data(), objectXml.size(), pugi::parse_minimal, pugi::encoding_utf8)) return {};
  return doc.document_element().name();
}

}  // namespace kv::exchange

namespace kv::exchange {

namespace {

// What TextIfRooted keeps of `text` as [*begin, *end); the markup it looks at is ASCII, so one
// routine serves both widths.
template <class Ch>
bool RootedRange(std::basic_string_view<Ch> text, std::string_view rootName, size_t* begin, size_t* end) {
  auto is = [&](size_t i, std::string_view ascii) {
    if (i + ascii.size() > text.size()) return false;
    for (size_t k = 0; k < ascii.size(); ++k)
      if (text[i + k] != static_cast<Ch>(ascii[k])) return false;
    return true;
  };
  auto skipSpace = [&](size_t i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t')) ++i;
    return i;
  };
  size_t i = skipSpace(0);
  if (is(i, "<?xml")) {
    size_t close = i;
    while (close < text.size() && !is(close, "?>")) ++close;
    if (close >= text.size()) return false;
    i = skipSpace(close + 2);
  }
  if (!is(i, "<") || !is(i + 1, rootName)) return false;
  const size_t after = i + 1 + rootName.size();
  if (after >= text.size() || (text[after] != ' ' && text[after] != '>' && text[after] != '/')) return false;
  size_t last = text.size();
  while (last > i && (text[last - 1] == '\n' || text[last - 1] == '\r')) --last;
  *begin = i;
  *end = last;
  return true;
}

}  // namespace

bool TextIfRooted(std::u16string_view text, std::string_view rootName, std::u16string* out) {
  size_t begin, end;
  if (!RootedRange(text, rootName, &begin, &end)) return false;
  out->assign(text.substr(begin, end - begin));
  return true;
}

bool TextIfRooted(std::string_view text, std::string_view rootName, std::string* out) {
  size_t begin, end;
  if (!RootedRange(text, rootName, &begin, &end)) return false;
  out->assign(text.substr(begin, end - begin));
  return true;
}

}  // namespace kv::exchange
