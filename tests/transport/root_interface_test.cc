// Interfaces the process adds to the root object (Options::rootInterfaces): routed with and
// without the interface field, run on an apartment as the caller, answered as their writer says,
// and listed by introspection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "com/call_context.h"
#include "protocol/wire_names.h"
#include "support/test_env.h"
#include "transport/peer_identity.h"
#include "transport/running_server.h"
#include "transport/server.h"
#include "transport/test_client.h"

namespace kv::transport {
using namespace protocol;
namespace {

using testing::FakeCounters;
using testing::Reply;
using testing::TestClient;

constexpr char kProbe[] = "com.quorlith.Kelvarin.Probe";
constexpr char kOther[] = "com.quorlith.Kelvarin.Other";

// What the last run of Whoami saw.
std::atomic<bool> whoamiOnBusThread{false};

RootMethod Method(std::string name, std::string outSignature, std::string outName, std::function<ReplyWriter()> run) {
  return RootMethod{std::move(name), std::move(outSignature), std::move(outName), std::move(run)};
}

Server::Options ProbeOptions(const std::string& socket) {
  Server::Options o;
  o.socketPath = socket;
  o.rootInterfaces.push_back(RootInterface{
      kProbe,
      {
          Method("Whoami", "s", "identity",
                 [] {
                   whoamiOnBusThread = std::this_thread::get_id() == FakeCounters::busThread.load();
                   const com::CallContext* c = com::CurrentCallContext();
                   std::string who = c ? c->Identity() : "<no context>";
                   return [who](sd_bus_message* reply) { return sd_bus_message_append(reply, "s", who.c_str()); };
                 }),
          Method("Nothing", "", "", [] { return ReplyWriter(); }),
          Method("Throws", "u", "n", []() -> ReplyWriter { throw std::runtime_error("no"); }),
          Method("Unwritable", "u", "n", [] { return [](sd_bus_message*) { return -EBADMSG; }; }),
      }});
  o.rootInterfaces.push_back(RootInterface{
      kOther, {Method("Count", "u", "n", [] {
        return [](sd_bus_message* reply) { return sd_bus_message_append(reply, "u", 7u); };
      })}});
  return o;
}

std::string ReadString(const Reply& r) {
  const char* s = nullptr;
  if (!r.ok() || sd_bus_message_read_basic(r.m, 's', &s) <= 0) return "<" + r.error + " " + r.message + ">";
  return s;
}

class RootInterfaceTest : public ::testing::Test {
 protected:
  RootInterfaceTest() : running_(ProbeOptions(dir_ / "bus"), pool_) {}
  std::string Address() { return running_.server().Address(); }

  testing::TempDir dir_;
  ApartmentPool pool_{2};
  testing::RunningServer running_;
};

TEST_F(RootInterfaceTest, MethodsRunOnAnApartmentAsTheCaller) {
  TestClient client(Address());
  const std::string expected = "\\" + UserNameOf(geteuid());
  EXPECT_EQ(ReadString(client.Call(kRootPath, kProbe, "Whoami")), expected);
  EXPECT_FALSE(whoamiOnBusThread);
  // Without the interface field the method's name finds its interface.
  EXPECT_EQ(ReadString(client.Call(kRootPath, nullptr, "Whoami")), expected);
  Reply count = client.Call(kRootPath, nullptr, "Count");
  uint32_t n = 0;
  ASSERT_TRUE(count.ok()) << count.message;
  ASSERT_GE(sd_bus_message_read(count.m, "u", &n), 0);
  EXPECT_EQ(n, 7u);

  Reply nothing = client.Call(kRootPath, kProbe, "Nothing");
  ASSERT_TRUE(nothing.ok()) << nothing.message;
  EXPECT_STREQ(sd_bus_message_get_signature(nothing.m, true), "");
}

TEST_F(RootInterfaceTest, RefusedAndFailedCalls) {
  TestClient client(Address());
  struct Case {
    const char* what;
    const char* iface;
    const char* member;
    const char* args;  // one string argument when set
    const char* error;
    const char* message;  // "" to skip
  };
  const Case cases[] = {
      {"a member the interface lacks", kProbe, "Count", nullptr, kErrorUnknownMethod,
       "Unknown method Count of com.quorlith.Kelvarin.Probe"},
      {"an argument to a method that takes none", kProbe, "Whoami", "x", kErrorInvalidArgs, ""},
      {"an argument without the interface field", nullptr, "Count", "x", kErrorInvalidArgs, ""},
      {"a name no interface has", nullptr, "Nope", nullptr, kErrorUnknownMethod, ""},
      {"an interface nobody added", "com.quorlith.Kelvarin.Nowhere", "Whoami", nullptr, kErrorUnknownInterface, ""},
      {"a method that throws", kProbe, "Throws", nullptr, kErrorHResult, "0x8000FFFF E_UNEXPECTED: unexpected failure"},
      {"a reply that cannot be written", kProbe, "Unwritable", nullptr, "org.freedesktop.DBus.Error.InconsistentMessage", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply r = c.args ? client.Call(kRootPath, c.iface, c.member, "s", c.args) : client.Call(kRootPath, c.iface, c.member);
    EXPECT_EQ(r.error, c.error) << r.message;
    if (*c.message) {
      EXPECT_EQ(r.message, c.message);
    }
  }
  // The class factory is still there beside them.
  EXPECT_FALSE(client.Create().empty());
}

TEST_F(RootInterfaceTest, IntrospectionListsThemAfterTheClassFactory) {
  TestClient client(Address());
  const std::string xml = ReadString(client.Call(kRootPath, kIntrospectableInterface, "Introspect"));
  const std::string probe =
      " <interface name=\"com.quorlith.Kelvarin.Probe\">\n"
      "  <method name=\"Whoami\">\n"
      "   <arg type=\"s\" name=\"identity\" direction=\"out\"/>\n"
      "  </method>\n"
      "  <method name=\"Nothing\"/>\n"
      "  <method name=\"Throws\">\n"
      "   <arg type=\"u\" name=\"n\" direction=\"out\"/>\n"
      "  </method>\n"
      "  <method name=\"Unwritable\">\n"
      "   <arg type=\"u\" name=\"n\" direction=\"out\"/>\n"
      "  </method>\n"
      " </interface>\n"
      " <interface name=\"com.quorlith.Kelvarin.Other\">\n";
  const size_t factory = xml.find("<interface name=\"com.quorlith.Kelvarin.ClassFactory\">");
  const size_t at = xml.find(probe);
  ASSERT_NE(factory, std::string::npos) << xml;
  ASSERT_NE(at, std::string::npos) << xml;
  EXPECT_LT(factory, at);
}

TEST(RootInterfaces, NoneAddedLeavesTheRootAClassFactory) {
  testing::TempDir dir;
  ApartmentPool pool(1);
  Server::Options o;
  o.socketPath = dir / "bus";
  testing::RunningServer running(o, pool);
  TestClient client(running.server().Address());
  EXPECT_EQ(client.Call(kRootPath, nullptr, "Whoami").error, kErrorUnknownMethod);
  EXPECT_EQ(client.Call(kRootPath, kProbe, "Whoami").error, kErrorUnknownInterface);
  const std::string xml = ReadString(client.Call(kRootPath, nullptr, "Introspect"));
  EXPECT_EQ(xml.find("com.quorlith.Kelvarin.Probe"), std::string::npos);
}

}  // namespace
}  // namespace kv::transport
