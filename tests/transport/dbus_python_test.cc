// A client we did not write: dbus-python (libdbus underneath) on the private socket. libdbus
// sends its first call right behind the end of authentication and omits the interface field;
// both must work.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support/test_env.h"
#include "transport/running_server.h"

namespace kv::transport {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

constexpr char kScript[] = R"py(import sys, dbus
c = dbus.connection.Connection(sys.argv[1])
root = c.get_object(None, "/com/quorlith/Kelvarin")
o = c.get_object(None, root.CreateInstance("Kelvarin.TestCommands"))
print("echo", o.Echo("hello"))
v, ok = o.AddTo(5, 3)
print("addto", int(v), bool(ok))
print("nameof", o.NameOf(o.NewChild("kid")))
d = dbus.Interface(o, "com.quorlith.Kelvarin.IDispatch")
arg = dbus.Struct((dbus.UInt16(8), dbus.String("late", variant_level=1)))
result, byref = d.Invoke(d.GetIDsOfNames("Echo"), 1, dbus.Array([arg], signature="(qv)"))
print("invoke", int(result[0]), str(result[1]), len(byref))
try:
    o.Echo(5)
except dbus.DBusException as e:
    print("error", e.get_dbus_name())
o.Release()
print("done")
)py";

bool HavePythonDbus() {
  if (access(kPython, X_OK) != 0) return false;
  std::string cmd = std::string(kPython) + " -c 'import dbus' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

TEST(DbusPython, TalksToTheServer) {
  if (!HavePythonDbus()) GTEST_SKIP() << "python3-dbus is not installed";
  testing::TempDir dir;
  ApartmentPool pool(2);
  Server::Options options;
  options.socketPath = dir / "bus";
  testing::RunningServer running(options, pool);
  ASSERT_TRUE(running.started());
  std::ofstream(dir / "client.py") << kScript;

  // The bound only ends a stalled client so that the test fails instead of hanging.
  std::string cmd = "timeout 60 " + std::string(kPython) + " " + (dir / "client.py") + " '" +
                    running.server().Address() + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int status = pclose(p);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out,
            "echo hello\n"
            "addto 8 True\n"
            "nameof kid\n"
            "invoke 8 late 1\n"
            "error org.freedesktop.DBus.Error.InvalidArgs\n"
            "done\n");
  EXPECT_TRUE(running.WaitLastReleased());
}

}  // namespace
}  // namespace kv::transport
