#pragma once
// string.find, string.match, string.gmatch and string.gsub for the sandbox: the same pattern
// language, arguments and results as Lua's own, but the matcher counts its steps and, every few
// thousand of them, calls the state's step function, which raises a Lua error to end a run past
// its deadline. Lua's matcher backtracks without bound ("(.-)(.-)...b" on a few hundred
// characters runs for hours) and cannot be interrupted, so a sandbox needs one that can.
//
// The functions raise errors with lua_error (a longjmp): the matcher keeps nothing that needs a
// destructor on the stack.
struct lua_State;

namespace kv::engine {

// Called every kPatternStepPeriod steps of a match with the state that runs it; returns only
// while the run may go on.
using PatternStep = void (*)(lua_State* L);
inline constexpr int kPatternStepPeriod = 4096;

// Replaces find, match, gmatch and gsub in the string library table at `libIndex` by the
// bounded ones, which call `step`.
void InstallBoundedPatterns(lua_State* L, int libIndex, PatternStep step);

}  // namespace kv::engine
