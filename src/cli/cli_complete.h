#pragma once
// What the shell completion script (tools/kelvarin-cli.bash-completion) asks through the hidden
// "kelvarin-cli --complete WORD...": the words that may come next on a command line.
#include <string>
#include <vector>

namespace kv::cli {

// `words` is the command line after the program name, its last element the word being typed
// (possibly empty). One candidate per line, those starting with the word typed: options,
// method names (any case typed), the subcommands; in a method's arguments, true/false for a
// bool and null for an object, else "<Name:type>", the parameter's name from the table as a
// hint. Nothing where file names fit (batch FILE, --socket PATH).
std::vector<std::string> CompletionCandidates(const std::vector<std::string>& words);

}  // namespace kv::cli
