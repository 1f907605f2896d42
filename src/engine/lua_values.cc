#include "engine/lua_values.h"

#include <lua.hpp>

#include <limits>

namespace kv::engine {

using com::FAILED;
using com::SUCCEEDED;
using com::Variant;

void PushVariant(lua_State* L, const Variant& value) {
  const Variant& v = value.Deref();
  switch (v.vt()) {
    case com::VT_BOOL: lua_pushboolean(L, v.boolVal() != com::VARIANT_FALSE); return;
    case com::VT_I1: case com::VT_I2: case com::VT_I4: case com::VT_I8: case com::VT_INT:
    case com::VT_UI1: case com::VT_UI2: case com::VT_UI4: case com::VT_UI8: case com::VT_UINT:
      lua_pushinteger(L, static_cast<lua_Integer>(v.AsInt()));
      return;
    case com::VT_BSTR: {
      const std::string s = v.bstr().ToUtf8();
      lua_pushlstring(L, s.data(), s.size());
      return;
    }
    case com::VT_R4: case com::VT_R8: case com::VT_DATE: case com::VT_CY: {
      Variant r;
      if (SUCCEEDED(com::ChangeType(v, com::VT_R8, &r))) {
        lua_pushnumber(L, r.r8());
        return;
      }
      break;
    }
    default: break;
  }
  lua_pushnil(L);
}

bool ToVariant(lua_State* L, int index, Variant* out) {
  switch (lua_type(L, index)) {
    case LUA_TNIL: *out = Variant(); return true;
    case LUA_TBOOLEAN: *out = Variant::Bool(lua_toboolean(L, index) != 0); return true;
    case LUA_TNUMBER:
      if (lua_isinteger(L, index)) {
        const lua_Integer n = lua_tointeger(L, index);
        *out = n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()
                   ? Variant::I4(static_cast<int32_t>(n))
                   : Variant::OfInt(com::VT_I8, n);
      } else {
        *out = Variant::R8(lua_tonumber(L, index));
      }
      return true;
    case LUA_TSTRING: {
      size_t len = 0;
      const char* s = lua_tolstring(L, index, &len);
      *out = Variant::Str(std::string_view(s, len));
      return true;
    }
    default: return false;
  }
}

Variant FromTagValue(const tags::TagValue& v) {
  if (const auto* n = std::get_if<int64_t>(&v))
    return *n >= std::numeric_limits<int32_t>::min() && *n <= std::numeric_limits<int32_t>::max()
               ? Variant::I4(static_cast<int32_t>(*n))
               : Variant::OfInt(com::VT_I8, *n);
  if (const auto* d = std::get_if<double>(&v)) return Variant::R8(*d);
  if (const auto* t = std::get_if<std::string>(&v)) return Variant::Str(*t);
  return Variant();
}

tags::TagValue ToTagValue(const Variant& value) {
  const Variant& v = value.Deref();
  switch (v.vt()) {
    case com::VT_EMPTY: case com::VT_NULL: return tags::TagValue();
    case com::VT_BOOL: return tags::TagValue(static_cast<int64_t>(v.boolVal() != com::VARIANT_FALSE ? 1 : 0));
    case com::VT_I1: case com::VT_I2: case com::VT_I4: case com::VT_I8: case com::VT_INT:
    case com::VT_UI1: case com::VT_UI2: case com::VT_UI4: case com::VT_UI8: case com::VT_UINT:
      return tags::TagValue(static_cast<int64_t>(v.AsInt()));
    case com::VT_BSTR: return tags::TagValue(v.bstr().ToUtf8());
    default: {
      Variant r;
      if (SUCCEEDED(com::ChangeType(v, com::VT_R8, &r))) return tags::TagValue(r.r8());
      return tags::TagValue();
    }
  }
}

bool AsNumber(const Variant& value, double* out) {
  const Variant& v = value.Deref();
  if (v.vt() == com::VT_EMPTY || v.vt() == com::VT_NULL) return false;
  Variant r;
  if (FAILED(com::ChangeType(v, com::VT_R8, &r))) return false;
  *out = r.r8();
  return true;
}

}  // namespace kv::engine
