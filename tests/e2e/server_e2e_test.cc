// The real server binary driven over D-Bus by our client library, by busctl and by dbus-python.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "client/connection.h"
#include "client/remote_object.h"
#include "com/utf.h"
#include "dispatch/command_binding.h"
#include "dispatch/method_tables.h"
#include "protocol/method_info.h"
#include "e2e/server_process.h"
#include "platform/registry_store.h"

namespace kv {
namespace {

using client::CallResult;
using client::Connection;
using client::RemoteObject;
using com::Variant;

// Both helpers are used as ASSERT_TRUE(Connect(...)): on failure the out pointer is null and
// the test must stop before it dereferences it.
::testing::AssertionResult Connect(const testing::ServerProcess& s, std::shared_ptr<Connection>* out) {
  auto st = Connection::Open(s.Address(), out);
  if (!st.ok() || !*out) return ::testing::AssertionFailure() << "connect to " << s.Address() << ": " << st.message();
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult NewObject(const std::shared_ptr<Connection>& c, std::shared_ptr<RemoteObject>* out,
                                     const char* cls = "Kelvarin.CalcCommands") {
  if (!c) return ::testing::AssertionFailure() << "no connection";
  auto st = c->CreateInstance(cls, out);
  if (!st.ok() || !*out) return ::testing::AssertionFailure() << "CreateInstance " << cls << ": " << st.message();
  return ::testing::AssertionSuccess();
}

// A connection to `s` with a new main command object on it.
::testing::AssertionResult Open(const testing::ServerProcess& s, std::shared_ptr<Connection>* conn,
                                std::shared_ptr<RemoteObject>* obj) {
  ::testing::AssertionResult connected = Connect(s, conn);
  return connected ? NewObject(*conn, obj) : connected;
}

TEST(ServerE2E, TypedAndLateBoundCallsReachTheSameCommands) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(Open(server, &conn, &obj));

  CallResult r;
  ASSERT_TRUE(obj->Call("CalcCommandVersion", {}, &r).ok());
  EXPECT_EQ(r.result.bstr().ToUtf8(), "v7.3");
  ASSERT_TRUE(obj->Call("GetCalculationList", {}, &r).ok());
  EXPECT_TRUE(r.result.IsEmpty());
  ASSERT_TRUE(obj->Call("GetLibraryList", {}, &r).ok());
  ASSERT_TRUE(obj->Call("GetCalculationObject", {Variant::Str("Missing")}, &r).ok());
  EXPECT_EQ(r.result.vt(), com::VT_DISPATCH);
  ASSERT_TRUE(obj->Call("GetLibraryObject", {Variant::Str("Missing")}, &r).ok());
  ASSERT_TRUE(obj->Call("GetLibraryObjectEx", {Variant::Str("Missing")}, &r).ok());
  ASSERT_TRUE(obj->Call("GetCalculationSummary", {}, &r).ok());
  EXPECT_EQ(r.result.array().Count(), 6u);
  ASSERT_TRUE(obj->Call("CheckAccess", {Variant::I4(0x10)}, &r).ok());
  EXPECT_EQ(r.result, Variant::Bool(true));  // the server's own account holds every right by default
  ASSERT_TRUE(obj->Call("GetFormulaList", {Variant()}, &r).ok());
  ASSERT_TRUE(obj->Call("GetLastCommandError", {Variant::I4(0)}, &r).ok());
  EXPECT_EQ(r.outArgs.at(0), Variant::I4(151));
  EXPECT_EQ(r.result.bstr().ToUtf8(), "Object is Not a Library.");
  ASSERT_TRUE(obj->Call("GetLastErrorText", {}, &r).ok());
  EXPECT_EQ(r.result.bstr().ToUtf8(), "Object is Not a Library.");

  com::DISPID id = 0;
  ASSERT_TRUE(obj->GetIDsOfNames("CalcExecute", &id).ok());
  EXPECT_EQ(id, 1);
  ASSERT_TRUE(obj->GetIDsOfNames("CalculationCrossReferenceEx", &id).ok());
  EXPECT_EQ(id, 131);
  ASSERT_TRUE(obj->GetIDsOfNames("GetLastCommandError", &id).ok());
  ASSERT_TRUE(obj->Invoke(id, com::DISPATCH_METHOD, {Variant::I4(0)}, &r).ok());
  EXPECT_EQ(r.outArgs.at(0), Variant::I4(151));  // the same object and command as the typed call

  std::shared_ptr<RemoteObject> app;
  ASSERT_TRUE(NewObject(conn, &app, "Kelvarin.CalcAppCommands"));
  ASSERT_TRUE(app->Call("SetBaseDirectory", {Variant::Str("NoSuchApp")}, &r).ok());
  EXPECT_EQ(r.result, Variant::Bool(false));
  ASSERT_TRUE(app->Call("GetLastCommandError", {Variant::I4(0)}, &r).ok());
  EXPECT_EQ(r.outArgs.at(0), Variant::I4(180));
  EXPECT_TRUE(obj->Release().ok());
  EXPECT_TRUE(app->Release().ok());
}

TEST(ServerE2E, ManyClientsAndNoObjectLeft) {
  testing::ServerProcess server({"--exit-when-idle"});
  ASSERT_TRUE(server.Start());
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 16; ++t) {
    clients.emplace_back([&] {
      std::shared_ptr<Connection> conn;
      std::shared_ptr<RemoteObject> obj, app;
      ::testing::AssertionResult made = Connect(server, &conn);
      if (made) made = NewObject(conn, &obj, "Kelvarin.CalcCommands.1");
      if (made) made = NewObject(conn, &app, "Kelvarin.CalcAppCommands");
      if (!made) {
        ADD_FAILURE() << made.message();
        return void(++failures);
      }
      for (int i = 0; i < 200; ++i) {
        CallResult r;
        if (!obj->Call("CalcCommandVersion", {}, &r).ok() || r.result.bstr().ToUtf8() != "v7.3") ++failures;
        if (!app->Call("GetLastCommandError", {Variant::I4(0)}, &r).ok()) ++failures;
      }
      if (!obj->Release().ok() || !app->Release().ok()) ++failures;
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(failures.load(), 0);
  // With every object released the local server ends by itself.
  ASSERT_TRUE(server.WaitExit(std::chrono::seconds(60)));
  EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == 0);
}

TEST(ServerE2E, KilledClientsObjectsAreReleased) {
  testing::ServerProcess server({"--exit-when-idle"});
  ASSERT_TRUE(server.Start());
  std::mt19937 rng(7);
  // A keeper object holds the server up while clients die around it.
  std::shared_ptr<Connection> keeperConn;
  ASSERT_TRUE(Connect(server, &keeperConn));
  std::shared_ptr<RemoteObject> keeper;
  ASSERT_TRUE(NewObject(keeperConn, &keeper));
  for (int round = 0; round < 3; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Should this test die before killing it, the client must not call on forever.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::shared_ptr<Connection> c;
      if (!Connection::Open(server.Address(), &c).ok()) _exit(1);
      std::shared_ptr<RemoteObject> obj;
      if (!c->CreateInstance("Kelvarin.CalcCommands", &obj).ok()) _exit(1);
      for (CallResult r; obj->Call("GetCalculationSummary", {}, &r).ok();) {
      }
      _exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 100));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    CallResult r;
    EXPECT_TRUE(keeper->Call("CalcCommandVersion", {}, &r).ok());
  }
  // Once the keeper goes, nothing of the killed clients may be left holding the server.
  keeperConn.reset();
  keeper.reset();
  EXPECT_TRUE(server.WaitExit(std::chrono::seconds(60)));
}

TEST(ServerE2E, MalformedCallsAreAnsweredAndTheServerStaysUp) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(Open(server, &conn, &obj));
  struct Case {
    const char* path;
    const char* iface;
    const char* member;
    const char* signature;
  } cases[] = {
      {nullptr, "com.quorlith.Kelvarin.ICalcCommands", "GetCalculationObject", "i"},  // wrong signature
      {nullptr, "com.quorlith.Kelvarin.ICalcCommands", "NoSuchMethod", ""},
      {"/com/quorlith/Kelvarin/obj/999999", "com.quorlith.Kelvarin.ICalcCommands", "CalcCommandVersion", ""},
      {"/com/quorlith/Kelvarin", "com.quorlith.Kelvarin.ClassFactory", "CreateInstance", "i"},
      {"/com/quorlith/Kelvarin", "com.quorlith.Kelvarin.ClassFactory", "CreateInstance", "s"},  // unknown class
  };
  for (const auto& c : cases) {
    sd_bus_message* m = nullptr;
    ASSERT_TRUE(conn->NewCall(c.path ? c.path : obj->path(), c.iface, c.member, &m).ok());
    if (std::string(c.signature) == "i") sd_bus_message_append(m, "i", 42);
    if (std::string(c.signature) == "s") sd_bus_message_append(m, "s", "No.Such.Class");
    sd_bus_message* reply = nullptr;
    auto st = conn->Send(m, &reply);
    EXPECT_FALSE(st.ok()) << c.member;
    sd_bus_message_unref(m);
    sd_bus_message_unref(reply);
  }
  // Nested arrays deeper than the encoding allows.
  {
    com::Variant v = com::Variant::I4(1);
    for (int i = 0; i < 40; ++i) {
      com::SafeArray a(com::VT_VARIANT, 0, 1);
      a.At(0) = v;
      v = com::Variant::Array(std::move(a));
    }
    com::DISPID id;
    ASSERT_TRUE(obj->GetIDsOfNames("GetFormulaList", &id).ok());
    CallResult r;
    EXPECT_FALSE(obj->Invoke(id, com::DISPATCH_METHOD, {v}, &r).ok());
  }
  std::shared_ptr<Connection> otherConn;
  ASSERT_TRUE(Connect(server, &otherConn));
  std::shared_ptr<RemoteObject> other;
  ASSERT_TRUE(NewObject(otherConn, &other));
  CallResult r;
  ASSERT_TRUE(other->Call("CalcCommandVersion", {}, &r).ok());
  EXPECT_EQ(r.result.bstr().ToUtf8(), "v7.3");
  ASSERT_TRUE(obj->Call("CalcCommandVersion", {}, &r).ok());
}

