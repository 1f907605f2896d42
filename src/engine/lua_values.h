#pragma once
// Values between the object model (VARIANT), the tag store and Lua.
#include <string>

#include "com/variant.h"
#include "tags/tag_source.h"

struct lua_State;

namespace kv::engine {

// Pushes a scalar: nothing and null as nil, booleans, integers as Lua integers, every other
// number (reals, dates, currency) as a Lua float, text as a string.
void PushVariant(lua_State* L, const com::Variant& v);
// The value at `index` as a storable VARIANT: nil as VT_EMPTY, booleans, integers (VT_I4 when
// they fit, else VT_I8), floats as VT_R8, strings as VT_BSTR. False for tables, functions and
// the other Lua types.
bool ToVariant(lua_State* L, int index, com::Variant* out);

com::Variant FromTagValue(const tags::TagValue& v);
tags::TagValue ToTagValue(const com::Variant& v);
// The value as a number (integers, reals, booleans, numeric text); false otherwise.
bool AsNumber(const com::Variant& v, double* out);

}  // namespace kv::engine
