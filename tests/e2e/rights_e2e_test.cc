// A client of uid 65534 holding no right, against a server run as root (whose own account holds
// every right): what it may not do is refused with its code and changes nothing anyone else
// sees, whatever path it takes (typed commands, late-bound calls on the objects it is handed, an
// application object); the server's own user is still served as before.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "e2e/server_process.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uid_t kNobody = 65534;
constexpr char kSetpriv[] = "/usr/bin/setpriv";
constexpr char kAsNobody[] = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
// An output parameter on the tag Plant1.Out.
constexpr char kOutParameter[] =
    "<Parameters><Parameter><Name>Out</Name><Direction>1</Direction><Kind>1</Kind><ServerName>Plant1</ServerName>"
    "<TagName>Out</TagName><Value type=\"0\"/></Parameter></Parameters>";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file under `root` with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadFile(e.path());
  return files;
}

class RightsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access(kSetpriv, X_OK) != 0 || !getpwuid(kNobody))
      GTEST_SKIP() << "needs root, setpriv and an account for uid 65534";
    // The other uid reaches the socket through the group of the server's folder and socket, as
    // the README describes for a group of clients.
    const fs::path dir = fs::path(server.Store()).parent_path();
    ASSERT_EQ(chown(dir.c_str(), 0, kNobody), 0);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    ASSERT_TRUE(server.Start());
    ASSERT_EQ(chown(server.Socket().c_str(), 0, kNobody), 0);
  }

  // kelvarin-cli on a batch of `lines`, as root or as uid 65534; what it printed.
  std::string Batch(const std::string& lines, bool nobody, const std::string& options = "") {
    const std::string file = server.DataDir() + ".batch";
    std::ofstream(file) << lines;
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    return testing::Shell(std::string(nobody ? kAsNobody : "") + KELVARIN_CLI + " --address " + server.Address() +
                          " " + options + " batch " + file + " 2>&1");
  }
  // The tag store, opened directly as the server's own user.
  std::string TagCli(const std::string& args) {
    return testing::Shell("MORVANE_CALC_BASE='" + server.Store() + "' KELVARIN_REGISTRY_DIR='" + server.RegistryDir() +
                          "' " + KELVARIN_CLI + " tag " + args + " 2>&1");
  }
  std::string OutTag() {
    const std::string got = TagCli("get Plant1 Out");
    return got.substr(0, got.find_first_of(" \t\n"));
  }
  // A python script run as uid 65534 through the python client; what it printed.
  std::string PythonAsNobody(const std::string& body) {
    if (testing::Shell("/usr/bin/python3 -c 'import dbus; print(1)' 2>/dev/null").find('1') == std::string::npos)
      return "python3-dbus is not installed";
    const std::string file = server.DataDir() + ".py";
    std::ofstream(file) << "import sys\nsys.path.insert(0, '" << KELVARIN_PYTHON_CLIENT << "')\n"
                        << "import kelvarin\nfrom kelvarin import KelvarinError\n"
                        << "conn = kelvarin.connect('" << server.Socket() << "', check=False)\n"
                        << "main = conn.create('Kelvarin.CalcCommands')\n"
                        << body;
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    return testing::Shell(std::string(kAsNobody) + "/usr/bin/python3 " + file + " 2>&1");
  }

  // A calculation A writing Plant1.Out, a calculation B whose script names the tag Plant1.Level
  // without a parameter for it yet, and a library L, all stored by the server's own user.
  void Prepare() {
    ASSERT_THAT(TagCli("set Plant1 Out 0"), Not(HasSubstr("error")));
    ASSERT_THAT(TagCli("set Plant1 Level 3"), Not(HasSubstr("error")));
    const std::string out = Batch(
        "a = CreateCalculationObject A \"\" \"\"\nSetObjectProperties @a Script \"Out = 1\"\n"
        "CreateCalcScriptParams @a Plant1 null null\nSaveCalculationObject @a\n"
        "b = CreateCalculationObject B \"\" \"\"\nSetObjectProperties @b Script \"Out = Level\"\n"
        "SaveCalculationObject @b\nl = CreateLibraryObject L HOST owner\nSaveLibraryObject @l\n",
        false);
    ASSERT_THAT(out, Not(HasSubstr("error"))) << out;
  }

  testing::ServerProcess server;
};

