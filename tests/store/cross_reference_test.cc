// The cross-reference commands over object files written in the engine's format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <pugixml.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lifecycle_fixture.h"
#include "platform/path.h"
#include "support/test_env.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

struct Param {
  std::string name;
  int kind = 0;  // 0 constant, 1 tag, 2 another calculation's Value
  std::string server, tag, calc;
};

struct Calc {
  std::string script;
  std::vector<std::string> libraries;
  std::vector<Param> params;
};

void AppendCalculation(pugi::xml_node parent, const std::string& name, const Calc& c) {
  pugi::xml_node root = parent.append_child("Calculation");
  root.append_attribute("version") = 1;
  root.append_child("Name").text() = name.c_str();
  root.append_child("CalcType").text() = 4;
  root.append_child("Script").text() = c.script.c_str();
  pugi::xml_node libs = root.append_child("Libraries");
  for (const auto& l : c.libraries) libs.append_child("Library").text() = l.c_str();
  pugi::xml_node params = root.append_child("Parameters");
  for (const auto& p : c.params) {
    pugi::xml_node n = params.append_child("Parameter");
    n.append_child("Name").text() = p.name.c_str();
    n.append_child("Direction").text() = 0;
    n.append_child("Kind").text() = p.kind;
    n.append_child("ServerName").text() = p.server.c_str();
    n.append_child("TagName").text() = p.tag.c_str();
    n.append_child("CalcName").text() = p.calc.c_str();
    n.append_child("Value").append_attribute("type") = 0;  // VT_EMPTY
  }
}

std::string Xml(const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "  ");
  return out.str();
}

// A resolver with fixed answers that records what it was asked.
class TableResolver : public FakeSystemInfo {
 public:
  struct Host {
    std::string canonical;
    std::vector<std::string> addresses;
  };
  std::map<std::string, Host> hosts;
  std::vector<std::string> asked;

  bool ResolveIPv4(const std::string& host, std::string* canonical, std::vector<std::string>* addresses) override {
    asked.push_back(host);
    auto it = hosts.find(host);
    if (it == hosts.end()) return false;
    *canonical = it->second.canonical;
    *addresses = it->second.addresses;
    return true;
  }
};

std::vector<std::string> List(const Variant& v) {
  std::vector<std::string> out;
  if (!v.IsEmpty()) {
    EXPECT_TRUE(com::VariantToStringList(v, &out)) << "vt " << v.vt();
  }
  return out;
}

// The two lists of a formula or library answer.
std::pair<std::vector<std::string>, std::vector<std::string>> Pair(const Variant& v) {
  EXPECT_TRUE(v.IsArray());
  if (!v.IsArray() || v.array().Count() != 2) {
    ADD_FAILURE() << "not a two-element array";
    return {};
  }
  return {List(v.array().At(0)), List(v.array().At(1))};
}

class CrossReferenceTest : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    // Files written now are an hour old to the index, so it trusts their stamps and a stale
    // answer would show.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    env.clock().Set(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() + 3600 * 1000);
  }
  void WriteCalc(const std::string& name, const Calc& c, const std::string& base = "") {
    pugi::xml_document doc;
    AppendCalculation(doc, name, c);
    WriteFile((base.empty() ? "" : base + "/") + "Calc/" + platform::ToFsPath(name) + ".zrc", Xml(doc));
  }
  void WriteLibrary(const std::string& name, const std::map<std::string, Calc>& formulas) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("Library");
    root.append_attribute("version") = 1;
    root.append_child("Name").text() = name.c_str();
    pugi::xml_node list = root.append_child("Formulas");
    for (const auto& [f, c] : formulas) AppendCalculation(list, f, c);
    WriteFile("Lib/" + name + ".zrc", Xml(doc));
  }
  static void WriteFile(const std::string& rel, const std::string& text) {
    const std::string path = g_BasePath + "/" + rel;
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_EQ(platform::RealFileSystem().WriteFileAtomic(path, text), 0) << rel;
  }

  Variant CalcUsers(const std::string& name) {
    Variant v;
    store::CalculationCrossReference(*cmd, B(name), &v);
    return v;
  }
  Variant FormulaUsers(const std::string& lib, const std::string& formula) {
    Variant v;
    store::FormulaCrossReference(*cmd, B(lib), B(formula), &v);
    return v;
  }
};

