#pragma once
// The one escaper for text written into XML documents by hand (introspection, the service's bus
// policy, the FindReferences reply). Pure; thread-safe.
#include <string>
#include <string_view>

namespace kv {

// `text` (UTF-8) as the content of a double-quoted attribute value, or of an element: &, <, >
// and " become entity references; tab, line feed and carriage return become character
// references, which an XML reader keeps where it would turn the characters themselves into
// spaces; every other C0 control, which XML 1.0 cannot carry even as a reference, becomes
// U+FFFD. Other bytes pass through.
std::string XmlEscape(std::string_view text);

}  // namespace kv
