// XML exchange and object strings through the running server, from a Python client written
// against the D-Bus interface alone, and from kelvarin-cli.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "server_process.h"

namespace kv {
namespace {

TEST(ExchangeE2E, ExportRunPrivatelyAndCopyThroughAnObjectString) {
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start());
  if (testing::Shell("/usr/bin/python3 -c 'import dbus; print(1)' 2>/dev/null").find('1') == std::string::npos)
    GTEST_SKIP() << "python3-dbus is not installed";
  const std::string script =
      "import dbus, re\n"
      "c = dbus.connection.Connection('" + server.Address() + "')\n"
      "f = c.get_object('com.quorlith.Kelvarin', '/com/quorlith/Kelvarin')\n"
      "p = f.CreateInstance('Kelvarin.CalcCommands', dbus_interface='com.quorlith.Kelvarin.ClassFactory')\n"
      "o = dbus.Interface(c.get_object('com.quorlith.Kelvarin', p), 'com.quorlith.Kelvarin.ICalcCommands')\n"
      "calc = o.CreateCalculationObject('Flow1', 'HOST', 'op')\n"
      "o.SetObjectProperties(calc, (8, 'Script'), (8, 'Total = 1'))\n"
      "print('saved', bool(o.SaveCalculationObject(calc)))\n"
      "a = o.SaveCalcXML('Flow1')\n"
      "edited = a.replace('Total = 1', 'Total = 2')\n"
      "r = o.ExecuteCalculationXML(edited)\n"
      "print('ran', r.startswith('<Calculation') and 'Total = 2' not in r)\n"
      "print('stored unchanged', o.SaveCalcXML('Flow1') == a)\n"
      "s = o.ObjecttoBSTR(o.GetCalculationObject('Flow1'))\n"
      "copy = o.BSTRtoObject(s)\n"
      "print('copied', bool(o.SaveCalculationObjectAs(copy, 'Flow2', False)))\n"
      "strip = lambda t: re.sub(r'<SaveTime>[^<]*</SaveTime>', '', t)\n"
      "print('identical', strip(o.SaveCalcXML('Flow2')) == strip(a))\n"
      "print(o.ExecuteCalculationXML('<Calculation><Name>NoSuch</Name></Calculation>'))\n";
  std::ofstream(server.DataDir() + ".py") << script;
  const std::string out = testing::Shell("/usr/bin/python3 " + server.DataDir() + ".py 2>&1");
  EXPECT_EQ(out,
            "saved True\nran True\nstored unchanged True\ncopied True\nidentical True\n"
            "<ERROR>Failed to load calculation</ERROR>\n");

  // The command-line client: settings and a parse-error reply; the server keeps serving.
  const std::string batch = server.DataDir() + ".batch";
  std::ofstream(batch) << "SetOdmWorkSpace North\nGetOdmWorkSpace\nSetStoreAndForwardEnabled True\n"
                          "GetStoreAndForwardEnabled\nExecuteXML \"<Calculation\"\nCalcCommandVersion\n";
  const std::string cli = testing::Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " batch " + batch + " 2>&1");
  for (const char* expected :
       {"> GetOdmWorkSpace\nNorth\n", "> GetStoreAndForwardEnabled\nTrue\n",
        "<ERROR Line=\"1\" Pos=\"1\">Failed to load calculation XML: unclosed token</ERROR>",
        "> CalcCommandVersion\nv7.3\n"})
    EXPECT_NE(cli.find(expected), std::string::npos) << expected << "\nin:\n" << cli;

  // An object string kept in a batch goes back to the server byte for byte: the copy saved under
  // a new name exports as the original did.
  std::ofstream(batch) << "before = SaveCalcXML Flow2\ng = GetCalculationObject Flow2\ns = ObjecttoBSTR @g\n"
                          "copy = BSTRtoObject @s\nSaveCalculationObjectAs @copy Flow3 false\nSaveCalcXML Flow3\n";
  const std::string copied =
      testing::Shell(std::string(KELVARIN_CLI) + " --address " + server.Address() + " batch " + batch + " 2>&1");
  auto exported = [&](const std::string& line) {
    size_t from = copied.find("> " + line + "\n");
    if (from == std::string::npos) return std::string("missing");
    from += line.size() + 3;
    std::string text = copied.substr(from, copied.find("\n> ", from) - from);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t a = text.find("<SaveTime>"), b = text.find("</SaveTime>");
    return a == std::string::npos || b == std::string::npos ? text : text.erase(a, b - a);
  };
  EXPECT_NE(copied.find("> SaveCalculationObjectAs @copy Flow3 false\nTrue\n"), std::string::npos) << copied;
  EXPECT_NE(exported("before = SaveCalcXML Flow2").find("<Script>Total = 1</Script>"), std::string::npos) << copied;
  EXPECT_EQ(exported("SaveCalcXML Flow3"), exported("before = SaveCalcXML Flow2"));
}

}  // namespace
}  // namespace kv
