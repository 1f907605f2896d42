#pragma once
// UTF-8 (the narrow code page of this system) <-> UTF-16 (the wide strings of the interfaces).
// Malformed input never fails: each bad sequence becomes U+FFFD. The conversions live with the
// system's one UTF-8 encoder in platform/utf8.h, which the registry files use too.
#include "platform/utf8.h"

namespace kv::com {

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

}  // namespace kv::com
