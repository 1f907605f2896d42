// The client library and kelvarin-cli against the transport server with stand-in command
// objects (served_commands.h).
#include <gtest/gtest.h>

#include <sstream>

#include "client/cli.h"
#include "client/connection.h"
#include "client/remote_object.h"
#include "served_commands.h"
#include "protocol/wire_names.h"

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

  ServedCommands server;
  std::ostringstream out, err;
};

TEST_F(CliTest, OneCall) {
  int live = ServedCommands::LiveCommands();
  EXPECT_EQ(Run({"CalcCommandVersion"}), kExitOk);
  EXPECT_EQ(out.str(), "6.1.0\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(ServedCommands::LiveCommands(), live) << "the command object is released at the end";

  EXPECT_EQ(Run({"GetConversion", "T", "C", "K", "2"}), kExitOk);
  EXPECT_EQ(out.str(), "True\nUnitsOut: K!\nMultiplier: 4\nOffset: 273.15\n");

  // The stand-in adds half a day: -11 hours come back, printed as the signed offset they are.
  EXPECT_EQ(Run({"GetServerGmtOffset", "-0.9583333333333334"}), kExitOk);
  EXPECT_EQ(out.str(), "-0.458333 days (-11:00:00)\n");
  EXPECT_EQ(Run({"--json", "GetServerGmtOffset", "-1"}), kExitOk);
  EXPECT_EQ(out.str(),
            "{\"method\":\"GetServerGmtOffset\",\"result\":{\"text\":\"-0.5 days (-12:00:00)\",\"days\":-0.5},"
            "\"out\":{},\"error\":null}\n");
}

// The exit status and what is printed, by the kind of answer.
TEST_F(CliTest, AnswersAndExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* out;  // nullptr: an object path
    const char* err;
  };
  const Case cases[] = {
      {{"GetLibraryList"}, kExitOk, "", ""},  // empty list, error 0
      {{"--json", "GetLibraryList"}, kExitOk, "{\"method\":\"GetLibraryList\",\"result\":[],\"out\":{},\"error\":null}\n", ""},
      {{"LibraryCrossReference", "X"}, kExitFailure, "empty\n", "error 102: Library not found\n"},
      {{"GetCalculationSummary"}, kExitOk, "", ""},  // VT_EMPTY, no error of its own
      {{"GetCalculationObject", "missing"}, kExitFailure, "null\n", "error 101: Object not found\n"},
      {{"GetCalculationList"}, kExitOk, "Boiler feed\nPump\n", ""},
      {{"CreateCalculationObject", "Boiler", "", ""}, kExitOk, nullptr,
       "kelvarin-cli: CreateCalculationObject returned an object, and it was released when this command ended; to "
       "keep working on it, make the call and the next ones in one `kelvarin-cli batch FILE`\n"
       "kelvarin-cli: its edit copy stays in the store until saved or cancelled: kelvarin-cli "
       "DeleteCalculationEditObject Boiler\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    EXPECT_EQ(Run(c.args), c.exit);
    if (c.out) EXPECT_EQ(out.str(), c.out);
    else EXPECT_TRUE(IsObjectPath(out.str().substr(0, out.str().size() - 1))) << out.str();
    EXPECT_EQ(err.str(), c.err);
  }
}

TEST_F(CliTest, RowsThatKeepThePreviousErrorAreJudgedByANewOne) {
  // GetCalculationSummary leaves error 101 of the line before: not its failure.
  EXPECT_EQ(Run({"batch", "-"}, "GetCalculationObject missing\nGetCalculationSummary\n"), kExitFailure);
  EXPECT_EQ(out.str(), "> GetCalculationObject missing\nnull\nerror 101: Object not found\n> GetCalculationSummary\n");
  EXPECT_EQ(server.Calls(), (std::vector<std::string>{"GetCalculationObject", "GetLastCommandError", "GetLastCommandError",
                                                      "GetCalculationSummary", "GetLastCommandError"}));
}

TEST_F(CliTest, FailureResultFetchesTheLastError) {
  EXPECT_EQ(Run({"GetCalculationObject", "missing"}), kExitFailure);
  EXPECT_EQ(out.str(), "null\n");
  EXPECT_EQ(err.str(), "error 101: Object not found\n");
  EXPECT_EQ(server.Calls(), (std::vector<std::string>{"GetCalculationObject", "GetLastCommandError"}));

  EXPECT_EQ(Run({"--json", "GetCalculationObject", "missing"}), kExitFailure);
  EXPECT_EQ(out.str(),
            "{\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n");
}

TEST_F(CliTest, RefusedCallAndUsageErrors) {
  EXPECT_EQ(Run({"CheckAccess", "1"}), kExitFailure);
  EXPECT_EQ(err.str(), "error: the server answered HRESULT 0x80004001 (E_NOTIMPL)\n");

  EXPECT_EQ(Run({"CheckAccess", "one"}), kExitUsage);
  EXPECT_EQ(Run({"NoSuchMethod"}), kExitUsage);
  EXPECT_EQ(server.Created().size(), 1u) << "usage errors never reach the server";

  std::istringstream in;
  std::vector<std::string> args{"--socket", "/nonexistent/kelvarin/bus", "CalcCommandVersion"};
  EXPECT_EQ(RunCli(args, in, out, err), kExitUsage);
}

TEST_F(CliTest, AppModeSetsTheBaseDirectoryFirst) {
  EXPECT_EQ(Run({"--app", "Plant7", "CalcCommandVersion"}), kExitOk);
  EXPECT_EQ(server.Created(), std::vector<std::string>{"ICalcAppCommands"});
  EXPECT_EQ(server.Calls(), (std::vector<std::string>{"SetBaseDirectory", "CalcCommandVersion"}));

  EXPECT_EQ(Run({"--app", "nowhere", "CalcCommandVersion"}), kExitFailure);
  EXPECT_EQ(err.str(), "kelvarin-cli: SetBaseDirectory nowhere failed: error 180: Base directory not found\n");
  EXPECT_EQ(server.Calls().back(), "GetLastCommandError");
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
  std::istringstream lines(out.str());
  std::vector<std::string> got;
  for (std::string l; std::getline(lines, l);) got.push_back(l);
  ASSERT_EQ(got.size(), 10u) << out.str();
  EXPECT_EQ(got[0], "> calc = GetCalculationObject \"Boiler feed\"");
  EXPECT_TRUE(IsObjectPath(got[1])) << got[1];
  EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()),
            (std::vector<std::string>{"> CalcExecute @calc", "True", "> list=GetCalculationList", "Boiler feed", "Pump",
                                      "> ExecuteItem x @list", "Boiler feed", "Pump"}));
  EXPECT_EQ(server.Created().size(), 1u) << "one command object for the whole batch";

  EXPECT_EQ(Run({"--json", "batch", "-"}, "c = GetCalculationObject missing\nCalcExecute @c\n"), kExitFailure);
  EXPECT_EQ(out.str(),
            "{\"line\":1,\"name\":\"c\",\"method\":\"GetCalculationObject\",\"result\":null,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n"
            "{\"line\":2,\"method\":\"CalcExecute\",\"result\":false,\"out\":{},"
            "\"error\":{\"code\":101,\"text\":\"Object not found\"}}\n");
}

TEST_F(CliTest, BatchTextShowsErrorsInLine) {
  // Unlike a single call, a batch keeps each error next to its line on standard output.
  EXPECT_EQ(Run({"batch", "-"}, "GetCalculationObject missing\nCheckAccess 1\nCalcCommandVersion\n"), kExitFailure);
  EXPECT_EQ(out.str(),
            "> GetCalculationObject missing\nnull\nerror 101: Object not found\n"
            "> CheckAccess 1\nerror: the server answered HRESULT 0x80004001 (E_NOTIMPL)\n"
            "> CalcCommandVersion\n6.1.0\n");
  EXPECT_EQ(err.str(), "");
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
  EXPECT_TRUE(server.Created().empty());
}

}  // namespace
}  // namespace kv::client
