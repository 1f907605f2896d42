#include "transport/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "support/test_env.h"
#include "protocol/message_pad.h"
#include "transport/peer_identity.h"
#include "transport/running_server.h"
#include "transport/test_client.h"
#include "protocol/variant_codec.h"
#include "protocol/wire_names.h"

namespace kv::transport {
using namespace protocol;
namespace {

using com::Variant;
using testing::FakeCounters;
using testing::Reply;
using testing::TestClient;

constexpr char kTyped[] = "com.quorlith.Kelvarin.IFakeCommands";

std::string ReadString(const Reply& r) {
  const char* s = nullptr;
  if (!r.ok() || sd_bus_message_read_basic(r.m, 's', &s) <= 0) return "<" + r.error + " " + r.message + ">";
  return s;
}

std::string ReadPath(const Reply& r) {
  const char* s = nullptr;
  if (!r.ok() || sd_bus_message_read_basic(r.m, 'o', &s) <= 0) return "<" + r.error + " " + r.message + ">";
  return s;
}

// Result and by-reference list of an IDispatch.Invoke reply (objects are not expected).
void ReadInvoke(const Reply& r, Variant* result, std::vector<Variant>* byref) {
  ASSERT_TRUE(r.ok()) << r.error << " " << r.message;
  ASSERT_GE(ReadVariant(r.m, result, nullptr, nullptr), 0);
  ASSERT_GE(ReadVariantList(r.m, byref, nullptr, nullptr), 0);
}

// Appends `args` as the a(qv) of an Invoke call.
sd_bus_message* InvokeCall(TestClient& c, const std::string& path, int32_t dispid, uint32_t flags,
                           const std::vector<Variant>& args) {
  sd_bus_message* m = c.NewCall(path, kDispatchInterface, "Invoke");
  sd_bus_message_append(m, "iu", dispid, flags);
  EXPECT_GE(AppendVariantList(m, args, nullptr, nullptr), 0);
  return m;
}

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() : running_(Options(), pool_) {
    FakeCounters::ranOnBusThread = 0;
    FakeCounters::destroyedOffThread = 0;
  }
  ~ServerTest() override {
    EXPECT_EQ(FakeCounters::ranOnBusThread.load(), 0) << "object code ran on the bus thread";
  }
  Server::Options Options() {
    Server::Options o;
    o.socketPath = dir_ / "run/kelvarin/bus";
    return o;
  }
  std::string Address() { return running_.server().Address(); }

