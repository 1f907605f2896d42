// The per-connection limits of Server::Options, against clients that push them.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "transport/running_server.h"
#include "transport/server.h"
#include "transport/test_client.h"
#include "protocol/wire_names.h"

namespace kv::transport {
using namespace protocol;
namespace {

using testing::FakeCounters;
using testing::Reply;
using testing::TestClient;

constexpr char kTyped[] = "com.quorlith.Kelvarin.IFakeCommands";
constexpr char kLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";

struct Limits {
  size_t queuedBytes = size_t{16} << 20;
  size_t pendingCalls = 1024;
  size_t objects = 10000;
};

class ConnectionLimitsTest : public ::testing::Test {
 protected:
  void Serve(Limits limits) {
    Server::Options o;
    o.socketPath = dir_ / "bus";
    o.maxQueuedBytes = limits.queuedBytes;
    o.maxPendingCalls = limits.pendingCalls;
    o.maxObjects = limits.objects;
    running_ = std::make_unique<testing::RunningServer>(o, pool_);
  }
  Server& server() { return running_->server(); }
  std::string Address() { return server().Address(); }

  // Sends `count` Echo calls of `text` to `obj` on `bus` without reading; false when the server
  // hung up before all were written.
  static bool PipelineEchoes(sd_bus* bus, const std::string& obj, const std::string& text, int count) {
    for (int i = 0; i < count; ++i) {
      sd_bus_message* m = nullptr;
      if (sd_bus_message_new_method_call(bus, &m, nullptr, obj.c_str(), kTyped, "Echo") < 0) return false;
      sd_bus_message_append(m, "s", text.c_str());
      uint64_t cookie;  // asked for, else sd-bus marks the call as wanting no answer
      int r = sd_bus_send(bus, m, &cookie);
      sd_bus_message_unref(m);
      if (r < 0) return false;
    }
    return sd_bus_flush(bus) >= 0;
  }

  static sd_bus* Connect(const std::string& address) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0) r = sd_bus_start(bus);
    if (r < 0) ADD_FAILURE() << "connect: " << r;
    return bus;
  }

  static std::string Create(sd_bus* bus) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const char* path = nullptr;
    std::string out;
    if (sd_bus_call_method(bus, nullptr, kRootPath, kClassFactoryInterface, "CreateInstance", &error, &reply, "s",
                           "Kelvarin.TestCommands") >= 0 &&
        sd_bus_message_read(reply, "o", &path) >= 0)
      out = path;
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return out;
  }

  testing::TempDir dir_;
  ApartmentPool pool_{2};
  std::unique_ptr<testing::RunningServer> running_;
};

TEST_F(ConnectionLimitsTest, AClientThatDoesNotReadIsDisconnectedAndItsObjectsReleased) {
  Serve({.queuedBytes = 256 * 1024});
  TestClient bystander(Address());
  std::string kept = bystander.Create();

  sd_bus* hostile = Connect(Address());
  std::string obj = Create(hostile);
  ASSERT_FALSE(obj.empty());
  EXPECT_EQ(server().ObjectCount(), 2);
  // 48 MB of answers: more than the socket holds (sd-bus asks for 8 MB buffers), far more than
  // the 256 KiB allowance.
  EXPECT_FALSE(PipelineEchoes(hostile, obj, std::string(16384, 'x'), 3000)) << "the server never hung up";
  EXPECT_TRUE(testing::Eventually([&] { return server().ConnectionCount() == 1 && server().ObjectCount() == 1; }));
  sd_bus_close_unref(hostile);

  // The others are served as before.
  EXPECT_TRUE(bystander.Call(kept, kTyped, "Echo", "s", "still here").ok());
}

TEST_F(ConnectionLimitsTest, APipelineLongerThanThePendingLimitIsHeldBackNotDropped) {
  Serve({.pendingCalls = 2});
  sd_bus* bus = Connect(Address());
  std::string obj = Create(bus);
  ASSERT_FALSE(obj.empty());
  constexpr int kCalls = 500;
  ASSERT_TRUE(PipelineEchoes(bus, obj, "x", kCalls));
  int answered = 0;
  while (answered < kCalls) {
    sd_bus_message* m = nullptr;
    // sd-bus hands a client the answers to calls sent without a callback only through process.
    int r = sd_bus_process(bus, &m);
    ASSERT_GE(r, 0);
    if (m) {
      const sd_bus_error* e = sd_bus_message_get_error(m);
      EXPECT_EQ(e, nullptr) << e->name;
      ++answered;
      sd_bus_message_unref(m);
    }
    if (r == 0) {
      ASSERT_GE(sd_bus_wait(bus, 30'000'000), 0);
    }
  }
  EXPECT_EQ(server().ConnectionCount(), 1u);
  sd_bus_close_unref(bus);
}

TEST_F(ConnectionLimitsTest, ObjectsBeyondTheLimitAreRefusedWithLimitsExceeded) {
  Serve({.objects = 3});
  TestClient client(Address());
  std::string first = client.Create();
  client.Create();
  Reply child = client.Call(first, kTyped, "NewChild", "s", "third");
  ASSERT_TRUE(child.ok()) << child.message;

  // Both ways to receive a new object: the class factory and a call returning one.
  struct Case {
    const char* what;
    std::function<Reply()> call;
  };
  const std::vector<Case> cases = {
      {"CreateInstance",
       [&] { return client.Call(kRootPath, kClassFactoryInterface, "CreateInstance", "s", "Kelvarin.TestCommands"); }},
      {"NewChild", [&] { return client.Call(first, kTyped, "NewChild", "s", "fourth"); }},
  };
  for (const Case& c : cases) {
    Reply r = c.call();
    EXPECT_EQ(r.error, kLimitsExceeded) << c.what;
    EXPECT_FALSE(r.message.empty()) << c.what;
  }
  EXPECT_EQ(server().ObjectCount(), 3);
  EXPECT_TRUE(testing::Eventually([] { return FakeCounters::liveChildren == 1; })) << "the refused child was kept";

  // A release makes room again.
  EXPECT_TRUE(client.Call(first, kDispatchInterface, "Release").ok());
  EXPECT_TRUE(client.Call(kRootPath, kClassFactoryInterface, "CreateInstance", "s", "Kelvarin.TestCommands").ok());
}

TEST_F(ConnectionLimitsTest, IntrospectingTheObjectFolderListsAtMostAThousandNodes) {
  Serve({});
  TestClient client(Address());
  std::string obj = client.Create();
  for (int i = 0; i < 1004; ++i) ASSERT_TRUE(client.Call(obj, kTyped, "NewChild", "s", "c").ok());

  Reply r = client.Call(kObjectDirPath, kIntrospectableInterface, "Introspect");
  const char* xml = nullptr;
  ASSERT_TRUE(r.ok()) << r.message;
  ASSERT_GE(sd_bus_message_read(r.m, "s", &xml), 0);
  std::string text = xml;
  size_t nodes = 0;
  for (size_t at = text.find("<node name="); at != std::string::npos; at = text.find("<node name=", at + 1)) ++nodes;
  EXPECT_EQ(nodes, 1000u);
  EXPECT_NE(text.find("1000 of 1005 objects"), std::string::npos) << text.substr(0, 400);
}

}  // namespace
}  // namespace kv::transport