// Shared calculations and libraries change only with their rights, on every path, before the
// first change: a refused load, new parameters or moved servers leave what everyone reads (and
// what the next run executes) as it was.
TEST_F(RightsE2E, SharedObjectsDoNotChangeWithoutRights) {
  Prepare();
  const auto before = Snapshot(server.Store() + "/Calc");
  const std::string refused = Batch(
      "a = GetCalculationObject A\n"
      "LoadCalcXML '<Calculation version=\"1\"><Name>A</Name><CalcType>4</CalcType><Script>Out = 666</Script>"
      "</Calculation>' @a\nGetLastCommandError\n"
      "l = GetLibraryObject L\n"
      "LoadLibXML '<Library version=\"1\"><Name>L</Name><Description>taken</Description></Library>' @l\n"
      "GetLastCommandError\n"
      "ChangeServerName @a Plant1 0 Plant9 0 0\nGetLastCommandError\n"
      "b = GetCalculationObject B\nCreateCalcScriptParams @b Plant1 null null\nGetLastCommandError\n",
      true);
  for (const char* expected :
       {"</Calculation>' @a\n0\n> GetLastCommandError\nNot authorized", "ErrorCode: 192\n> l = ",
        "</Library>' @l\n0\n> GetLastCommandError\nNot authorized", "ErrorCode: 195\n> ChangeServerName",
        "ErrorCode: 192\n> b = ", "> CreateCalcScriptParams @b Plant1 null null\nFalse\n"})
    EXPECT_THAT(refused, HasSubstr(expected));
  EXPECT_THAT(refused, ::testing::EndsWith("ErrorCode: 192\n"));
  EXPECT_EQ(Snapshot(server.Store() + "/Calc"), before);

  // What everyone reads, and what runs, is what was stored.
  const std::string after = Batch("SaveCalcXML A\nSaveCalcXML B\nSaveLibXML L\nExecuteItem A null\n", false);
  EXPECT_THAT(after, HasSubstr("<Script>Out = 1</Script>"));
  EXPECT_THAT(after, Not(HasSubstr("Out = 666")));
  EXPECT_THAT(after, Not(HasSubstr("Plant9")));
  EXPECT_THAT(after, Not(HasSubstr("<Name>Level</Name>")));
  EXPECT_THAT(after, Not(HasSubstr("taken")));
  EXPECT_EQ(OutTag(), "1");

  // The server's own user still loads a shared calculation, and every client then reads the new
  // script.
  const std::string owner = Batch(
      "a = GetCalculationObject A\n"
      "LoadCalcXML '<Calculation version=\"1\"><Name>A</Name><CalcType>4</CalcType><Script>Out = 2</Script>" +
          std::string(kOutParameter) + "</Calculation>' @a\n"
      "SaveCalcXML A\nExecuteItem A null\n",
      false);
  EXPECT_THAT(owner, HasSubstr("</Calculation>' @a\n1\n"));
  EXPECT_THAT(owner, HasSubstr("<Script>Out = 2</Script>"));
  EXPECT_EQ(OutTag(), "2");
}

