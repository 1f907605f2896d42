#pragma once
// The object password: objects store a code of the password text, not the text.
#include <cstdint>
#include <string_view>

namespace kv::store {

// 0 for the empty text; otherwise the sum over every byte i (from 0) of the byte taken as a
// signed 8-bit value times (i + 42), wrapping in 32 bits. The same bytes in another order give
// another code.
int32_t PasswordCode(std::string_view text);

}  // namespace kv::store
