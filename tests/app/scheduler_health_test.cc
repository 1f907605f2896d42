// The scheduler's health on the root object, as the server adds it to the transport: the same
// interface, method, signature and introspection the clients were written against.
#include "app/scheduler_health.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "protocol/interface_xml.h"
#include "protocol/wire_names.h"
#include "service/apartment_pool.h"
#include "support/temp_dir.h"
#include "transport/server.h"
#include "transport/test_client.h"

namespace kv::app {
namespace {

using namespace protocol;
using testing::Reply;
using testing::TestClient;

// A transport server with `interfaces` on the root, serving on its own thread.
class Served {
 public:
  explicit Served(std::vector<transport::RootInterface> interfaces) {
    transport::Server::Options o;
    o.socketPath = dir_ / "bus";
    o.rootInterfaces = std::move(interfaces);
    server_ = std::make_unique<transport::Server>(o, pool_);
    std::string error;
    if (server_->Start(&error) < 0) {
      ADD_FAILURE() << "Start: " << error;
      return;
    }
    thread_ = std::thread([this] { server_->Run(); });
  }
  ~Served() {
    server_->Stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string Address() const { return server_->Address(); }

 private:
  testing::TempDir dir_;
  ApartmentPool pool_{1};
  std::unique_ptr<transport::Server> server_;
  std::thread thread_;
};

std::vector<scheduler::GroupHealthRow> ReadRows(const Reply& r) {
  std::vector<scheduler::GroupHealthRow> rows;
  EXPECT_TRUE(r.ok()) << r.error << " " << r.message;
  if (!r.ok()) return rows;
  EXPECT_STREQ(sd_bus_message_get_signature(r.m, true), kGroupHealthSignature);
  if (sd_bus_message_enter_container(r.m, 'a', "(sdddddttdd)") < 0) return rows;
  for (;;) {
    scheduler::GroupHealthRow g;
    scheduler::GroupHealth& h = g.health;
    const char* name = nullptr;
    uint64_t runs = 0, missed = 0;
    int k = sd_bus_message_read(r.m, "(sdddddttdd)", &name, &g.rateSeconds, &g.nextRunUtc, &h.lastStart,
                                &h.lastLatenessSec, &h.lastDurationSec, &runs, &missed, &h.earliestSec, &h.latestSec);
    EXPECT_GE(k, 0);
    if (k <= 0) break;
    g.name = name;
    h.runs = runs;
    h.missedRuns = missed;
    rows.push_back(g);
  }
  return rows;
}

TEST(SchedulerHealth, TheRootAnswersGroupHealthAsBefore) {
  platform::Env& env = platform::Env::Current();
  Served served({SchedulerHealthInterface(env)});
  TestClient client(served.Address());

  const Reply xml = client.Call(kRootPath, kIntrospectableInterface, "Introspect");
  const char* text = nullptr;
  ASSERT_TRUE(xml.ok()) << xml.message;
  ASSERT_GT(sd_bus_message_read_basic(xml.m, 's', &text), 0);
  // The transport writes the hooked interface from its name and signature, as the protocol has it.
  const std::string scheduler = std::string(" <interface name=\"com.quorlith.Kelvarin.Scheduler\">\n"
                                            "  <method name=\"GroupHealth\">\n"
                                            "   <arg type=\"a(sdddddttdd)\" name=\"groups\" direction=\"out\"/>\n"
                                            "  </method>\n"
                                            "  <method name=\"ItemHealth\">\n"
                                            "   <arg type=\"a(ssttissd)\" name=\"calculations\" direction=\"out\"/>\n"
                                            "  </method>\n </interface>\n");
  EXPECT_NE(std::string(text).find(ClassFactoryInterfaceXml() + scheduler), std::string::npos) << text;

  // No group threads run in this process: no rows, with and without the interface field.
  EXPECT_TRUE(ReadRows(client.Call(kRootPath, kSchedulerInterface, kGroupHealthMethod)).empty());
  EXPECT_TRUE(ReadRows(client.Call(kRootPath, nullptr, kGroupHealthMethod)).empty());

  const Reply other = client.Call(kRootPath, kSchedulerInterface, "Pause");
  EXPECT_EQ(other.error, kErrorUnknownMethod);
  EXPECT_EQ(other.message, "Unknown method Pause of com.quorlith.Kelvarin.Scheduler");
  EXPECT_EQ(client.Call(kRootPath, kSchedulerInterface, kGroupHealthMethod, "s", "x").error, kErrorInvalidArgs);
}

TEST(SchedulerHealth, RowsKeepTheirFieldsInWireOrder) {
  scheduler::GroupHealthRow ran{"FiveSec", 5, 46000.5, {}};
  ran.health.lastStart = 46000.25;
  ran.health.lastLatenessSec = 0.1015;
  ran.health.lastDurationSec = 0.002;
  ran.health.runs = 12;
  ran.health.missedRuns = 1;
  ran.health.earliestSec = -0.2;
  ran.health.latestSec = 0.12;
  const scheduler::GroupHealthRow never{"Say \"hi\"", 0.3, 0, {}};
  const std::vector<scheduler::GroupHealthRow> rows = {ran, never};

  transport::RootMethod fixed{kGroupHealthMethod, kGroupHealthSignature, "groups", [rows] {
                                return transport::ReplyWriter(
                                    [rows](sd_bus_message* reply) { return AppendGroupHealth(reply, rows); });
                              }};
  Served served({{kSchedulerInterface, {fixed}}});
  TestClient client(served.Address());
  const std::vector<scheduler::GroupHealthRow> got = ReadRows(client.Call(kRootPath, nullptr, kGroupHealthMethod));
  ASSERT_EQ(got.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const scheduler::GroupHealth &want = rows[i].health, &have = got[i].health;
    EXPECT_EQ(got[i].name, rows[i].name);
    EXPECT_EQ(got[i].rateSeconds, rows[i].rateSeconds);
    EXPECT_EQ(got[i].nextRunUtc, rows[i].nextRunUtc);
    EXPECT_EQ(have.lastStart, want.lastStart);
    EXPECT_EQ(have.lastLatenessSec, want.lastLatenessSec);
    EXPECT_EQ(have.lastDurationSec, want.lastDurationSec);
    EXPECT_EQ(have.runs, want.runs);
    EXPECT_EQ(have.missedRuns, want.missedRuns);
    EXPECT_EQ(have.earliestSec, want.earliestSec);
    EXPECT_EQ(have.latestSec, want.latestSec);
  }
}

}  // namespace
}  // namespace kv::app
