// The client library against the transport server with stand-in command objects
// (support/served_commands.h).
#include <gtest/gtest.h>

#include "client/connection.h"
#include "client/remote_object.h"
#include "protocol/wire_names.h"
#include "support/served_commands.h"

namespace kv::client {
namespace {

using com::Variant;
using testing::ServedCommands;

bool IsObjectPath(const std::string& p) { return p.rfind(protocol::kObjectPathPrefix, 0) == 0; }

class RemoteCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Connection::Open(server.address(), &conn).ok());
    Status st = conn->CreateInstance("Kelvarin.CalcCommands", &cmd);
    ASSERT_TRUE(st.ok()) << st.ToString();
  }

  ServedCommands server;
  std::shared_ptr<Connection> conn;
  std::shared_ptr<RemoteObject> cmd;
};

TEST_F(RemoteCallTest, CreateInstanceKnowsTheCommandTables) {
  EXPECT_TRUE(IsObjectPath(cmd->path())) << cmd->path();
  EXPECT_EQ(cmd->table(), &ICalcCommandsInterface());
  std::shared_ptr<RemoteObject> app, byClsid;
  ASSERT_TRUE(conn->CreateInstance("kelvarin.calcappcommands.1", &app).ok());
  EXPECT_EQ(app->table(), &ICalcAppCommandsInterface());
  ASSERT_TRUE(conn->CreateInstance(ICalcCommandsInterface().clsid.ToString(), &byClsid).ok());
  EXPECT_EQ(byClsid->table(), &ICalcCommandsInterface());
  EXPECT_EQ(server.Created(), (std::vector<std::string>{"ICalcCommands", "ICalcAppCommands", "ICalcCommands"}));

  Status st = conn->CreateInstance("Kelvarin.Nothing", &app);
  EXPECT_EQ(st.code(), Status::Code::kRemote);
  EXPECT_EQ(st.hresult(), com::CO_E_CLASSSTRING);
}

TEST_F(RemoteCallTest, TypedCallCarriesInOutValues) {
  CallResult r;
  Status st = cmd->Call("getconversion", {Variant::Str("T"), Variant::Str("C"), Variant::Str("K"), Variant::I4(2),
                                          Variant::R8(0)}, &r);
  ASSERT_TRUE(st.ok()) << st.ToString();
  EXPECT_EQ(r.result, Variant::Bool(true));
  EXPECT_EQ(r.outArgs, (std::vector<Variant>{Variant::Str("K!"), Variant::R8(4), Variant::R8(273.15)}));

  ASSERT_TRUE(cmd->Call("CalcCommandVersion", {}, &r).ok());
  EXPECT_EQ(r.result, Variant::Str("6.1.0"));
  EXPECT_TRUE(r.outArgs.empty());
  ASSERT_TRUE(cmd->Call("GetServerGmtOffset", {Variant::R8(45000)}, &r).ok());
  EXPECT_EQ(r.result, Variant::Date(45000.5));
  ASSERT_TRUE(cmd->Call("FreeUnusedComLibraries", {}, &r).ok());
  EXPECT_TRUE(r.result.IsEmpty());
}