TEST(ServerE2E, ClientsWeDidNotWrite) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  std::string intro = testing::Shell("busctl --address=" + server.Address() +
                          " introspect com.quorlith.Kelvarin /com/quorlith/Kelvarin 2>&1");
  EXPECT_NE(intro.find(".CreateInstance"), std::string::npos) << intro;
  std::string created = testing::Shell("busctl --address=" + server.Address() +
                            " call com.quorlith.Kelvarin /com/quorlith/Kelvarin com.quorlith.Kelvarin.ClassFactory"
                            " CreateInstance s Kelvarin.CalcCommands 2>&1");
  EXPECT_NE(created.find("/com/quorlith/Kelvarin/obj/"), std::string::npos) << created;

  if (testing::Shell("/usr/bin/python3 -c 'import dbus; print(1)' 2>/dev/null").find('1') == std::string::npos)
    GTEST_SKIP() << "python3-dbus is not installed";
  std::string script =
      "import dbus\n"
      "c = dbus.connection.Connection('" + server.Address() + "')\n"
      "f = c.get_object('com.quorlith.Kelvarin', '/com/quorlith/Kelvarin')\n"
      "p = f.CreateInstance('Kelvarin.CalcCommands', dbus_interface='com.quorlith.Kelvarin.ClassFactory')\n"
      "o = c.get_object('com.quorlith.Kelvarin', p)\n"
      "print(o.CalcCommandVersion())\n"
      "print(o.GetIDsOfNames('CalcExecute', dbus_interface='com.quorlith.Kelvarin.IDispatch'))\n"
      "print(int(o.GetLastCommandError(7, dbus_interface='com.quorlith.Kelvarin.ICalcCommands')[0]))\n";
  std::ofstream(server.DataDir() + ".py") << script;
  std::string out = testing::Shell("/usr/bin/python3 " + server.DataDir() + ".py 2>&1");
  EXPECT_EQ(out, "v7.3\n1\n0\n");
}