  testing::TempDir dir_;
  ApartmentPool pool_{3};
  testing::RunningServer running_;
};

TEST_F(ServerTest, CreateInstanceTakesProgIdsAndClassIds) {
  TestClient client(Address());
  std::set<std::string> paths;
  for (const char* name : {"Kelvarin.TestCommands", "Kelvarin.TestCommands.1", "kelvarin.testcommands",
                           "{6B1D5A2E-0000-4000-8000-00000000F00D}"}) {
    std::string path = client.Create(name);
    EXPECT_EQ(path.rfind(kObjectPathPrefix, 0), 0u) << path;
    paths.insert(path);
  }
  EXPECT_EQ(paths.size(), 4u);
  EXPECT_EQ(running_.server().ObjectCount(), 4);

  struct Case {
    const char* name;
    const char* hresult;
  };
  for (const Case& c : {Case{"No.Such.Class", "0x800401F3 CO_E_CLASSSTRING: invalid class string"}, Case{"{00000000-0000-0000-0000-000000000001}", "0x80040154 REGDB_E_CLASSNOTREG: class not registered"}}) {
    Reply r = client.Call(kRootPath, kClassFactoryInterface, "CreateInstance", "s", c.name);
    EXPECT_EQ(r.error, kErrorHResult) << c.name;
    EXPECT_EQ(r.message, c.hresult) << c.name;
  }
  EXPECT_EQ(running_.server().ObjectCount(), 4);
}

TEST_F(ServerTest, TypedCallsWorkWithAndWithoutTheInterfaceField) {
  TestClient client(Address());
  std::string obj = client.Create();
  EXPECT_EQ(ReadString(client.Call(obj, kTyped, "Echo", "s", "with")), "with");
  EXPECT_EQ(ReadString(client.Call(obj, nullptr, "Echo", "s", "without")), "without");

  Reply scaled = client.Call(obj, nullptr, "Scale", "ddb", 2.5, 100.0, 1);
  double d = 0;
  ASSERT_TRUE(scaled.ok()) << scaled.message;
  ASSERT_GE(sd_bus_message_read(scaled.m, "d", &d), 0);
  EXPECT_EQ(d, 97.5);

  Reply own = client.Call(obj, kTyped, "OnOwnApartment");
  int b = 0;
  ASSERT_TRUE(own.ok());
  ASSERT_GE(sd_bus_message_read(own.m, "b", &b), 0);
  EXPECT_TRUE(b) << "calls must run on the apartment that created the object";
}

TEST_F(ServerTest, LateBoundCallsReachTheSameMethodsAsTypedOnes) {
  TestClient client(Address());
  std::string obj = client.Create();

  Reply id = client.Call(obj, kDispatchInterface, "GetIDsOfNames", "s", "echo");
  int32_t dispid = 0;
  ASSERT_TRUE(id.ok()) << id.message;
  ASSERT_GE(sd_bus_message_read(id.m, "i", &dispid), 0);
  EXPECT_EQ(dispid, 1);
  Reply unknown = client.Call(obj, nullptr, "GetIDsOfNames", "s", "Nope");
  EXPECT_EQ(unknown.error, kErrorHResult);
  EXPECT_EQ(unknown.message, "0x80020006 DISP_E_UNKNOWNNAME: unknown name");

  int before = FakeCounters::invokes;
  Variant result;
  std::vector<Variant> byref;
  ReadInvoke(client.Send(InvokeCall(client, obj, dispid, com::DISPATCH_METHOD, {Variant::Str("late")})), &result, &byref);
  EXPECT_EQ(result, Variant::Str("late"));
  EXPECT_EQ(byref, std::vector<Variant>{Variant::Str("late")});
  EXPECT_EQ(ReadString(client.Call(obj, kTyped, "Echo", "s", "typed")), "typed");
  EXPECT_EQ(FakeCounters::invokes - before, 2);
}

TEST_F(ServerTest, InOutArgumentsComeBack) {
  TestClient client(Address());
  std::string obj = client.Create();

  Reply typed = client.Call(obj, kTyped, "AddTo", "ii", 5, 3);
  int32_t value = 0;
  int ok = 0;
  ASSERT_TRUE(typed.ok()) << typed.message;
  ASSERT_GE(sd_bus_message_read(typed.m, "ib", &value, &ok), 0);
  EXPECT_EQ(value, 8);
  EXPECT_TRUE(ok);

  Variant result;
  std::vector<Variant> byref;
  ReadInvoke(client.Send(InvokeCall(client, obj, 2, com::DISPATCH_METHOD, {Variant::I4(5), Variant::I4(-9)})), &result,
             &byref);
  EXPECT_EQ(result, Variant::Bool(false));
  EXPECT_EQ(byref, (std::vector<Variant>{Variant::I4(-4), Variant::I4(-9)}));

  // A variant in/out parameter carries arrays both ways.
  com::SafeArray a(com::VT_VARIANT, 1, 2);
  a.At(0) = Variant::Str("x");
  a.At(1) = Variant::Date(2.5);
  Variant array = Variant::Array(std::move(a));
  sd_bus_message* m = client.NewCall(obj, nullptr, "Roundtrip");
  ASSERT_GE(AppendVariant(m, array, nullptr, nullptr), 0);
  ASSERT_GE(AppendVariant(m, Variant(), nullptr, nullptr), 0);
  Reply rt = client.Send(m);
  ASSERT_TRUE(rt.ok()) << rt.message;
  Variant copy, ret;
  ASSERT_GE(ReadVariant(rt.m, &copy, nullptr, nullptr), 0);
  ASSERT_GE(ReadVariant(rt.m, &ret, nullptr, nullptr), 0);
  EXPECT_EQ(copy, array);
  EXPECT_EQ(ret, array);
}

TEST_F(ServerTest, ObjectsReturnedByACallAreUsableInTheNext) {
  TestClient client(Address());
  std::string obj = client.Create();

  std::string kid = ReadPath(client.Call(obj, kTyped, "NewChild", "s", "kid"));
  ASSERT_EQ(kid.rfind(kObjectPathPrefix, 0), 0u) << kid;
  EXPECT_EQ(ReadString(client.Call(obj, kTyped, "NameOf", "o", kid.c_str())), "kid");
  EXPECT_EQ(ReadString(client.Call(obj, kTyped, "NameOf", "o", "/")), "");
  EXPECT_NE(ReadPath(client.Call(obj, kTyped, "NewChild", "s", "kid")), kid);

  std::string same = ReadPath(client.Call(obj, kTyped, "SameChild"));
  EXPECT_EQ(ReadPath(client.Call(obj, kTyped, "SameChild")), same);

  // The child answers IDispatch only, on the apartment of the object that returned it.
  Variant name;
  std::vector<Variant> byref;
  ReadInvoke(client.Send(InvokeCall(client, kid, 1, com::DISPATCH_PROPERTYGET, {})), &name, &byref);
  EXPECT_EQ(name, Variant::Str("kid"));
  EXPECT_EQ(client.Call(kid, kTyped, "Echo", "s", "x").error, kErrorUnknownInterface);

  // A returned command object answers its typed interface too.
  std::string more = ReadPath(client.Call(obj, nullptr, "NewCommands"));
  EXPECT_EQ(ReadString(client.Call(more, kTyped, "Echo", "s", "again")), "again");
  Reply own = client.Call(more, nullptr, "OnOwnApartment");
  int b = 0;
  ASSERT_TRUE(own.ok());
  ASSERT_GE(sd_bus_message_read(own.m, "b", &b), 0);
  EXPECT_TRUE(b);
  EXPECT_EQ(running_.server().ObjectCount(), 5);
}

TEST_F(ServerTest, ReleaseDropsTheObjectOnItsApartment) {
  TestClient client(Address());
  std::string obj = client.Create();
  std::string kid = ReadPath(client.Call(obj, kTyped, "NewChild", "s", "kid"));
  EXPECT_EQ(running_.server().ObjectCount(), 2);

  ASSERT_TRUE(client.Call(obj, kDispatchInterface, "Release").ok());
  EXPECT_EQ(running_.server().ObjectCount(), 1);
  EXPECT_EQ(FakeCounters::liveCommands, 0);
  EXPECT_EQ(client.Call(obj, kTyped, "Echo", "s", "x").error, kErrorUnknownObject);
  EXPECT_EQ(client.Call(obj, nullptr, "Release").error, kErrorUnknownObject);
  EXPECT_EQ(running_.LastReleasedCount(), 0);

  ASSERT_TRUE(client.Call(kid, nullptr, "Release").ok());
  EXPECT_TRUE(running_.WaitLastReleased());
  EXPECT_EQ(FakeCounters::liveChildren, 0);
  EXPECT_EQ(FakeCounters::destroyedOffThread, 0);
}

TEST_F(ServerTest, DisconnectReleasesTheClientsObjects) {
  TestClient stays(Address());
  std::string kept = stays.Create();
  {
    TestClient leaves(Address());
    std::string obj = leaves.Create();
    leaves.Call(obj, kTyped, "NewChild", "s", "kid");
    leaves.Call(obj, kTyped, "SameChild");
    EXPECT_EQ(running_.server().ObjectCount(), 4);
    EXPECT_EQ(running_.server().ConnectionCount(), 2u);
  }
  EXPECT_TRUE(testing::Eventually([&] { return running_.server().ObjectCount() == 1 && FakeCounters::liveChildren == 0; }));
  EXPECT_EQ(FakeCounters::liveCommands, 1);
  EXPECT_TRUE(testing::Eventually([&] { return running_.server().ConnectionCount() == 1; }));
  EXPECT_EQ(running_.LastReleasedCount(), 0);

  stays.Close();
  EXPECT_TRUE(running_.WaitLastReleased());
  EXPECT_EQ(FakeCounters::liveCommands, 0);
  EXPECT_EQ(FakeCounters::destroyedOffThread, 0);
}

TEST_F(ServerTest, MalformedCallsAreAnsweredAndChangeNothing) {
  TestClient other(Address());
  std::string foreign = other.Create();
  TestClient client(Address());
  std::string obj = client.Create();

  struct Case {
    const char* what;
    std::string path;
    const char* iface;
    const char* member;
    std::function<void(sd_bus_message*)> args;
    const char* error;
  };
  auto none = [](sd_bus_message*) {};
  const Case cases[] = {
      {"wrong signature", obj, kTyped, "Echo", [](sd_bus_message* m) { sd_bus_message_append(m, "i", 1); }, kErrorInvalidArgs},
      {"missing argument", obj, nullptr, "AddTo", [](sd_bus_message* m) { sd_bus_message_append(m, "i", 1); }, kErrorInvalidArgs},
      {"unknown method", obj, kTyped, "Nope", none, kErrorUnknownMethod},
      {"unknown method without interface", obj, nullptr, "Nope", none, kErrorUnknownMethod},
      {"unknown interface", obj, "com.quorlith.Kelvarin.Other", "Echo", none, kErrorUnknownInterface},
      {"unknown root method", kRootPath, nullptr, "Destroy", none, kErrorUnknownMethod},
      {"CreateInstance with a number", kRootPath, kClassFactoryInterface, "CreateInstance",
       [](sd_bus_message* m) { sd_bus_message_append(m, "i", 1); }, kErrorInvalidArgs},
      {"path never handed out", std::string(kObjectPathPrefix) + "999999", nullptr, "Echo",
       [](sd_bus_message* m) { sd_bus_message_append(m, "s", "x"); }, kErrorUnknownObject},
      {"another client's object", foreign, kTyped, "Echo", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "x"); },
       kErrorUnknownObject},
      {"unknown path", "/nowhere", nullptr, "Echo", none, kErrorUnknownObject},
      {"another client's object as argument", obj, kTyped, "NameOf",
       [&](sd_bus_message* m) { sd_bus_message_append(m, "o", foreign.c_str()); }, kErrorUnknownObjectArg},
      {"arrays nested too deep", obj, kDispatchInterface, "Invoke",
       [](sd_bus_message* m) {
         sd_bus_message_append(m, "iu", 6, 1);
         sd_bus_message_open_container(m, 'a', "(qv)");
         testing::AppendRawNested(m, kMaxArrayDepth + 1);
         testing::AppendRawNested(m, 1);
         sd_bus_message_close_container(m);
       },
       kErrorInvalidArgs},
      {"flags out of range", obj, kDispatchInterface, "Invoke",
       [](sd_bus_message* m) { sd_bus_message_append(m, "iua(qv)", 1, 0x10000, 0); }, kErrorInvalidArgs},
      {"Release with an argument", obj, nullptr, "Release", [](sd_bus_message* m) { sd_bus_message_append(m, "i", 1); },
       kErrorInvalidArgs},
  };
  int invokes = FakeCounters::invokes;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sd_bus_message* m = client.NewCall(c.path, c.iface, c.member);
    c.args(m);
    Reply r = client.Send(m);
    EXPECT_EQ(r.error, c.error) << r.message;
  }
  EXPECT_EQ(FakeCounters::invokes, invokes) << "a refused call reached the object";

  // Calls the object itself refuses come back as their HRESULT.
  Reply badId = client.Send(InvokeCall(client, obj, 99, com::DISPATCH_METHOD, {}));
  EXPECT_EQ(badId.error, kErrorHResult);
  EXPECT_EQ(badId.message, "0x80020003 DISP_E_MEMBERNOTFOUND: member not found");
  Reply badCount = client.Send(InvokeCall(client, obj, 1, com::DISPATCH_METHOD, {}));
  EXPECT_EQ(badCount.message, "0x8002000E DISP_E_BADPARAMCOUNT: invalid number of parameters");

  EXPECT_EQ(ReadString(client.Call(obj, kTyped, "Echo", "s", "still here")), "still here");
  EXPECT_EQ(ReadString(other.Call(foreign, kTyped, "Echo", "s", "me too")), "me too");
  EXPECT_EQ(running_.server().ObjectCount(), 2);
}

