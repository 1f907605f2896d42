// The real server with a stored script nested far deeper than any parser's stack allows: every
// cross-reference question is answered, before and after a restart, and the other objects'
// references are still reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/remote_object.h"
#include "com/variant.h"
#include "e2e/server_process.h"

namespace kv {
namespace {

using client::CallResult;
using client::Connection;
using client::RemoteObject;
using com::Variant;

struct Param {
  std::string name;
  int kind = 0;  // 1 a tag, 2 another calculation's Value
  std::string server, tag, calc;
};

// A <Calculation> element in the form the engine saves it.
std::string CalculationXml(const std::string& name, const std::string& script, const std::vector<std::string>& libraries,
                           const std::vector<Param>& params) {
  std::string xml = "<Calculation version=\"1\">\n  <Name>" + name +
                    "</Name>\n  <Description></Description>\n  <ID></ID>\n  <Password>0</Password>\n"
                    "  <EditOwner></EditOwner>\n  <SaveTime>0</SaveTime>\n  <CreationTime>0</CreationTime>\n"
                    "  <CalcType>4</CalcType>\n  <Script>" + script +
                    "</Script>\n  <NewState>0</NewState>\n  <EditState>0</EditState>\n  <Status>0</Status>\n"
                    "  <ErrorText></ErrorText>\n  <Libraries>";
  for (const auto& l : libraries) xml += "<Library>" + l + "</Library>";
  xml += "</Libraries>\n  <Parameters>\n";
  for (const Param& p : params)
    xml += "    <Parameter><Name>" + p.name + "</Name><Direction>0</Direction><Kind>" + std::to_string(p.kind) +
           "</Kind><ServerName>" + p.server + "</ServerName><TagName>" + p.tag + "</TagName><CalcName>" + p.calc +
           "</CalcName><Units></Units><Value type=\"5\">0</Value></Parameter>\n";
  return xml + "  </Parameters>\n</Calculation>\n";
}

std::string LibraryXml(const std::string& name, const std::vector<std::pair<std::string, std::string>>& formulas) {
  std::string xml = "<Library version=\"1\">\n  <Name>" + name +
                    "</Name>\n  <Description></Description>\n  <ID></ID>\n  <Password>0</Password>\n"
                    "  <EditOwner></EditOwner>\n  <SaveTime>0</SaveTime>\n  <Formulas>\n";
  for (const auto& [formula, script] : formulas) xml += CalculationXml(formula, script, {}, {});
  return xml + "  </Formulas>\n</Library>\n";
}

void Plant(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Sorted(const Variant& v) {
  std::vector<std::string> out;
  if (!v.IsEmpty()) {
    EXPECT_TRUE(com::VariantToStringList(v, &out)) << "vt " << v.vt();
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The formula users and calculation users of a formula or library answer.
std::pair<std::vector<std::string>, std::vector<std::string>> Users(const Variant& v) {
  if (!v.IsArray() || v.array().Count() != 2) {
    ADD_FAILURE() << "not a two-element array (vt " << v.vt() << ")";
    return {};
  }
  return {Sorted(v.array().At(0)), Sorted(v.array().At(1))};
}

using Names = std::vector<std::string>;

// Asks every cross-reference question once and checks each answer.
void AskEverything(testing::ServerProcess& server) {
  std::shared_ptr<Connection> conn;
  ASSERT_TRUE(Connection::Open(server.Address(), &conn).ok());
  std::shared_ptr<RemoteObject> obj, app;
  ASSERT_TRUE(conn->CreateInstance("Kelvarin.CalcCommands", &obj).ok());
  ASSERT_TRUE(conn->CreateInstance("Kelvarin.CalcAppCommands", &app).ok());

  auto ask = [&](const std::shared_ptr<RemoteObject>& on, const char* method, std::vector<Variant> args) {
    CallResult r;
    auto st = on->Call(method, args, &r);
    EXPECT_TRUE(st.ok()) << method << ": " << st.message();
    EXPECT_TRUE(server.Alive()) << "the server died answering " << method;
    return r.result;
  };
  for (const char* method : {"CalculationCrossReference", "CalculationCrossReferenceEx"}) {
    SCOPED_TRACE(method);
    // The deep calculation's parameters still count: only its script names nothing.
    EXPECT_EQ(Sorted(ask(obj, method, {Variant::Str("Flow1")})), (Names{"Deep", "Total"}));
  }
  for (const char* method : {"FormulaCrossReference", "FormulaCrossReferenceEx"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(Users(ask(obj, method, {Variant::Str("Stats"), Variant::Str("Mean")})),
              std::make_pair(Names{"Util.Avg"}, Names{"Total"}));
    EXPECT_EQ(Users(ask(obj, method, {Variant::Str("DeepLib"), Variant::Str("Nested")})),
              std::make_pair(Names{}, Names{}));
  }
  EXPECT_EQ(Users(ask(obj, "LibraryCrossReference", {Variant::Str("Stats")})),
            std::make_pair(Names{"Util.Avg"}, Names{"Deep", "Total"}));
  const std::string refs = ask(app, "FindReferences", {Variant::Str("plant7"), Variant::Str("FIC101")}).bstr().ToUtf8();
  EXPECT_NE(refs.find("<ref tag=\"Deep\" type=\"Regular Calc\" info=\"parameter(s): In\" />"), std::string::npos)
      << refs;
  EXPECT_NE(refs.find("<ref tag=\"Flow1\" type=\"Regular Calc\" info=\"parameter(s): Feed\" />"), std::string::npos)
      << refs;
  EXPECT_TRUE(obj->Release().ok());
  EXPECT_TRUE(app->Release().ok());
}

TEST(DeepScriptE2E, EveryCrossReferenceQuestionIsAnsweredWithADeepScriptInTheStore) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  const std::string store = server.Store();
  const std::string deep = std::string(100000, '(') + "1" + std::string(100000, ')');
  Plant(store + "/Calc/Deep.zrc",
        CalculationXml("Deep", "Out = " + deep, {"Stats"},
                       {{.name = "In", .kind = 1, .server = "plant7", .tag = "FIC101"},
                        {.name = "Up", .kind = 2, .calc = "Flow1"}}));
  Plant(store + "/Calc/Flow1.zrc",
        CalculationXml("Flow1", "Out = Feed * 2", {}, {{.name = "Feed", .kind = 1, .server = "plant7", .tag = "FIC101"}}));
  Plant(store + "/Calc/Total.zrc",
        CalculationXml("Total", "Out = Stats.Mean(a, b)", {"Stats"}, {{.name = "a", .kind = 2, .calc = "Flow1"}}));
  Plant(store + "/Lib/Stats.zrc", LibraryXml("Stats", {{"Mean", "return (a + b) / 2"}}));
  Plant(store + "/Lib/Util.zrc", LibraryXml("Util", {{"Avg", "return Stats.Mean(a, b)"}}));
  Plant(store + "/Lib/DeepLib.zrc", LibraryXml("DeepLib", {{"Nested", "return " + deep}, {"Plain", "return 1"}}));

  AskEverything(server);
  // The file stays in the store: the restarted server answers as well.
  server.Stop();
  ASSERT_TRUE(server.Start());
  AskEverything(server);
  EXPECT_TRUE(server.Alive());
}

}  // namespace
}  // namespace kv
