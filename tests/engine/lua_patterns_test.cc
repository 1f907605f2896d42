// The sandbox's bounded find, match, gmatch and gsub answer exactly as Lua's own do: the same
// results, captures, counts and error messages, for each feature of the pattern language.
#include <gtest/gtest.h>

#include <lua.hpp>

#include <string>

#include "engine/lua_patterns.h"

namespace kv::engine {
namespace {

int g_steps = 0;
void CountStep(lua_State*) { ++g_steps; }

// Runs `code` (which calls `f`, pcall'd) in a fresh state and answers every value it returned
// or its error, as text.
std::string RunIn(const std::string& code, bool bounded) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  if (bounded) {
    lua_getglobal(L, "string");
    InstallBoundedPatterns(L, -1, &CountStep);
    lua_pop(L, 1);
  }
  const std::string chunk =
      "local function show(ok, ...) local out = {tostring(ok)} for i = 1, select('#', ...) do "
      "out[#out + 1] = type((select(i, ...))) .. ':' .. tostring((select(i, ...))) end return table.concat(out, '|') end "
      "return show(pcall(function() " + code + " end))";
  std::string result;
  if (luaL_dostring(L, chunk.c_str()) != LUA_OK) result = "load: ";
  result += lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
  lua_close(L);
  return result;
}

TEST(LuaPatterns, AnswerAsLuasOwn) {
  const char* cases[] = {
      "return string.find('hello world', 'o w')",
      "return string.find('hello world', 'o', 6)",
      "return string.find('hello', 'l', -2)",
      "return string.find('hello', 'l', -100)",
      "return string.find('hello', '', 10)",
      "return string.find('hello', '', 6)",
      "return string.find('a.b', '.', 1, true)",
      "return string.find('a+b', '+', 1, true)",
      "return string.find('abc', '[a-', 1)",
      "return string.find('x=1, y=22', '(%a)=(%d+)')",
      "return string.find('  trim me  ', '^%s*(.-)%s*$')",
      "return string.match('  trim me  ', '^%s*(.-)%s*$')",
      "return string.match('key = value', '(%w+)%s*=%s*(%w+)')",
      "return string.match('hello', '()ll()')",
      "return string.match('THE (quick) fox', '%((%a+)%)')",
      "return string.match('f(a(b)c)d', '%b()')",
      "return string.match('THE (quick) fox', '%f[%a]%a+', 5)",
      "return string.match('aaa', 'a-b')",
      "return string.match('aaab', 'a-b')",
      "return string.match('abab', '(ab)%1')",
      "return string.match('x', '()%1')",
      "return string.match('[]]', '[]]')",
      "return string.match('a^b', '[%^]')",
      "return string.match('-9.5e3', '^[+-]?%d+%.?%d*[eE]?[+-]?%d*$')",
      "return string.match('\\0a\\0', '%z')",
      "return string.match('a\\0b', 'a%zb')",
      "return string.match('a\\0b', '[\\0]')",
      "return string.match('hello', '.-$')",
      "return string.match('hello', 'l+')",
      "return string.match('hello', 'x?h')",
      "return string.match('hello', '^(h)(e)(l)(l)(o)$')",
      "return string.match('hello', '%')",
      "return string.match('hello', '[a')",
      "return string.match('hello', '(()')",
      "return string.match('hello', '%1')",
      "return string.match('hello', 'l)')",
      "return string.match('hello', '%b')",
      "return string.match('hello', '%fa')",
      "return string.match('hello', ('(.)'):rep(33))",
      "return string.match(('a'):rep(300), ('a?'):rep(250))",
      "return string.match('hello', '^')",
      "return string.match('', '$')",
      "local t = {} for k, v in string.gmatch('a=1, b=2', '(%w+)=(%w+)') do t[#t + 1] = k .. v end "
      "return table.concat(t, ',')",
      "local t = {} for w in string.gmatch('one two  three', '%a*') do t[#t + 1] = '<' .. w .. '>' end "
      "return table.concat(t)",
      "local t = {} for w in string.gmatch('abc', '', 2) do t[#t + 1] = '.' end return #t",
      "local t = {} for w in string.gmatch('abc', '.', 10) do t[#t + 1] = w end return #t",
      "local t = {} for p in string.gmatch('abc', '()') do t[#t + 1] = p end return table.concat(t, ',')",
      "local t = {} for w in string.gmatch('^a^b', '^.') do t[#t + 1] = w end return table.concat(t, ',')",
      "return string.gsub('hello world', 'o', '0')",
      "return string.gsub('hello world', 'o', '0', 1)",
      "return string.gsub('hello world', '', '-')",
      "return string.gsub('hello', '^h', 'j')",
      "return string.gsub('hello world', '(%w+)', '%1 %1')",
      "return string.gsub('hello', 'l', '%0%0%%')",
      "return string.gsub('hello', '()l', '%1')",
      "return string.gsub('hello', 'l', '%2')",
      "return string.gsub('hello', 'l', '%x')",
      "return string.gsub('hello', 'l', '%')",
      "return string.gsub('$name is $age', '%$(%w+)', {name = 'Ann', age = 7})",
      "return string.gsub('$name is $who', '%$(%w+)', {name = 'Ann'})",
      "return string.gsub('abc', '%w', function(c) return c:upper() .. '.' end)",
      "return string.gsub('abc', '%w', function(c) if c == 'b' then return false end return 1 end)",
      "return string.gsub('abc', '%w', function(c) return {} end)",
      "return string.gsub('abc', '%w', true)",
      "return string.gsub('abc', '%w', 5)",
      "return string.gsub('abc', 'x*', '-')",
      "return string.gsub('abc', '.', {a = 1, b = true})",
      "return string.gsub(12345, 3, 9)",
      "return ('x'):rep(3):gsub('x', 'yz')",
      "return string.find()",
      "return string.gsub('a', 'a')",
  };
  for (const char* code : cases) {
    SCOPED_TRACE(code);
    EXPECT_EQ(RunIn(code, true), RunIn(code, false));
  }
  // The steps were counted.
  g_steps = 0;
  RunIn("return string.find(('a'):rep(60), '.-.-.-.-b')", true);
  EXPECT_GT(g_steps, 10);
}

}  // namespace
}  // namespace kv::engine