TEST_F(ServerTest, IntrospectionListsTheTablesAndTheNodes) {
  TestClient client(Address());
  std::string rootXml = ReadString(client.Call(kRootPath, kIntrospectableInterface, "Introspect"));
  EXPECT_NE(rootXml.find("<interface name=\"com.quorlith.Kelvarin.ClassFactory\">"), std::string::npos);
  EXPECT_NE(rootXml.find("<method name=\"CreateInstance\">"), std::string::npos);
  EXPECT_EQ(rootXml.find("<node name=\"obj\"/>"), std::string::npos);

  std::string obj = client.Create();
  EXPECT_NE(ReadString(client.Call(kRootPath, nullptr, "Introspect")).find("<node name=\"obj\"/>"), std::string::npos);
  std::string number = obj.substr(obj.rfind('/') + 1);
  EXPECT_NE(ReadString(client.Call(kObjectDirPath, nullptr, "Introspect")).find("<node name=\"" + number + "\"/>"),
            std::string::npos);
  EXPECT_NE(ReadString(client.Call("/", nullptr, "Introspect")).find("<node name=\"com\"/>"), std::string::npos);

  std::string xml = ReadString(client.Call(obj, kIntrospectableInterface, "Introspect"));
  for (const char* expected : {
           "<interface name=\"com.quorlith.Kelvarin.IDispatch\">",
           "<interface name=\"com.quorlith.Kelvarin.IFakeCommands\">",
           "<interface name=\"org.freedesktop.DBus.Peer\">",
           "<method name=\"AddTo\">\n"
           "   <arg type=\"i\" name=\"value\" direction=\"in\"/>\n"
           "   <arg type=\"i\" name=\"delta\" direction=\"in\"/>\n"
           "   <arg type=\"i\" name=\"value\" direction=\"out\"/>\n"
           "   <arg type=\"b\" name=\"ok\" direction=\"out\"/>\n",
           "<arg type=\"(qv)\" name=\"copy\" direction=\"in\"/>",
           "<arg type=\"o\" name=\"child\" direction=\"out\"/>",
       })
    EXPECT_NE(xml.find(expected), std::string::npos) << expected;
  EXPECT_EQ(client.Call(std::string(kObjectPathPrefix) + "999999", nullptr, "Introspect").error, kErrorUnknownObject);
}

