#pragma once
// The one escaper for text written into XML documents: by hand (introspection, the service's bus
// policy, the FindReferences reply), and the escaped form of object documents' text that XML
// cannot carry. Pure; thread-safe.
#include <string>
#include <string_view>

namespace kv {

// `text` (UTF-8) as the content of a double-quoted attribute value, or of an element: &, <, >
// and " become entity references; tab, line feed and carriage return become character
// references, which an XML reader keeps where it would turn the characters themselves into
// spaces; every other C0 control, which XML 1.0 cannot carry even as a reference, becomes
// U+FFFD. Other bytes pass through.
std::string XmlEscape(std::string_view text);

// Object documents must keep every character of a value (a script may hold ESC), but XML 1.0
// has no form at all for the C0 controls other than tab, line feed and carriage return, nor for
// U+FFFE and U+FFFF: "&#27;" is refused by a conforming parser like the raw character. An
// element whose text or attribute values hold such a character is written with the attribute
// kXmlEscapedAttribute="1", and its text and attribute values in the escaped form: each such
// character as "\uXXXX" (four upper-case hex digits) and each backslash doubled. Text without
// one is written as it is, so ordinary documents do not change.
inline constexpr char kXmlEscapedAttribute[] = "escaped";
// Whether XML 1.0 carries every character of `text` (UTF-8).
bool XmlCarries(std::string_view text);
// `text` (UTF-8) in the escaped form, and back. Unescaping leaves a backslash that begins no
// escape as it is.
std::string XmlEscapeUncarried(std::string_view text);
std::string XmlUnescapeUncarried(std::string_view text);

}  // namespace kv
