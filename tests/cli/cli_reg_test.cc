#include "cli/cli_reg.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "cli/cli_options.h"
#include "support/temp_dir.h"

namespace kv::cli {
namespace {

class CliRegTest : public ::testing::Test {
 protected:
  int Reg(std::vector<std::string> args) { return Reg(store, std::move(args)); }
  int Reg(platform::RegistryStore& s, std::vector<std::string> args) {
    out.str("");
    err.str("");
    return RunReg(args, s, out, err);
  }
  std::string FileText(const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  testing::TempDir dir;
  platform::RegistryStore store{dir / "system.reg", dir / "user.reg"};
  std::ostringstream out, err;
};

TEST_F(CliRegTest, SetThenGetEachType) {
  const std::string key = "HKLM\\SOFTWARE\\Quorlith\\Morvane Calc\\Logging\\Kelvarin";
  struct Case {
    std::vector<std::string> set;  // after "set KEY"
    std::string name, get;
  };
  const Case cases[] = {
      {{"Methods", "ON"}, "Methods", "ON\n"},
      {{"Path", "%HOME%\\x", "--type", "expand"}, "Path", "%HOME%\\x\n"},
      {{"LogSize", "4", "--type=dword"}, "LogSize", "4 (0x00000004)\n"},
      {{"--type", "dword", "Max", "0xffffffff"}, "Max", "4294967295 (0xffffffff)\n"},
      {{"Blob", "01,02,FF", "--type", "binary"}, "Blob", "01,02,ff\n"},
      {{"Packed", "0a0b", "--type", "binary"}, "Packed", "0a,0b\n"},
      {{"", "default", "--type", "string"}, "", "default\n"},  // the key's default value
      {{"Methods", "OFF"}, "Methods", "OFF\n"},                // replaced, not added
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"set", key};
    args.insert(args.end(), c.set.begin(), c.set.end());
    SCOPED_TRACE(c.name + "=" + c.set[1]);
    ASSERT_EQ(Reg(args), kExitOk) << err.str();
    EXPECT_EQ(Reg({"get", key, c.name}), kExitOk) << err.str();
    EXPECT_EQ(out.str(), c.get);
  }
  // Root spellings and case of the key do not matter; the hive does.
  EXPECT_EQ(Reg({"get", "hkey_local_machine\\software\\quorlith\\morvane calc\\logging\\kelvarin", "LogSize"}), kExitOk);
  EXPECT_EQ(Reg({"get", "HKCU\\SOFTWARE\\Quorlith\\Morvane Calc\\Logging\\Kelvarin", "LogSize"}), kExitFailure);
  EXPECT_EQ(FileText(dir / "user.reg"), "");

  EXPECT_EQ(Reg({"list", "HKLM\\SOFTWARE\\Quorlith\\Morvane Calc"}), kExitOk);
  EXPECT_EQ(out.str(), "Logging\\\n");
  EXPECT_EQ(Reg({"list", key}), kExitOk);
  EXPECT_EQ(out.str(),
            "Methods (string) = OFF\nPath (expand) = %HOME%\\x\nLogSize (dword) = 4 (0x00000004)\n"
            "Max (dword) = 4294967295 (0xffffffff)\nBlob (binary) = 01,02,ff\nPacked (binary) = 0a,0b\n"
            "@ (string) = default\n");

  EXPECT_EQ(Reg({"delete", key, "Methods"}), kExitOk);
  EXPECT_EQ(Reg({"get", key, "Methods"}), kExitFailure);
  EXPECT_EQ(err.str(), "kelvarin-cli reg: " + key + " Methods: not found\n");
  EXPECT_EQ(Reg({"delete", key, "Methods"}), kExitFailure);
  EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Quorlith"}), kExitOk);
  EXPECT_EQ(Reg({"list", key}), kExitFailure);
}

TEST_F(CliRegTest, BadWordsAreRefusedBeforeAnyWrite) {
  const std::vector<std::string> cases[] = {
      {},
      {"put", "HKLM\\A", "x", "1"},
      {"get"},
      {"set", "HKLM\\A", "x"},
      {"list", "HKLM\\A", "x"},
      {"set", "HKXX\\A", "x", "1"},
      {"set", "SOFTWARE\\A", "x", "1"},
      {"set", "HKLMX\\A", "x", "1"},
      {"set", "HKLM\\A", "x", "4294967296", "--type", "dword"},
      {"set", "HKLM\\A", "x", "-1", "--type", "dword"},
      {"set", "HKLM\\A", "x", "0x", "--type", "dword"},
      {"set", "HKLM\\A", "x", "012", "--type", "binary"},
      {"set", "HKLM\\A", "x", "zz", "--type", "binary"},
      {"set", "HKLM\\A", "x", "1", "--type", "qword"},
      {"set", "HKLM\\A", "x", "1", "--type"},
      {"get", "HKLM\\A", "x", "--type", "dword"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    EXPECT_EQ(Reg(args), kExitUsage);
    EXPECT_NE(err.str().find("kelvarin-cli reg: "), std::string::npos);
  }
  EXPECT_EQ(FileText(dir / "system.reg"), "") << "nothing was written";
}

// Two writers with stores of their own, as two kelvarin-cli processes (or the server and one)
// would have: the file lock keeps every value.
TEST_F(CliRegTest, ConcurrentWritersLoseNothing) {
  const std::string key = "HKLM\\SOFTWARE\\Kelvarin\\Test";
  constexpr int kEach = 40;
  auto writer = [&](std::string prefix, int* failures) {
    platform::RegistryStore own(dir / "system.reg", dir / "user.reg");
    std::ostringstream o, e;
    for (int i = 0; i < kEach; ++i)
      if (RunReg({"set", key, prefix + std::to_string(i), std::to_string(i), "--type", "dword"}, own, o, e) != kExitOk)
        ++*failures;
  };
  int failuresA = 0, failuresB = 0;
  std::thread a(writer, "a", &failuresA), b(writer, "b", &failuresB);
  a.join();
  b.join();
  EXPECT_EQ(failuresA + failuresB, 0);

  platform::RegistryStore fresh(dir / "system.reg", dir / "user.reg");
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kEach; ++i) {
      std::string name = prefix + std::to_string(i);
      ASSERT_EQ(Reg(fresh, {"get", key, name}), kExitOk) << name << " was lost";
      EXPECT_EQ(out.str().substr(0, out.str().find(' ')), std::to_string(i)) << name;
    }
  }
}

}  // namespace
}  // namespace kv::cli
