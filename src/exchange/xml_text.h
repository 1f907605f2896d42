#pragma once
// The XML documents of the exchange commands, on pugixml: the one checked load of a client's text
// (every command that reads client XML goes through ParseClientXml), the ERROR element replies,
// and an element's own XML text.
#include <pugixml.hpp>

#include <string>
#include <string_view>

#include "com/bstr.h"

namespace kv::exchange {

// A parsed client text. `ok` false leaves `reason` (the parser's description) and the 1-based
// `line` and `pos` (characters, not bytes) of the failure.
struct ParsedXml {
  pugi::xml_document doc;
  bool ok = false;
  std::string reason;
  long line = 0, pos = 0;
};

// The deepest element nesting a client's text may have (the root is level 1). Object forms need
// a handful of levels; the limit keeps every later walk over the tree cheap and shallow.
inline constexpr int kMaxClientXmlDepth = 256;

// Parses `text` with white space preserved, in time and memory linear in its size. A text that is
// not valid UTF-16 (a lone surrogate) fails at the first bad unit: the parser would read its
// replacement character as content. The text must be a well-formed XML 1.0 document, as a
// conforming parser checks it (one root, nothing but markup after it, no duplicate attribute, no
// "<" in an attribute value, a declaration only at the very start, only characters XML allows,
// declared entities), nested at most kMaxClientXmlDepth deep; failures give the position where
// the check stopped. Line breaks are LF, CR and CR LF alike.
void ParseClientXml(const com::Bstr& text, ParsedXml* out);

// "<ERROR Line="L" Pos="P">Failed to load calculation XML: reason</ERROR>".
std::string ParseErrorReply(const ParsedXml& parsed);
// "<ERROR>text</ERROR>".
std::string ErrorReply(std::string_view text);

// The XML text of `element` alone (indented, no declaration, no trailing line break). Indentation
// grows with depth: for text handed on to another parse, use RawElementText.
std::string ElementText(pugi::xml_node element);
// The same without indentation or added line breaks: linear in the element's size at any depth.
std::string RawElementText(pugi::xml_node element);

// An object's XML form re-rooted: the text of its document element under the name `rootName`.
// Returns false when `objectXml` is not a document with an element.
bool RerootedText(std::string_view objectXml, const char* rootName, std::string* out);

// The name of the document element of `objectXml` (empty when it has none).
std::string RootNameOf(std::string_view objectXml);

}  // namespace kv::exchange

namespace kv::exchange {

// The element text of `objectXml` when its document element is already named `rootName`: the
// text without its XML declaration and trailing line break, taken without a parse. False when the
// text does not start that way (RerootedText then does the full work).
bool TextIfRooted(std::string_view objectXml, std::string_view rootName, std::string* out);
// The same on the UTF-16 form, so that an export already in that form is not converted twice.
bool TextIfRooted(std::u16string_view objectXml, std::string_view rootName, std::u16string* out);

}  // namespace kv::exchange