TEST_F(CrossReferenceTest, CalculationUsersInScanOrder) {
  WriteCalc("Total", {.params = {{.name = "a", .kind = 2, .calc = "Flow1"}, {.name = "b", .kind = 2, .calc = "Flow2"}}});
  WriteCalc("Area3\\Sum", {.params = {{.name = "x", .kind = 2, .calc = "Flow1"}}});
  WriteCalc("Casing", {.params = {{.name = "x", .kind = 2, .calc = "flow1"}}});   // another name
  WriteCalc("Tagged", {.params = {{.name = "Flow1", .kind = 1, .server = "H", .tag = "Flow1"}}});
  WriteCalc("Scripted", {.script = "Out = Flow1 * 2"});                              // a global, not a reference
  WriteFile("Calc/Broken.zrc", "<Calculation version=\"1\"><Name>Broken</Name><Parameters>");

  cmd->SetCommandError(CMDERR_INVALID_PASSWORD);
  EXPECT_EQ(List(CalcUsers("Flow1")), (std::vector<std::string>{"Area3\\Sum", "Total"}));
  EXPECT_EQ(Code(), 0);
  EXPECT_TRUE(CalcUsers("Nobody").IsEmpty());
}

// A copy the server cannot load is named by no answer, as GetCalculationObject cannot open it.
TEST_F(CrossReferenceTest, DamagedCopiesAreNotUsers) {
  const std::string user = "<Parameter><Name>a</Name><Kind>2</Kind><CalcName>Flow1</CalcName><Value type=\"0\"/></Parameter>";
  const struct {
    const char* name;
    std::string fields;  // after <Name>
    std::string parameters;
  } damaged[] = {
      {"BadDate", "<SaveTime>not a date</SaveTime>", user},
      {"BadDirection",
       "", "<Parameter><Name>a</Name><Direction>in</Direction><Kind>2</Kind><CalcName>Flow1</CalcName>"
           "<Value type=\"0\"/></Parameter>"},
      {"BadKind", "", "<Parameter><Name>a</Name><Kind>2 </Kind><CalcName>Flow1</CalcName><Value type=\"0\"/></Parameter>"},
      {"BadValue", "<Value type=\"5\">abc</Value>", user},
  };
  WriteCalc("Good", {.params = {{.name = "a", .kind = 2, .calc = "Flow1"}}});
  for (const auto& d : damaged)
    WriteFile(std::string("Calc/") + d.name + ".zrc", std::string("<Calculation version=\"1\"><Name>") + d.name +
                                                         "</Name>" + d.fields + "<Parameters>" + d.parameters +
                                                         "</Parameters></Calculation>");
  EXPECT_EQ(List(CalcUsers("Flow1")), (std::vector<std::string>{"Good"}));
  for (const auto& d : damaged) EXPECT_FALSE(store::GetCalculationObject(*cmd, B(d.name))) << d.name;
  EXPECT_TRUE(store::GetCalculationObject(*cmd, B("Good")));
}

TEST_F(CrossReferenceTest, ScriptsReferToFormulasByExactAnalysis) {
  const struct {
    const char* name;
    const char* script;
    bool uses;
  } cases[] = {
      {"Call", "Out = Stats.Mean(a, b)", true},
      {"InString", "s = \"Stats.Mean(a)\"", false},
      {"InComment", "-- Stats.Mean(a)\nOut = a", false},
      {"LocalStats", "local Stats = {Mean = function() return 1 end}\nOut = Stats.Mean()", false},
      {"FieldOfField", "Out = x.Stats.Mean(a)", false},
      {"OtherFormula", "Out = Stats.Max(a)", false},
  };
  for (const auto& c : cases) WriteCalc(c.name, {.script = c.script});
  WriteLibrary("Util", {{"Avg", {.script = "return Stats.Mean(a, b)"}}, {"Max2", {.script = "return math.max(a, b)"}}});
  WriteLibrary("Stats", {{"Mean", {.script = "return (a + b) / 2"}}});

  auto [formulas, calcs] = Pair(FormulaUsers("Stats", "Mean"));
  EXPECT_EQ(formulas, std::vector<std::string>{"Util.Avg"});
  std::vector<std::string> expected;
  for (const auto& c : cases)
    if (c.uses) expected.push_back(c.name);
  EXPECT_EQ(calcs, expected);
}