// Runs write tags and make groups run: they need the execution right on every object. The
// schedule and the server's run settings need the schedule right.
TEST_F(RightsE2E, RunsScheduleAndSettingsNeedRights) {
  Prepare();
  const std::string schedule = server.Store() + "/bin/Schedules.zrc";
  const std::string scheduleBefore = ReadFile(schedule);
  const auto registryBefore = Snapshot(server.RegistryDir());
  const std::string refused = Batch(
      "ExecuteXML '<Calculation version=\"1\"><Name>T</Name><CalcType>4</CalcType><Script>Out = 4242</Script>" +
          std::string(kOutParameter) + "</Calculation>'\n"
      "GetLastCommandError\n"
      "ExecuteCalculationXML '<Calculation><Name>A</Name></Calculation>'\nGetLastCommandError\n"
      "ExecuteItem A null\nGetLastCommandError\nExecuteItem FiveSec null\nGetLastCommandError\n"
      "SetComputedRunTime FiveSec 45000\nComputeNewRunTime FiveSec 0\n"
      "SetStoreAndForwardEnabled true\nGetLastCommandError\nSetOdmWorkSpace North\nGetLastCommandError\n",
      true);
  const std::string denied = "<ERROR>Not authorized to execute any calculation on this node.</ERROR>\n"
                             "> GetLastCommandError\nNot authorized to execute any calculation on this node.\n"
                             "ErrorCode: 194\n";
  EXPECT_THAT(refused, HasSubstr("</Calculation>'\n" + denied));
  EXPECT_THAT(refused, HasSubstr("ExecuteCalculationXML '<Calculation><Name>A</Name></Calculation>'\n" + denied));
  // ExecuteItem reports a refusal through its status alone.
  EXPECT_THAT(refused, HasSubstr("> ExecuteItem A null\n-4\n> GetLastCommandError\nErrorCode: 0\n"));
  EXPECT_THAT(refused, HasSubstr("> ExecuteItem FiveSec null\n-4\n> GetLastCommandError\nErrorCode: 0\n"));
  EXPECT_THAT(refused, HasSubstr("> SetComputedRunTime FiveSec 45000\nFalse\nerror 197"));
  EXPECT_THAT(refused, HasSubstr("> ComputeNewRunTime FiveSec 0\nFalse\n"));
  EXPECT_THAT(refused, HasSubstr("NewRunTime: 1899-12-30 00:00:00\nerror 197"));
  EXPECT_THAT(refused, HasSubstr("> SetStoreAndForwardEnabled true\n> GetLastCommandError\nNot authorized"));
  EXPECT_THAT(refused, ::testing::EndsWith("> SetOdmWorkSpace North\n> GetLastCommandError\nNot authorized to create, "
                                          "modify, delete, copy or rename of schedule groups, to schedule and "
                                          "de-schedule of calculations on this node.\nErrorCode: 197\n"));
  EXPECT_THAT(refused, HasSubstr("\nErrorCode: 197\n> SetOdmWorkSpace"));
  EXPECT_EQ(OutTag(), "0");
  EXPECT_EQ(ReadFile(schedule), scheduleBefore);
  EXPECT_EQ(Snapshot(server.RegistryDir()), registryBefore);

  // An application object runs nothing of the main store either, also after FindReferences
  // left it on its own directory with checks off; a client's own calculation does not run
  // late-bound; and the schedule it is handed refuses a late-bound Remove, leaving the group.
  const std::string late = PythonAsNobody(
      "a = main.GetCalculationObject('A')\n"
      "app = conn.create('Kelvarin.CalcAppCommands')\n"
      "app.FindReferences('Plant1', 'Out')\n"
      "print('CalcExecute', app.CalcExecute(a), app.last_error()[0])\n"
      "t = main.CreateTemporaryCalc('Out = 4242')\n"
      "main.CreateCalcScriptParams(t, 'Plant1', None, None)\n"
      "try:\n    t.invoke('Calculate')\n    print('Calculate done')\n"
      "except KelvarinError as e:\n    print('Calculate', e.name)\n"
      "s = main.GetScheduleObject()\n"
      "try:\n    s.invoke('Remove', 'FiveSec')\n    print('Remove done')\n"
      "except KelvarinError as e:\n    print('Remove', e.name)\n");
  if (late == "python3-dbus is not installed") GTEST_SKIP() << late;
  EXPECT_EQ(late, "CalcExecute False 194\nCalculate E_ACCESSDENIED\nRemove E_ACCESSDENIED\n");
  EXPECT_EQ(OutTag(), "0");
  EXPECT_THAT(Batch("GetScheduleGroupList\n", false), HasSubstr("FiveSec"));
  EXPECT_EQ(ReadFile(schedule), scheduleBefore);

  // The server's own user is served as before.
  const std::string owner = Batch("ExecuteItem A null\nSetStoreAndForwardEnabled true\nGetStoreAndForwardEnabled\n", false);
  EXPECT_THAT(owner, HasSubstr("> ExecuteItem A null\n1\n"));
  EXPECT_THAT(owner, HasSubstr("> GetStoreAndForwardEnabled\nTrue\n"));
  EXPECT_EQ(OutTag(), "1");
}

// FindReferences with nothing to look for answers the bare reply and still leaves the object on
// the "OnDemand" application directory, whose folders it makes.
TEST_F(RightsE2E, FindReferencesWithAnEmptyTagStillMovesTheObject) {
  fs::create_directories(server.Store() + "/Apps/P1");
  const std::string out = Batch(
      "FindReferences Plant1 \"\"\nc = CreateCalculationObject X \"\" \"\"\nSaveCalculationObject @c\n", false,
      "--app P1");
  EXPECT_THAT(out, HasSubstr("<Calculation><References node=\"Plant1\" tag=\"\"> </References> </Calculation>"));
  for (const char* dir : {"Calc", "Calc/Edit", "Lib", "Lib/Edit"})
    EXPECT_TRUE(fs::is_directory(server.Store() + "/Apps/OnDemand/" + dir)) << dir;
  EXPECT_TRUE(fs::exists(server.Store() + "/Apps/OnDemand/Calc/X.zrc")) << out;
  EXPECT_FALSE(fs::exists(server.Store() + "/Apps/P1/Calc/X.zrc"));
}

}  // namespace
}  // namespace kv
