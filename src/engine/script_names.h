#pragma once
// The free names of a Lua 5.4 script, found exactly by Lua's own compiler: the script is
// compiled (never run) and its byte code read back, so locals, fields, keywords, string
// contents, labels and every scoping rule of the language are the compiler's. A name is free
// when the script reads or writes it as a global (through _ENV) in any of its functions.
// Thread-safe; the compiler refuses a script nested too deeply with an error, never a crash.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::engine {

struct ScriptNames {
  // Every global read or written, sorted, without repeats.
  std::vector<std::string> globals;
  // The globals read, and those written (assigned), each sorted, without repeats.
  std::vector<std::string> read;
  std::vector<std::string> written;
  // Fields read straight off a global just fetched: `Stats.Mean`, `Stats["Mean"]` and
  // `Stats:Mean(...)` each give {"Stats", "Mean"}; sorted, no repeats. Assigning a field
  // (`Stats.Mean = f`, `function Stats.Mean() end`) reads none.
  std::vector<std::pair<std::string, std::string>> fields;
};

// False and the compiler's message (with its line) when the script does not compile.
bool AnalyzeScript(const std::string& script, const std::string& chunkName, ScriptNames* out, std::string* error);

// The library formulas a stored script reaches: the `fields` above, none when the script does
// not compile.
std::vector<std::pair<std::string, std::string>> FormulaReferences(std::string_view script);

}  // namespace kv::engine
