#pragma once
// The text rule every client-supplied name shares, whether it becomes a path (store objects) or
// a line in a file and a log (schedule groups and items): it is shown to operators, so it must
// not hide what it is. Not empty, at most `maxBytes` bytes of well-formed UTF-8, no white space
// of any script, no control character (C0, DEL, C1) and no Unicode format character
// (bidirectional overrides and isolates, byte-order mark, zero-width characters, soft hyphen,
// line and paragraph separators, ...).
#include <cstddef>
#include <string_view>

namespace kv::base {

bool IsShownName(std::string_view name, size_t maxBytes);

}  // namespace kv::base
