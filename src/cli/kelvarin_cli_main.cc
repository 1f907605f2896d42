// kelvarin-cli: the command-line client of the calculation server (see cli/cli.h).
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int code = kv::cli::RunCli(args, std::cin, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