TEST_F(ServerTest, AnswersHelloAndPeerCalls) {
  TestClient client(Address());
  EXPECT_EQ(ReadString(client.Call(kDBusPath, kDBusInterface, "Hello")).rfind(":1.", 0), 0u);
  EXPECT_TRUE(client.Call(kRootPath, kPeerInterface, "Ping").ok());
  EXPECT_TRUE(client.Call("/anywhere", nullptr, "Ping").ok());
  EXPECT_EQ(ReadString(client.Call(kRootPath, kPeerInterface, "GetMachineId")).size(), 32u);
}

TEST_F(ServerTest, CallsFromManyConnectionsAtOnce) {
  constexpr int kThreads = 8, kCalls = 200;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TestClient client(Address());
      std::string obj = client.Create();
      for (int i = 0; i < kCalls; ++i) {
        std::string text = std::to_string(t) + ":" + std::to_string(i);
        if (ReadString(client.Call(obj, i % 2 ? kTyped : nullptr, "Echo", "s", text.c_str())) != text) ++failures;
      }
      Reply added = client.Call(obj, kTyped, "AddTo", "ii", t, 1000);
      int32_t value = 0;
      int ok = 0;
      if (!added.ok() || sd_bus_message_read(added.m, "ib", &value, &ok) < 0 || value != t + 1000) ++failures;
      if (!client.Call(obj, nullptr, "Release").ok()) ++failures;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(running_.server().ObjectCount(), 0);
  EXPECT_EQ(FakeCounters::liveCommands, 0);
}

TEST_F(ServerTest, CallsRunWithTheCallersIdentity) {
  TestClient client(Address());
  std::string obj = client.Create();
  std::string expected = "\\" + UserNameOf(geteuid());
  EXPECT_EQ(ReadString(client.Call(obj, kTyped, "CallerName")), expected);
}

TEST(ServerLifecycle, StopBeforeRunEndsRunAtOnceAndRemovesTheSocket) {
  testing::TempDir dir;
  ApartmentPool pool(1);
  Server::Options o;
  o.socketPath = dir / "bus";
  {
    Server server(o, pool);
    ASSERT_EQ(server.Start(), 0);
    EXPECT_EQ(access(o.socketPath.c_str(), F_OK), 0);
    server.Stop();
    EXPECT_EQ(server.Run(), 0);
  }
  EXPECT_NE(access(o.socketPath.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kv::transport
