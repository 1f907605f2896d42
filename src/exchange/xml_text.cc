#include "exchange/xml_text.h"

#include "platform/utf8.h"

namespace kv::exchange {
namespace {

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// 1-based line and character position of the byte `offset` of `text`.
void LineAndPos(std::string_view text, size_t offset, long* line, long* pos) {
  *line = 1;
  *pos = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++*line;
      *pos = 1;
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