TEST_F(CrossReferenceTest, LibraryUsersListItOrReachAnyFormula) {
  WriteCalc("Lists", {.script = "Out = 1", .libraries = {"Stats"}});
  WriteCalc("CallsMax", {.script = "Out = Stats.Max(a)"});
  WriteCalc("Neither", {.script = "Out = Util.Sum(a)", .libraries = {"Util"}});
  WriteLibrary("Util", {{"Sum", {.script = "return a + b", .libraries = {"Stats"}}}});

  Variant v;
  store::LibraryCrossReference(*cmd, B("Stats"), &v);
  auto [formulas, calcs] = Pair(v);
  EXPECT_EQ(formulas, std::vector<std::string>{"Util.Sum"});
  EXPECT_EQ(calcs, (std::vector<std::string>{"CallsMax", "Lists"}));
  // A formula of the library is used only by a call, never by the list alone.
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mean")).second, std::vector<std::string>{});
}

TEST_F(CrossReferenceTest, UnusedFormulaGivesTwoEmptyElements) {
  WriteCalc("A", {.script = "Out = 1"});
  Variant v = FormulaUsers("Stats", "Mean");
  ASSERT_TRUE(v.IsArray());
  ASSERT_EQ(v.array().Count(), 2u);
  EXPECT_TRUE(v.array().At(0).IsEmpty());
  EXPECT_TRUE(v.array().At(1).IsEmpty());
}

TEST_F(CrossReferenceTest, ApplicationObjectWithoutDirectoryStillListsFormulaUsers) {
  WriteLibrary("Util", {{"Avg", {.script = "return Stats.Mean(a, b)"}}});
  ZrCalcAppCmdObject app;
  Variant v;
  store::FormulaCrossReference(app, B("Stats"), B("Mean"), &v);
  auto [formulas, calcs] = Pair(v);
  EXPECT_EQ(formulas, std::vector<std::string>{"Util.Avg"});
  EXPECT_TRUE(calcs.empty());
  EXPECT_EQ(app.m_lastError, CMDERR_BASE_DIR_NOT_INITIALIZED);
}

TEST_F(CrossReferenceTest, AFileReplacedOnDiskGivesTheNewAnswer) {
  WriteCalc("A", {.script = "Out = Stats.Mean(a)"});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mean")).second, std::vector<std::string>{"A"});
  // Another process rewrites the file; the environment is never told.
  WriteCalc("A", {.script = "Out = Stats.Max(a)"});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mean")).second, std::vector<std::string>{});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Max")).second, std::vector<std::string>{"A"});
  // Saved through the store, deleted, renamed: each is seen on the next question.
  ComPtr<IDispatch> b = StoreCalculation("B", "Out = Stats.Max(b)");
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Max")).second, (std::vector<std::string>{"A", "B"}));
  fs::rename(g_BasePath + "/Calc/A.zrc", g_BasePath + "/Calc/C.zrc");
  EXPECT_TRUE(store::DeleteCalculationObject(*cmd, B("B"), B(""), B("")));
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Max")).second, std::vector<std::string>{"C"});
}

TEST_F(CrossReferenceTest, ChangesMadeBehindTheIndexAreSeen) {
  WriteCalc("A", {.script = "Out = Stats.Mean(a)"});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mean")).second, std::vector<std::string>{"A"});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mean")).second, std::vector<std::string>{"A"});

  // Rewritten in place to the same size, its modification time put back.
  const std::string a = g_BasePath + "/Calc/A.zrc";
  struct stat before;
  ASSERT_EQ(::stat(a.c_str(), &before), 0);
  std::string text;
  ASSERT_EQ(platform::RealFileSystem().ReadFile(a, &text), 0);
  text.replace(text.find("Mean"), 4, "Mode");
  const int fd = ::open(a.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mean")).second, std::vector<std::string>{});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mode")).second, std::vector<std::string>{"A"});

  // A folder made after the first question, and a file in it changed later.
  WriteCalc("Area9\\B", {.script = "Out = Stats.Mode(b)"});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mode")).second, (std::vector<std::string>{"A", "Area9\\B"}));
  WriteCalc("Area9\\B", {.script = "Out = Stats.Max(b)"});
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Mode")).second, std::vector<std::string>{"A"});
  // The folder renamed: its calculations are listed under the new name.
  fs::rename(g_BasePath + "/Calc/Area9", g_BasePath + "/Calc/Area7");
  EXPECT_EQ(Pair(FormulaUsers("Stats", "Max")).second, std::vector<std::string>{"Area7\\B"});
  EXPECT_EQ(List(CalcUsers("Nobody")), std::vector<std::string>{});
}

