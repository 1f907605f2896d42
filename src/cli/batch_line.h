#pragma once
// One line of a kelvarin-cli batch:  [NAME =] METHOD [ARG ...]
// Words are separated by blanks. "..." quotes a word with blanks (inside, \" and \\ stand for
// " and \); '...' quotes verbatim; quotes may join with plain text ("a b"c is one word a bc).
// "" or '' is an empty word. A line that is blank or whose first non-blank character is #
// is skipped. NAME (a letter or _, then letters, digits or _) keeps the call's result for
// later "@NAME" arguments; the blanks around "=" are optional.
#include <string>
#include <string_view>
#include <vector>

namespace kv::cli {

struct BatchLine {
  std::string name;  // empty when the result is not kept
  std::string method;  // empty for a blank or comment line
  std::vector<std::string> args;
};

// False with a reason in *error for an unterminated quote, a NAME = without a method, or a
// name that is not an identifier.
bool ParseBatchLine(std::string_view line, BatchLine* out, std::string* error);

// The words of a line as above (no NAME handling, no comments).
bool SplitWords(std::string_view text, std::vector<std::string>* out, std::string* error);

}  // namespace kv::cli
