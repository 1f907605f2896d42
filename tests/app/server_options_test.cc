#include "app/server_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "client/connection.h"
#include "support/scoped_var.h"
#include "protocol/socket_path.h"

namespace kv::app {
namespace {

using Bus = transport::Server::Options::Bus;

std::string Joined(const std::vector<std::string>& args) {
  std::string s;
  for (const auto& a : args) s += "[" + a + "]";
  return s;
}

TEST(ServerCommandLine, OptionsToServeWith) {
  const std::string fallback = protocol::DefaultSocketPath();
  struct Case {
    std::vector<std::string> args;
    std::string socket;
    Bus bus;
    bool exitWhenIdle;
  } cases[] = {
      {{}, fallback, Bus::Private, false},
      {{"--socket", "/srv/k/bus"}, "/srv/k/bus", Bus::Private, false},
      {{"--socket", "/a", "--socket", "/b"}, "/b", Bus::Private, false},
      {{"--bus", "system"}, fallback, Bus::System, false},
      {{"--bus", "session", "--exit-when-idle"}, fallback, Bus::Session, true},
      {{"--exit-when-idle", "--socket", "/srv/k/bus"}, "/srv/k/bus", Bus::Private, true},
      // A value after "=" is the same as the next word, and may itself hold "=".
      {{"--socket=/srv/k/bus"}, "/srv/k/bus", Bus::Private, false},
      {{"--socket=/srv/a=b"}, "/srv/a=b", Bus::Private, false},
      {{"--bus=session", "--socket=/a"}, "/a", Bus::Session, false},
      {{"--socket", "--exit-when-idle"}, "--exit-when-idle", Bus::Private, false},
  };
  for (const Case& c : cases) {
    ParsedCommandLine p = ParseCommandLine(c.args);
    SCOPED_TRACE(Joined(c.args));
    ASSERT_TRUE(p.serve) << p.err;
    EXPECT_EQ(p.exitCode, 0);
    EXPECT_EQ(p.out + p.err, "");
    EXPECT_EQ(p.options.transport.socketPath, c.socket);
    EXPECT_EQ(p.options.transport.bus, c.bus);
    EXPECT_EQ(p.options.exitWhenIdle, c.exitWhenIdle);
    EXPECT_FALSE(p.options.transport.onLastObjectReleased);
  }
}

TEST(ServerCommandLine, ArgumentsThatEndTheProgram) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // a prefix of stdout
    std::string err;  // all of stderr
  } cases[] = {
      {{"--help"}, 0, "Usage: kelvarin [OPTIONS]\n", ""},
      {{"-h"}, 0, "Usage: kelvarin [OPTIONS]\n", ""},
      {{"--version"}, 0, "kelvarin 17.0.0.266 (command interface v7.3)\n", ""},
      {{"--socket", "/srv/k/bus", "--version"}, 0, "kelvarin 17.0.0.266 (command interface v7.3)\n", ""},
      // The first argument that ends the program decides.
      {{"--help", "--bogus"}, 0, "Usage: kelvarin [OPTIONS]\n", ""},
      {{"--bogus", "--help"}, 0, "Usage: kelvarin [OPTIONS]\n", ""},
      {{"serve", "--help"}, 0, "Usage: kelvarin [OPTIONS]\n", ""},
      {{"--socket"}, 2, "", "kelvarin: --socket needs a value\n"},
      {{"--exit-when-idle", "--bus"}, 2, "", "kelvarin: --bus needs a value\n"},
      {{"--bus", "tcp"}, 2, "", "kelvarin: --bus takes system or session, not 'tcp'\n"},
      {{"--bus", "System"}, 2, "", "kelvarin: --bus takes system or session, not 'System'\n"},
      // An option's value is the next word, whatever it looks like.
      {{"--bus", "--help"}, 2, "", "kelvarin: --bus takes system or session, not '--help'\n"},
      {{"--bus=tcp"}, 2, "", "kelvarin: --bus takes system or session, not 'tcp'\n"},
      {{"--socket="}, 2, "", "kelvarin: --socket needs a value\n"},
      {{"--exit-when-idle=yes"}, 2, "", "kelvarin: --exit-when-idle takes no value\n"},
      {{"--help=x"}, 2, "", "kelvarin: --help takes no value\n"},
  };
  for (const Case& c : cases) {
    ParsedCommandLine p = ParseCommandLine(c.args);
    SCOPED_TRACE(Joined(c.args));
    EXPECT_FALSE(p.serve);
    EXPECT_EQ(p.exitCode, c.exitCode);
    EXPECT_EQ(p.out.substr(0, c.out.size()), c.out);
    if (c.out.empty()) {
      EXPECT_EQ(p.out, "");
    }
    EXPECT_EQ(p.err, c.err);
  }
}

// Any other argument still runs the server: it is named on stderr and skipped. Only whole
// option names count (no abbreviations, no single dash for long names).
TEST(ServerCommandLine, UnknownArgumentsAreNamedAndTheServerRuns) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
    bool exitWhenIdle = false;
  } cases[] = {
      {{"--RegServer"}, "kelvarin: ignoring unknown argument '--RegServer'\n"},
      {{""}, "kelvarin: ignoring unknown argument ''\n"},
      {{"socket"}, "kelvarin: ignoring unknown argument 'socket'\n"},
      {{"--sock", "/a"}, "kelvarin: ignoring unknown argument '--sock'\nkelvarin: ignoring unknown argument '/a'\n"},
      {{"--he"}, "kelvarin: ignoring unknown argument '--he'\n"},
      {{"-socket", "/a"}, "kelvarin: ignoring unknown argument '-socket'\nkelvarin: ignoring unknown argument '/a'\n"},
      {{"-x"}, "kelvarin: ignoring unknown argument '-x'\n"},
      {{"serve", "--exit-when-idle"}, "kelvarin: ignoring unknown argument 'serve'\n", true},
      {{"--", "--help", "x"}, "kelvarin: ignoring unknown argument '--help'\nkelvarin: ignoring unknown argument 'x'\n"},
  };
  for (const Case& c : cases) {
    ParsedCommandLine p = ParseCommandLine(c.args);
    SCOPED_TRACE(Joined(c.args));
    EXPECT_TRUE(p.serve);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(p.options.exitWhenIdle, c.exitWhenIdle);
  }
}

// Both programs report the one release they belong to.
TEST(ServerCommandLine, ClientAndServerVersionsAgree) {
  EXPECT_STREQ(kServerVersion, cli::kCliVersion);
}

// The server's default socket is where a client without --address looks.
TEST(ServerCommandLine, DefaultSocketIsTheClientsDefault) {
  const std::optional<std::string> unset;
  struct Case {
    std::optional<std::string> socket, runtime;
  } cases[] = {{unset, unset}, {unset, "/run/user/1000"}, {"/srv/k/bus", "/run/user/1000"}, {"", ""}};
  for (const Case& c : cases) {
    testing::ScopedVar socket("KELVARIN_SOCKET", c.socket), runtime("XDG_RUNTIME_DIR", c.runtime);
    ParsedCommandLine p = ParseCommandLine({});
    ASSERT_TRUE(p.serve);
    EXPECT_EQ(client::Connection::UnixAddress(p.options.transport.socketPath), client::Connection::DefaultAddress())
        << c.socket.value_or("(unset)") << " " << c.runtime.value_or("(unset)");
  }
}

}  // namespace
}  // namespace kv::app
