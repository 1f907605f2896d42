// The client library and kelvarin-cli against an in-process stand-in of the server.
#include <gtest/gtest.h>

#include <sstream>

#include "client/cli.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "fake_server.h"

namespace kv::client {
namespace {

using com::Variant;
using testing::FakeServer;

class RemoteCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Connection::Open(server.address(), &conn).ok());
    Status st = conn->CreateInstance("Kelvarin.CalcCommands", &cmd);
    ASSERT_TRUE(st.ok()) << st.ToString();
  }

  FakeServer server;
  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> cmd;
};

TEST_F(RemoteCallTest, CreateInstanceKnowsTheCommandTables) {
  EXPECT_EQ(cmd->path(), FakeServer::kCommandPath);
  EXPECT_EQ(cmd->table(), &ICalcCommandsTable());
  std::shared_ptr<RemoteObject> app;
  ASSERT_TRUE(conn->CreateInstance("Kelvarin.CalcAppCommands", &app).ok());
  EXPECT_EQ(app->table(), &ICalcAppCommandsTable());

  Status st = conn->CreateInstance("Kelvarin.Nothing", &app);
  EXPECT_EQ(st.code(), Status::Code::kRemote);
  EXPECT_EQ(st.remoteName(), "com.quorlith.Kelvarin.Error.ClassNotRegistered");
}

TEST_F(RemoteCallTest, TypedCallCarriesInOutValues) {
  CallResult r;
  Status st = cmd->Call("getconversion", {Variant::Str("T"), Variant::Str("C"), Variant::Str("K"), Variant::I4(2),
                                          Variant::R8(0)}, &r);
  ASSERT_TRUE(st.ok()) << st.ToString();
  EXPECT_EQ(r.result, Variant::Bool(true));
  EXPECT_EQ(r.outArgs, (std::vector<Variant>{Variant::Str("K!"), Variant::R8(4), Variant::R8(273.15)}));
}

TEST_F(RemoteCallTest, ObjectsComeBackAsProxiesAndGoOutAsTheirPaths) {
  CallResult got, ran, none;
  ASSERT_TRUE(cmd->Call("GetCalculationObject", {Variant::Str("Boiler")}, &got).ok());
  std::shared_ptr<RemoteObject> calc = RemoteObjectOf(got.result);
  ASSERT_TRUE(calc);
  EXPECT_EQ(calc->path(), FakeServer::kCalcPath);
  EXPECT_EQ(calc->table(), nullptr);
  ASSERT_TRUE(cmd->Call("CalcExecute", {got.result}, &ran).ok());
  EXPECT_EQ(ran.result, Variant::Bool(true));
  EXPECT_EQ(server.record().executed, std::vector<std::string>{FakeServer::kCalcPath});

  ASSERT_TRUE(cmd->Call("GetCalculationObject", {Variant::Str("missing")}, &none).ok());
  EXPECT_EQ(none.result.vt(), com::VT_DISPATCH);
  EXPECT_FALSE(none.result.unknown());
  ASSERT_TRUE(cmd->Call("CalcExecute", {Variant()}, &ran).ok()) << "VT_EMPTY goes out as no object";
  EXPECT_EQ(server.record().executed.back(), "/");
}

TEST_F(RemoteCallTest, VariantsRoundTripThroughTheServer) {
  com::SafeArray inner(com::VT_BSTR, 1, 1);
  inner.At(0) = Variant::Str("x");
  com::SafeArray outer(com::VT_VARIANT, -1, 4);
  outer.At(0) = Variant::Date(45000.75);
  outer.At(1) = Variant::Array(std::move(inner));
  outer.At(2) = Variant::Null();
  outer.At(3) = Variant::OfInt(com::VT_UI8, 1ull << 40);
  Variant sent = Variant::Array(std::move(outer));
  CallResult r;
  ASSERT_TRUE(cmd->Call("ExecuteItem", {Variant::Str("item"), sent}, &r).ok());
  EXPECT_EQ(r.result, sent);

  ASSERT_TRUE(cmd->Call("GetCalculationList", {}, &r).ok());
  std::vector<std::string> names;
  ASSERT_TRUE(com::VariantToStringList(r.result, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"Boiler feed", "Pump"}));
}