TEST(ServerE2E, OneCallWritesItsLogLines) {
  testing::ServerProcess server;
  {
    platform::RegistryStore reg(server.RegistryDir() + "/system.reg", server.RegistryDir() + "/user.reg");
    for (const char* c : {"Methods", "Calls", "InParams", "Results", "Steps", "Validation", "Security"})
      reg.SetValue(platform::RegHive::LocalMachine, "SOFTWARE\\Quorlith\\Morvane Calc\\Logging\\Kelvarin", c,
                   platform::RegValue::String("ON"));
  }
  ASSERT_TRUE(server.Start());
  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(Open(server, &conn, &obj));
  CallResult r;
  ASSERT_TRUE(obj->Call("CalcCommandVersion", {}, &r).ok());
  server.Stop();

  std::string log;
  for (const auto& e : std::filesystem::recursive_directory_iterator(server.DataDir()))
    if (e.path().extension() == ".log") {
      std::ifstream in(e.path(), std::ios::binary);
      log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.substr(0, 2), "\xFF\xFE");
  std::u16string wide((log.size() - 2) / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(log[2 + 2 * i]) | (static_cast<unsigned char>(log[3 + 2 * i]) << 8));
  std::string text = com::Utf16ToUtf8(wide);
  size_t start = text.find("ICalcCommands::CalcCommandVersion: Method - Start\r\n");
  ASSERT_NE(start, std::string::npos) << text;
  // The empty line, then "(tid) MM/DD/YYYY hh:mm:ss.mmm " before each message.
  size_t lineStart = text.rfind("\r\n(", start);
  ASSERT_NE(lineStart, std::string::npos);
  EXPECT_EQ(text.substr(lineStart - 2, 2), "\r\n");
  std::string tail = text.substr(lineStart + 2);
  std::vector<std::string> lines;
  for (size_t p = 0, q; (q = tail.find("\r\n", p)) != std::string::npos; p = q + 2) lines.push_back(tail.substr(p, q - p));
  ASSERT_GE(lines.size(), 3u);
  const char* want[] = {"ICalcCommands::CalcCommandVersion: Method - Start",
                        "ICalcCommands::CalcCommandVersion: Result( v7.3 )",
                        "ICalcCommands::CalcCommandVersion: Method - End (S_OK)"};
  for (int i = 0; i < 3; ++i) {
    const std::string& l = lines[static_cast<size_t>(i)];
    size_t close = l.find(") ");
    ASSERT_NE(close, std::string::npos) << l;
    EXPECT_EQ(l[0], '(');
    std::string stamp = l.substr(close + 2, 24);
    EXPECT_TRUE(stamp[2] == '/' && stamp[5] == '/' && stamp[10] == ' ' && stamp[13] == ':' && stamp[19] == '.') << stamp;
    EXPECT_EQ(l.substr(close + 2 + 24), want[i]);
  }
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

TEST(ServerE2E, CommandLineClient) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  const std::string cli = std::string(KELVARIN_CLI) + " --address " + server.Address();
  struct Case {
    std::string args;
    int status;
    const char* output;
  } cases[] = {
      {"CalcCommandVersion", 0, "v7.3"},
      {"--json CalcCommandVersion", 0, "\"result\":\"v7.3\""},
      {"CheckAccess 16", 0, "True"},
      {"GetFormulaList @nothing", 2, ""},
      {"NoSuchMethod", 2, ""},
      {"--app NoSuchApp GetCalculationList", 1, ""},
  };
  for (const auto& c : cases) {
    std::string out;
    FILE* p = popen((cli + " " + c.args + " 2>&1; echo \"status=$?\"").c_str(), "r");
    ASSERT_TRUE(p);
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
    EXPECT_NE(out.find("status=" + std::to_string(c.status)), std::string::npos) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.output), std::string::npos) << c.args << "\n" << out;
  }
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// The whole edit workflow of a calculation, as an operator would type it.
TEST(ServerE2E, EditWorkflowThroughTheCommandLineClient) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  const std::string batch = server.DataDir() + ".batch";
  std::ofstream(batch) << "calc = CreateCalculationObject Flow1 \"\" \"\"\n"
                          "SetObjectProperties @calc Description \"Steam flow\"\n"
                          "SetObjectPassword @calc \"\" \"\" op secret\n"
                          "SaveCalculationObject @calc\n"
                          "edit = CreateCalculationEditObject Flow1 plant7 alice op secret\n"
                          "again = GetCalculationEditObject Flow1 plant7 alice\n"
                          "GetCalculationEditObject Flow1 plant7 bob\n"
                          "SaveCalculationEditObject @again\n"
                          "DeleteCalculationObject Flow1 op secret\n"
                          "DeleteCalculationEditObject Flow1\n"
                          "DeleteCalculationObject Flow1 op wrong\n"
                          "DeleteCalculationObject Flow1 op secret\n";
  std::string out = testing::Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " batch " + batch + " 2>&1");
  const char* expected[] = {
      "> calc = CreateCalculationObject", "/com/quorlith/Kelvarin/obj/",
      "> SaveCalculationObject @calc", "True",
      "> edit = CreateCalculationEditObject", "/com/quorlith/Kelvarin/obj/",
      "> again = GetCalculationEditObject Flow1 plant7 alice", "/com/quorlith/Kelvarin/obj/",
      "> GetCalculationEditObject Flow1 plant7 bob", "error 137: The Object is being edited by another user.",
      "> SaveCalculationEditObject @again", "True",
      "> DeleteCalculationObject Flow1 op secret", "error 159: The Object is currently beiing edited.",
      "> DeleteCalculationEditObject Flow1", "True",
      "> DeleteCalculationObject Flow1 op wrong", "error 129: Invalid password",
      "> DeleteCalculationObject Flow1 op secret", "True",
  };
  size_t pos = 0;
  for (const char* e : expected) {
    size_t at = out.find(e, pos);
    ASSERT_NE(at, std::string::npos) << "missing \"" << e << "\" after offset " << pos << " in:\n" << out;
    pos = at + std::strlen(e);
  }
  // The deleted calculation went to the recycle directory, not away.
  EXPECT_TRUE(std::filesystem::exists(server.Store() + "/Calc/Recycle/Flow1.zrc"));
  EXPECT_FALSE(std::filesystem::exists(server.Store() + "/Calc/Flow1.zrc"));
}

}  // namespace
}  // namespace kv