TEST_F(RemoteCallTest, ObjectsComeBackAsProxiesAndGoOutAsTheirPaths) {
  CallResult got, ran, none;
  ASSERT_TRUE(cmd->Call("GetCalculationObject", {Variant::Str("Boiler")}, &got).ok());
  std::shared_ptr<RemoteObject> calc = RemoteObjectOf(got.result);
  ASSERT_TRUE(calc);
  EXPECT_TRUE(IsObjectPath(calc->path())) << calc->path();
  EXPECT_NE(calc->path(), cmd->path());
  EXPECT_EQ(calc->table(), nullptr);
  ASSERT_TRUE(cmd->Call("CalcExecute", {got.result}, &ran).ok());
  EXPECT_EQ(ran.result, Variant::Bool(true)) << "the server got its own object back";

  // The calculation answers late-bound calls.
  com::DISPID id = 0;
  ASSERT_TRUE(calc->GetIDsOfNames("name", &id).ok());
  CallResult name;
  ASSERT_TRUE(calc->Invoke(id, com::DISPATCH_PROPERTYGET, {}, &name).ok());
  EXPECT_EQ(name.result, Variant::Str("Boiler"));

  ASSERT_TRUE(cmd->Call("GetCalculationObject", {Variant::Str("missing")}, &none).ok());
  EXPECT_EQ(none.result.vt(), com::VT_DISPATCH);
  EXPECT_FALSE(none.result.unknown());
  ASSERT_TRUE(cmd->Call("CalcExecute", {Variant()}, &ran).ok()) << "VT_EMPTY goes out as no object";
  EXPECT_EQ(ran.result, Variant::Bool(false));
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

TEST_F(RemoteCallTest, LateBoundCallsReachTheSameMethods) {
  com::DISPID id = 0;
  ASSERT_TRUE(cmd->GetIDsOfNames("calcexecute", &id).ok());
  EXPECT_EQ(id, 1);
  ASSERT_TRUE(cmd->GetIDsOfNames("GetConversion", &id).ok());
  Status st = cmd->GetIDsOfNames("Nope", &id);
  EXPECT_EQ(st.hresult(), com::DISP_E_UNKNOWNNAME) << st.ToString();

  CallResult r;
  std::vector<Variant> args{Variant::Str("T"), Variant::Str("C"), Variant::Str("K"), Variant::R8(2), Variant::R8(0)};
  ASSERT_TRUE(cmd->Invoke(cmd->table()->DispIdByName("GetConversion"), com::DISPATCH_METHOD, args, &r).ok());
  EXPECT_EQ(r.result, Variant::Bool(true));
  EXPECT_EQ(r.outArgs, (std::vector<Variant>{Variant::Str("T"), Variant::Str("C"), Variant::Str("K!"), Variant::R8(4),
                                             Variant::R8(273.15)}));

  // The same object as a VT_DISPATCH answers the local IDispatch contract, in/out values in place.
  Variant v = ObjectVariant(cmd);
  Variant result;
  ASSERT_EQ(com::CallMethod(v.dispatch().Get(), "GetConversion", args, &result), com::S_OK);
  EXPECT_EQ(result, Variant::Bool(true));
  EXPECT_EQ(args[2], Variant::Str("K!"));
  std::vector<Variant> none;
  EXPECT_EQ(com::CallMethod(v.dispatch().Get(), "Nope", none, &result), com::DISP_E_UNKNOWNNAME);
  std::vector<Variant> one{Variant::I4(1)};
  EXPECT_EQ(com::CallMethod(v.dispatch().Get(), "CheckAccess", one, &result), com::E_NOTIMPL);
}

TEST_F(RemoteCallTest, CallsThatCannotBeMadeOrAreRefused) {
  CallResult r;
  EXPECT_EQ(cmd->Call("NoSuchMethod", {}, &r).code(), Status::Code::kUnknownMethod);
  EXPECT_EQ(cmd->Call("CheckAccess", {}, &r).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(cmd->Call("CheckAccess", {Variant::Str("seven")}, &r).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(cmd->Call("CalcExecute", {Variant::I4(3)}, &r).code(), Status::Code::kInvalidArgument);

  std::shared_ptr<Connection> other;
  ASSERT_TRUE(Connection::Open(server.address(), &other).ok());
  std::shared_ptr<RemoteObject> foreign;
  ASSERT_TRUE(other->CreateInstance("Kelvarin.CalcCommands", &foreign).ok());
  EXPECT_EQ(cmd->Call("CalcExecute", {ObjectVariant(foreign)}, &r).code(), Status::Code::kInvalidArgument)
      << "an object of another connection cannot be passed";
  auto bare = std::make_shared<RemoteObject>(conn, cmd->path(), nullptr);
  EXPECT_EQ(bare->Call("CalcCommandVersion", {}, &r).code(), Status::Code::kUnknownMethod) << "no typed interface";

  size_t before = server.Calls().size();
  Status st = cmd->Call("CheckAccess", {Variant::I4(1)}, &r);
  EXPECT_EQ(st.code(), Status::Code::kRemote);
  EXPECT_EQ(st.remoteName(), protocol::kErrorHResult);
  EXPECT_EQ(st.hresult(), com::E_NOTIMPL);
  EXPECT_EQ(server.Calls().size(), before + 1) << "only the refused call itself reached an object";
}

TEST_F(RemoteCallTest, ReleaseAndLostConnection) {
  int live = ServedCommands::LiveCommands();
  ASSERT_TRUE(cmd->Release().ok());
  EXPECT_EQ(ServedCommands::LiveCommands(), live - 1);
  CallResult r;
  Status st = cmd->Call("CalcCommandVersion", {}, &r);
  EXPECT_EQ(st.code(), Status::Code::kRemote) << "a released path is unknown";
  EXPECT_EQ(st.remoteName(), protocol::kErrorUnknownObject);

  server.Stop();
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

}  // namespace
}  // namespace kv::client
