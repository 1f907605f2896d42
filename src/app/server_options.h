#pragma once
// The server's command line. Parsing prints nothing (getopt_long's position is reset on each
// call), so main() decides where text goes and tests can read every outcome.
#include <string>
#include <vector>

#include "transport/server.h"

#include "base/versions.h"

namespace kv::app {

inline constexpr const char* kServerVersion = kProductVersion;

struct ServerOptions {
  transport::Server::Options transport;  // socket or bus; onLastObjectReleased is left unset
  bool exitWhenIdle = false;
};

struct ParsedCommandLine {
  // False when the program ends without serving (--help, --version, a bad argument) with
  // `exitCode`, after writing `out` to stdout and `err` to stderr.
  bool serve = false;
  int exitCode = 0;
  std::string out, err;
  ServerOptions options;
};

// `args` without the program name; a value follows its option as the next word or after "="
// (--socket PATH, --socket=PATH). Arguments are taken in order and the first one that ends
// the program decides: "--help --bogus" prints the help, "--bogus --help" fails. A bad
// argument exits with 2. Without --socket the socket is protocol::DefaultSocketPath().
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kv::app