namespace kv {
namespace {

// Every method whose command is built answers through the typed interface of both classes,
// even with empty arguments, and the server keeps serving.
TEST(ServerE2E, EveryImplementedMethodAnswersThroughItsTypedInterface) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  std::shared_ptr<Connection> conn;
  ASSERT_TRUE(Connect(server, &conn));
  for (const char* cls : {"Kelvarin.CalcCommands", "Kelvarin.CalcAppCommands"}) {
    std::shared_ptr<RemoteObject> obj;
    ASSERT_TRUE(NewObject(conn, &obj, cls));
    int called = 0;
    const InterfaceTable& served = obj->table()->name == "ICalcCommands" ? ICalcCommandsTable() : ICalcAppCommandsTable();
    for (const MethodInfo& m : obj->table()->methods) {
      if (served.ByDispId(served.DispIdByName(m.name))->handler == &NotBuilt) continue;
      std::vector<Variant> args;
      for (const ParamInfo& p : m.params) {
        if (p.dir == ParamDir::Retval) continue;
        switch (p.type) {
          case ParamType::Bstr: args.push_back(Variant::Str("")); break;
          case ParamType::Long: args.push_back(Variant::I4(0)); break;
          case ParamType::Double: args.push_back(Variant::R8(0)); break;
          case ParamType::Date: args.push_back(Variant::Date(0)); break;
          case ParamType::Bool: args.push_back(Variant::Bool(false)); break;
          case ParamType::Dispatch: case ParamType::Variant: args.push_back(Variant()); break;
        }
      }
      CallResult r;
      auto st = obj->Call(m.name, args, &r);
      EXPECT_TRUE(st.ok()) << cls << " " << m.name << ": " << st.message();
      ++called;
    }
    EXPECT_GT(called, 60) << cls;
  }
  std::shared_ptr<Connection> otherConn;
  ASSERT_TRUE(Connect(server, &otherConn));
  std::shared_ptr<RemoteObject> other;
  ASSERT_TRUE(NewObject(otherConn, &other));
  CallResult r;
  EXPECT_TRUE(other->Call("CalcCommandVersion", {}, &r).ok());
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// A service manager waiting on $NOTIFY_SOCKET connects as soon as READY=1 arrives, without
// reading stdout: by then the server must answer.
TEST(ServerE2E, ReadyNotificationComesOnceTheServerAnswers) {
  testing::ServerProcess server;
  const std::string notifyPath = server.DataDir() + ".notify";
  struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
  } sock{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  ASSERT_GE(sock.fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(notifyPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, notifyPath.c_str(), notifyPath.size() + 1);
  ASSERT_EQ(bind(sock.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);

  ASSERT_TRUE(server.Launch({{"NOTIFY_SOCKET", notifyPath}}));
  // Status reports come first; READY=1 comes with the running state.
  std::string note;
  while (note.find("READY=1") == std::string::npos) {
    pollfd p{sock.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 60000), 1) << "no notification; server output:\n" << server.Output();
    char buf[256];
    ssize_t n = recv(sock.fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    note.assign(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(note, "READY=1\nSTATUS=running");
  EXPECT_NE(server.Output().find(std::string("\n") + app::kReadyLine + "\n"), std::string::npos)
      << "stdout says so first:\n" << server.Output();

  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(Open(server, &conn, &obj));
  CallResult r;
  ASSERT_TRUE(obj->Call("CalcCommandVersion", {}, &r).ok());
  EXPECT_EQ(r.result.bstr().ToUtf8(), "v7.3");
}

TEST(ServerE2E, ASecondServerOnTheSocketEndsAndTheFirstKeepsServing) {
  testing::ServerProcess first;
  ASSERT_TRUE(first.Start());
  testing::ServerProcess second({"--socket", first.Socket()});
  ASSERT_TRUE(second.Launch());
  ASSERT_TRUE(second.WaitExit(std::chrono::seconds(60)));
  EXPECT_TRUE(WIFEXITED(second.ExitStatus()) && WEXITSTATUS(second.ExitStatus()) == 1) << second.ExitStatus();
  EXPECT_NE(second.Output().find("kelvarin: cannot start serving: a server already listens on " + first.Socket()),
            std::string::npos)
      << second.Output();
  EXPECT_EQ(second.Output().find(app::kReadyLine), std::string::npos) << second.Output();

  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> obj;
  ASSERT_TRUE(Open(first, &conn, &obj));
  CallResult r;
  EXPECT_TRUE(obj->Call("CalcCommandVersion", {}, &r).ok());
}

// What the binary prints and returns for arguments that end it before it serves (the harness
// always passes "--socket <temp>" first).
TEST(ServerE2E, ArgumentsThatEndTheServer) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output;  // stdout and stderr together
  } cases[] = {
      {{"--version"}, 0, "kelvarin 17.0.0.266 (command interface v7.3)\n"},
      {{"--bus", "tcp"}, 2, "kelvarin: --bus takes system or session, not 'tcp'\n"},
      {{"--socket"}, 2, "kelvarin: --socket needs a value\n"},
  };
  for (const Case& c : cases) {
    testing::ServerProcess server(c.args);
    ASSERT_TRUE(server.Launch());
    ASSERT_TRUE(server.WaitExit(std::chrono::seconds(60))) << c.args[0];
    EXPECT_TRUE(WIFEXITED(server.ExitStatus()) && WEXITSTATUS(server.ExitStatus()) == c.status)
        << c.args[0] << ": status " << server.ExitStatus();
    EXPECT_EQ(server.Output(), c.output) << c.args[0];
  }
}

}  // namespace
}  // namespace kv
