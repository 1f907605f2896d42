#include "base/xml_escape.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <string>

namespace kv {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

TEST(XmlEscape, EscapesMarkupKeepsWhiteSpaceAndReplacesOtherControls) {
  struct Case {
    std::string in;
    std::string want;
  } cases[] = {
      {"", ""},
      {"Flow1", "Flow1"},
      {"a<b>&\"c\"", "a&lt;b&gt;&amp;&quot;c&quot;"},
      {"&amp;", "&amp;amp;"},  // already-escaped text is text: escaped again
      {"it's", "it's"},        // values are double-quoted: the apostrophe may stand
      {"a\tb\nc\rd", "a&#9;b&#10;c&#13;d"},
      {std::string("a\0b", 3), std::string("a") + kReplacement + "b"},
      {"\x01\x08\x0B\x0C\x1F", std::string(kReplacement) + kReplacement + kReplacement + kReplacement + kReplacement},
      {" ", " "},
      {"\x7F", "\x7F"},                               // DEL is a character XML 1.0 allows
      {"Grüße 温度 \xF0\x9F\x94\xA5", "Grüße 温度 \xF0\x9F\x94\xA5"},  // bytes above 0x7F are not controls
  };
  for (const Case& c : cases) EXPECT_EQ(XmlEscape(c.in), c.want) << "input of " << c.in.size() << " bytes";
}

// What a client's XML reader gets back: every ASCII character as it was, tab, line feed and
// carriage return included, and U+FFFD for the controls XML cannot carry.
TEST(XmlEscape, ReadsBackThroughAnXmlParser) {
  std::string in, want;
  for (int c = 1; c < 0x80; ++c) {
    in += static_cast<char>(c);
    const bool carried = c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
    want += carried ? std::string(1, static_cast<char>(c)) : std::string(kReplacement);
  }
  in += "°C";
  want += "°C";
  const std::string doc = "<e a=\"" + XmlEscape(in) + "\">" + XmlEscape(in) + "</e>";
  pugi::xml_document parsed;
  const unsigned options = pugi::parse_default | pugi::parse_ws_pcdata;
  ASSERT_TRUE(parsed.load_buffer(doc.data(), doc.size(), options, pugi::encoding_utf8));
  EXPECT_EQ(std::string(parsed.child("e").attribute("a").value()), want);
  EXPECT_EQ(std::string(parsed.child("e").text().get()), want);
}

// Text XML cannot carry takes the escaped form and comes back from it; text it carries is left
// alone by the writer, and a backslash that begins no escape of ours reads as itself.
TEST(XmlEscapeUncarried, RoundTripsAndLeavesCarriedTextAlone) {
  struct Case {
    std::string in;
    bool carried;
    std::string escaped;
  } cases[] = {
      {"x = 1", true, "x = 1"},
      {"a\tb\nc\rd \x7F \xC3\xA9", true, "a\tb\nc\rd \x7F \xC3\xA9"},
      {"\x1B[1m", false, "\\u001B[1m"},
      {std::string("a\0b", 3), false, "a\\u0000b"},
      {"\x01\x1F", false, "\\u0001\\u001F"},
      {"\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD", false, "\\uFFFE\\uFFFF\xEF\xBF\xBD"},
      {"C:\\dir \\u0001", true, "C:\\\\dir \\\\u0001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(XmlCarries(c.in), c.carried);
    EXPECT_EQ(XmlEscapeUncarried(c.in), c.escaped);
    EXPECT_EQ(XmlUnescapeUncarried(c.escaped), c.in);
    EXPECT_TRUE(XmlCarries(XmlEscapeUncarried(c.in)));
  }
  // Written by hand: backslashes that begin no escape stand for themselves.
  for (const char* loose : {"\\", "a\\", "\\x", "\\u12", "\\u12G4", "\\u0041"})
    EXPECT_EQ(XmlUnescapeUncarried(loose), loose);
}

}  // namespace
}  // namespace kv