TEST_F(RemoteCallTest, LateBoundCallsThroughIDispatch) {
  com::DISPID id = 0;
  ASSERT_TRUE(cmd->GetIDsOfNames("calcexecute", &id).ok());
  EXPECT_EQ(id, 1);
  EXPECT_EQ(cmd->GetIDsOfNames("Nope", &id).code(), Status::Code::kRemote);

  CallResult r;
  std::vector<Variant> args{Variant::I4(5), Variant::Str("x")};
  ASSERT_TRUE(cmd->Invoke(131, com::DISPATCH_METHOD, args, &r).ok());
  EXPECT_EQ(r.result, Variant::I4(131));
  EXPECT_EQ(r.outArgs, args);

  // The same object as a VT_DISPATCH answers the local IDispatch contract.
  Variant v = ObjectVariant(cmd);
  Variant result;
  std::vector<Variant> callArgs{Variant::Str("y")};
  ASSERT_EQ(com::CallMethod(v.dispatch().Get(), "CheckAccess", callArgs, &result), com::S_OK);
  EXPECT_EQ(result, Variant::I4(2));
  EXPECT_EQ(com::CallMethod(v.dispatch().Get(), "Nope", callArgs, &result), com::DISP_E_EXCEPTION);
}

TEST_F(RemoteCallTest, CallsThatCannotBeMadeOrAreRefused) {
  CallResult r;
  EXPECT_EQ(cmd->Call("NoSuchMethod", {}, &r).code(), Status::Code::kUnknownMethod);
  EXPECT_EQ(cmd->Call("CheckAccess", {}, &r).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(cmd->Call("CheckAccess", {Variant::Str("seven")}, &r).code(), Status::Code::kInvalidArgument);

  std::shared_ptr<Connection> other;
  ASSERT_TRUE(Connection::Open(server.address(), &other).ok());
  auto foreign = std::make_shared<RemoteObject>(other, FakeServer::kCalcPath, nullptr);
  EXPECT_EQ(cmd->Call("CalcExecute", {ObjectVariant(foreign)}, &r).code(), Status::Code::kInvalidArgument)
      << "an object of another connection cannot be passed";
  EXPECT_EQ(foreign->Call("CalcExecute", {Variant()}, &r).code(), Status::Code::kUnknownMethod)
      << "no typed interface";

  Status st = cmd->Call("CheckAccess", {Variant::I4(1)}, &r);
  EXPECT_EQ(st.code(), Status::Code::kRemote);
  EXPECT_EQ(st.remoteName(), "org.freedesktop.DBus.Error.UnknownMethod");
  EXPECT_TRUE(server.record().executed.empty());
}

TEST_F(RemoteCallTest, ReleaseAndLostConnection) {
  ASSERT_TRUE(cmd->Release().ok());
  EXPECT_EQ(server.record().released, std::vector<std::string>{FakeServer::kCommandPath});

  server.DropClient();
  CallResult r;
  EXPECT_EQ(cmd->Call("CalcCommandVersion", {}, &r).code(), Status::Code::kTransport);
}

TEST(ConnectionTest, NothingListening) {
  std::shared_ptr<Connection> conn;
  EXPECT_EQ(Connection::Open(Connection::UnixAddress("/nonexistent/kelvarin/bus"), &conn).code(),
            Status::Code::kConnect);
  EXPECT_EQ(Connection::Open("bogus-address", &conn).code(), Status::Code::kConnect);
}

TEST(ConnectionTest, AddressesEscapeTheSocketPath) {
  EXPECT_EQ(Connection::UnixAddress("/run/kelvarin/bus"), "unix:path=/run/kelvarin/bus");
  EXPECT_EQ(Connection::UnixAddress("/tmp/a b,c=d;%"), "unix:path=/tmp/a%20b%2cc%3dd%3b%25");
}

// kelvarin-cli end to end.
class CliTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--address", server.address()});
    std::istringstream in(input);
    out.str("");
    err.str("");
    return RunCli(args, in, out, err);
  }

  FakeServer server;
  std::ostringstream out, err;
};

