#include "protocol/socket_path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/scoped_var.h"

namespace kv::protocol {
namespace {

using testing::ScopedVar;

TEST(SocketPath, FirstSetSourceWins) {
  const std::nullopt_t unset = std::nullopt;
  struct Case {
    std::optional<std::string> socket, runtime;
    uid_t euid;
    const char* expected;
  } cases[] = {
      {"/srv/k.sock", "/run/user/1000", 1000, "/srv/k.sock"},
      {"/srv/k.sock", unset, 0, "/srv/k.sock"},
      {"", "/run/user/1000", 1000, "/run/user/1000/kelvarin/bus"},  // empty is as unset
      {unset, "/run/user/1000", 0, "/run/user/1000/kelvarin/bus"},
      {unset, unset, 0, "/run/kelvarin/bus"},
      {unset, "", 0, "/run/kelvarin/bus"},
      // Without a runtime directory a user cannot create /run/kelvarin; server and client agree
      // on a folder of the user's own.
      {unset, unset, 1000, "/tmp/kelvarin-1000/bus"},
      {"", "", 4242, "/tmp/kelvarin-4242/bus"},
  };
  for (const Case& c : cases) {
    ScopedVar socket("KELVARIN_SOCKET", c.socket), runtime("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(DefaultSocketPath(c.euid), c.expected)
        << "KELVARIN_SOCKET=" << c.socket.value_or("(unset)") << " XDG_RUNTIME_DIR=" << c.runtime.value_or("(unset)")
        << " euid=" << c.euid;
  }
}

}  // namespace
}  // namespace kv::protocol
