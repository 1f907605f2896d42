#pragma once
// kelvarin-cli tag: the process tags of the embedded tag store, read and written directly in its
// database (SQLite's locking makes that safe while the server runs), so a user can seed a
// calculation's inputs and watch its outputs without writing code. Needs no server.
#include <iosfwd>
#include <string>
#include <vector>

namespace kv::platform {
struct Env;
}  // namespace kv::platform

namespace kv::cli {

// The words after "tag" (TagHelp lists them). The database is --db PATH, else
// "<root>\bin\tags.db" under the root base directory the server uses (the "Shared Path"
// registry value, $MORVANE_CALC_BASE, or the common application data folder). Returns kExitOk,
// kExitFailure when a tag is missing or the store fails, kExitUsage for bad words.
int RunTag(const std::vector<std::string>& args, platform::Env& env, std::ostream& out, std::ostream& err);

std::string TagHelp();

}  // namespace kv::cli
