#pragma once
// The free names of a Lua 5.4 script, found exactly by Lua's own compiler: the script is
// compiled (never run) and its byte code read back, so locals, fields, keywords, string
// contents, labels and every scoping rule of the language are the compiler's. A name is free
// when the script reads or writes it as a global (through _ENV) in any of its functions.
#include <string>
#include <utility>
#include <vector>

namespace kv::engine {

struct ScriptNames {
  // Every global read or written, sorted, without repeats.
  std::vector<std::string> globals;
  // The globals read, and those written (assigned), each sorted, without repeats.
  std::vector<std::string> read;
  std::vector<std::string> written;
  // Fields read straight off a global ("Stats.Mean" as {"Stats", "Mean"}), sorted, no repeats.
  std::vector<std::pair<std::string, std::string>> fields;
};

// False and the compiler's message (with its line) when the script does not compile. Scripts
// with more than 255 distinct constants in one function reach some globals through a register
// the reader does not follow; those few names are missed, never invented.
bool AnalyzeScript(const std::string& script, const std::string& chunkName, ScriptNames* out, std::string* error);

}  // namespace kv::engine