TEST_F(CliTest, OneCall) {
  EXPECT_EQ(Run({"CalcCommandVersion"}), kExitOk);
  EXPECT_EQ(out.str(), "6.1.0\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(server.record().released, std::vector<std::string>{FakeServer::kCommandPath});

  EXPECT_EQ(Run({"GetConversion", "T", "C", "K", "2"}), kExitOk);
  EXPECT_EQ(out.str(), "True\nUnitsOut: K!\nMultiplier: 4\nOffset: 273.15\n");
}

TEST_F(CliTest, FailureResultFetchesTheLastError) {
  EXPECT_EQ(Run({"GetCalculationObject", "missing"}), kExitFailure);
  EXPECT_EQ(out.str(), "null\n");
  EXPECT_EQ(err.str(), "error 101: Object not found\n");
  EXPECT_EQ(server.record().calls, (std::vector<std::string>{"GetCalculationObject", "GetLastCommandError"}));

  EXPECT_EQ(Run({"--json", "GetCalculationObject", "missing"}), kExitFailure);
  EXPECT_EQ(out.str(),
            "{\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n");
}

TEST_F(CliTest, RefusedCallAndUsageErrors) {
  EXPECT_EQ(Run({"CheckAccess", "1"}), kExitFailure);
  EXPECT_NE(err.str().find("UnknownMethod"), std::string::npos) << err.str();

  EXPECT_EQ(Run({"CheckAccess", "one"}), kExitUsage);
  EXPECT_EQ(Run({"NoSuchMethod"}), kExitUsage);
  EXPECT_TRUE(server.record().created.size() == 1) << "usage errors never reach the server";

  std::istringstream in;
  std::vector<std::string> args{"--socket", "/nonexistent/kelvarin/bus", "CalcCommandVersion"};
  EXPECT_EQ(RunCli(args, in, out, err), kExitUsage);
}

TEST_F(CliTest, AppModeSetsTheBaseDirectoryFirst) {
  EXPECT_EQ(Run({"--app", "Plant7", "CalcCommandVersion"}), kExitOk);
  EXPECT_EQ(server.record().created.back(), "Kelvarin.CalcAppCommands");
  EXPECT_EQ(server.record().calls, (std::vector<std::string>{"SetBaseDirectory", "CalcCommandVersion"}));

  EXPECT_EQ(Run({"--app", "nowhere", "CalcCommandVersion"}), kExitFailure);
  EXPECT_NE(err.str().find("SetBaseDirectory nowhere failed: error 101"), std::string::npos) << err.str();
  EXPECT_EQ(server.record().calls.back(), "GetLastCommandError");
}

TEST_F(CliTest, BatchKeepsObjectsByName) {
  const std::string batch =
      "# run one calculation\n"
      "calc = GetCalculationObject \"Boiler feed\"\n"
      "\n"
      "CalcExecute @calc\n"
      "list=GetCalculationList\n"
      "ExecuteItem x @list\n";
  EXPECT_EQ(Run({"batch", "-"}, batch), kExitOk) << err.str();
  EXPECT_EQ(out.str(),
            "> calc = GetCalculationObject \"Boiler feed\"\n" + std::string(FakeServer::kCalcPath) +
                "\n"
                "> CalcExecute @calc\nTrue\n"
                "> list=GetCalculationList\nBoiler feed\nPump\n"
                "> ExecuteItem x @list\nBoiler feed\nPump\n");
  EXPECT_EQ(server.record().created.size(), 1u) << "one command object for the whole batch";
  EXPECT_EQ(server.record().executed, std::vector<std::string>{FakeServer::kCalcPath});

  EXPECT_EQ(Run({"--json", "batch", "-"}, "c = GetCalculationObject missing\nCalcExecute @c\n"), kExitFailure);
  EXPECT_EQ(out.str(),
            "{\"line\":1,\"name\":\"c\",\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n"
            "{\"line\":2,\"method\":\"CalcExecute\",\"result\":false,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n");
}

TEST_F(CliTest, BatchIsCheckedBeforeAnythingRuns) {
  const std::string batch =
      "CalcCommandVersion\n"
      "CalcExecute @later\n"
      "later = GetCalculationObject x\n"
      "CheckAccess one\n"
      "NoSuchMethod\n"
      "v = FreeUnusedComLibraries\n"
      "CalcExecute \"open\n";
  EXPECT_EQ(Run({"batch", "-"}, batch), kExitUsage);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "<stdin>:2: argument 1 (pCalcObjectDisp): no object named \"later\" was kept\n"
            "<stdin>:4: argument 1 (lTaskNo): \"one\" is not an integer\n"
            "<stdin>:5: ICalcCommands has no method NoSuchMethod\n"
            "<stdin>:6: FreeUnusedComLibraries has no result to keep as v\n"
            "<stdin>:7: the closing \" is missing\n");
  EXPECT_TRUE(server.record().created.empty());
}

}  // namespace
}  // namespace kv::client