class FindReferencesTest : public CrossReferenceTest {
 protected:
  void SetUp() override {
    CrossReferenceTest::SetUp();
    resolver.hosts["plant7"] = {"plant7.site.example", {"10.1.2.3", "10.1.2.4"}};
    env.env().system = &resolver;
    app = std::make_unique<ZrCalcAppCmdObject>(env.env());
  }
  void TearDown() override {
    app.reset();
    CrossReferenceTest::TearDown();
  }
  std::string Find(const std::string& node, const std::string& tag) {
    return store::FindReferences(*app, B(node), B(tag)).ToUtf8();
  }

  TableResolver resolver;
  std::unique_ptr<ZrCalcAppCmdObject> app;
};

TEST_F(FindReferencesTest, EmptyTagGivesHeaderAndFooter) {
  WriteCalc("A", {.params = {{.name = "p", .kind = 1, .server = "plant7", .tag = ""}}});
  EXPECT_EQ(Find("plant7", ""), "<Calculation><References node=\"plant7\" tag=\"\"> </References> </Calculation>");
  EXPECT_EQ(Find("", "FIC101"), "<Calculation><References node=\"\" tag=\"FIC101\"> </References> </Calculation>");
}

TEST_F(FindReferencesTest, RegularEntriesThenOnDemandEntries) {
  WriteCalc("Zeta", {.params = {{.name = "In1", .kind = 1, .server = "PLANT7", .tag = "fic101"},
                                {.name = "Gain", .kind = 0},
                                {.name = "In2", .kind = 1, .server = "plant7", .tag = "FIC101"}}});
  WriteCalc("Area1\\Alpha", {.params = {{.name = "Flow", .kind = 1, .server = "plant7", .tag = "FIC101"}}});
  WriteCalc("OtherTag", {.params = {{.name = "Flow", .kind = 1, .server = "plant7", .tag = "FIC102"}}});
  WriteCalc("OtherNode", {.params = {{.name = "Flow", .kind = 1, .server = "plant8", .tag = "FIC101"}}});
  WriteCalc("Pump", {.params = {{.name = "ReturnValue", .kind = 1, .server = "plant7", .tag = "FIC101"}}},
            "Apps/OnDemand");
  WriteCalc("Input", {.params = {{.name = "Feed", .kind = 1, .server = "plant7", .tag = "FIC101"}}}, "Apps/OnDemand");

  EXPECT_EQ(Find("plant7", "FIC101"),
            "<Calculation><References node=\"plant7\" tag=\"FIC101\">"
            "<ref tag=\"Area1\\Alpha\" type=\"Regular Calc\" info=\"parameter(s): Flow\" />"
            "<ref tag=\"Zeta\" type=\"Regular Calc\" info=\"parameter(s): In1, In2\" />"
            "<ref tag=\"Pump\" type=\"On-Demand Calc\" info=\"No additional info for on-demand calculations.\" />"
            " </References> </Calculation>");
  // The object is left on the on-demand application, checks off.
  EXPECT_EQ(app->m_appName, "OnDemand");
  EXPECT_EQ(app->m_accessMode, CCalcCmdBase::kAccessApplication);

  // Calculations stored since, in both stores, are in the next answer.
  WriteCalc("Area2\\Beta", {.params = {{.name = "Flow", .kind = 1, .server = "plant7", .tag = "FIC101"}}});
  WriteCalc("Valve", {.params = {{.name = "ReturnValue", .kind = 1, .server = "plant7", .tag = "FIC101"}}},
            "Apps/OnDemand");
  EXPECT_EQ(Find("plant7", "FIC101"),
            "<Calculation><References node=\"plant7\" tag=\"FIC101\">"
            "<ref tag=\"Area1\\Alpha\" type=\"Regular Calc\" info=\"parameter(s): Flow\" />"
            "<ref tag=\"Area2\\Beta\" type=\"Regular Calc\" info=\"parameter(s): Flow\" />"
            "<ref tag=\"Zeta\" type=\"Regular Calc\" info=\"parameter(s): In1, In2\" />"
            "<ref tag=\"Pump\" type=\"On-Demand Calc\" info=\"No additional info for on-demand calculations.\" />"
            "<ref tag=\"Valve\" type=\"On-Demand Calc\" info=\"No additional info for on-demand calculations.\" />"
            " </References> </Calculation>");
}

