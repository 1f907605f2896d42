#pragma once
// The library formulas a Lua 5.4 script reaches: every `Name.Field` (also `Name:Field(...)` and
// `Name["Field"]`) whose Name is a free name of the script, that is a global it reads through
// its environment rather than a local, a function parameter or a loop variable in scope there.
// Found by an exact lexer and a parser that follows Lua's scoping rules (a local is visible
// from the statement after its declaration, `local function f` already inside its own body,
// `repeat ... until cond` with the block's locals in `cond`), so string contents, comments,
// long brackets, field chains such as `x.Stats.Mean` and shadowing names never count.
// Nothing is run or compiled. Thread-safe (no shared state).
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::engine {

struct ScriptReferences {
  // {"Stats", "Mean"} for `Stats.Mean(...)`, sorted, without repeats.
  std::vector<std::pair<std::string, std::string>> fields;
  // False when the script is not valid Lua: the references before the fault are kept (a script
  // that does not run still names what it was written against).
  bool complete = true;
};

ScriptReferences FindScriptReferences(std::string_view script);

}  // namespace kv::engine