TEST_F(FindReferencesTest, NodeMatchesByNameFqdnOrAddress) {
  WriteCalc("A", {.params = {{.name = "p", .kind = 1, .server = "plant7", .tag = "T1"}}});
  WriteCalc("B", {.params = {{.name = "p", .kind = 1, .server = "nowhere", .tag = "T1"}}});
  const struct {
    const char* node;
    const char* refs;  // the calculations listed
  } cases[] = {
      {"PLANT7", "A"}, {"plant7.site.example", "A"}, {"10.1.2.4", "A"}, {"10.1.2.5", ""}, {"NOWHERE", "B"},
  };
  for (const auto& c : cases) {
    const std::string reply = Find(c.node, "T1");
    std::string listed;
    for (const char* name : {"A", "B"})
      if (reply.find(std::string("<ref tag=\"") + name + "\"") != std::string::npos) listed += name;
    EXPECT_EQ(listed, c.refs) << c.node;
  }
  // Each recorded name is resolved at most once per command, and only when its text does not match.
  resolver.asked.clear();
  Find("10.1.2.4", "T1");
  EXPECT_EQ(resolver.asked, (std::vector<std::string>{"plant7", "nowhere"}));
}

TEST_F(FindReferencesTest, RealResolverMatchesLocalhostByAddress) {
  env.env().system = &platform::RealSystemInfo();
  app = std::make_unique<ZrCalcAppCmdObject>(env.env());
  WriteCalc("A", {.params = {{.name = "p", .kind = 1, .server = "localhost", .tag = "T1"}}});
  EXPECT_NE(Find("127.0.0.1", "T1").find("<ref tag=\"A\""), std::string::npos);
}

TEST_F(FindReferencesTest, InsertedNamesAreEscaped) {
  WriteCalc("Q\"&A", {.params = {{.name = "a\"b", .kind = 1, .server = "plant7", .tag = "T<1>&"},
                                 {.name = "c&d", .kind = 1, .server = "plant7", .tag = "t<1>&"}}});
  const std::string reply = Find("plant7\"/><x", "T<1>&");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(reply.c_str())) << reply;
  pugi::xml_node refs = doc.child("Calculation").child("References");
  EXPECT_STREQ(refs.attribute("node").value(), "plant7\"/><x");
  EXPECT_STREQ(refs.attribute("tag").value(), "T<1>&");
  // The escaped node does not match, so nothing is listed; with the plain node the entry shows.
  EXPECT_FALSE(refs.child("ref"));
  doc.load_string(Find("plant7", "T<1>&").c_str());
  pugi::xml_node ref = doc.child("Calculation").child("References").child("ref");
  EXPECT_STREQ(ref.attribute("tag").value(), "Q\"&A");
  EXPECT_STREQ(ref.attribute("info").value(), "parameter(s): a\"b, c&d");
  EXPECT_FALSE(ref.next_sibling());
}

TEST_F(FindReferencesTest, OnDemandStoreIsMadeWhenMissing) {
  fs::remove_all(g_BasePath + "/Apps");
  WriteCalc("A", {.params = {{.name = "p", .kind = 1, .server = "plant7", .tag = "T1"}}});
  EXPECT_NE(Find("plant7", "T1").find("<ref tag=\"A\""), std::string::npos);
  for (const char* d : {"Calc", "Calc/Edit", "Lib", "Lib/Edit"}) EXPECT_TRUE(Exists(std::string("Apps/OnDemand/") + d)) << d;
}

}  // namespace
}  // namespace kv::testing
