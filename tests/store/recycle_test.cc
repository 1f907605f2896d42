// Recycle keeps a bounded number of copies per name and finds its next number without listing
// the directory.
#include <gmock/gmock.h>

#include "platform/file_system.h"
#include "store/lifecycle_fixture.h"
#include "support/test_env.h"
#include "store/store_commands.h"

namespace kv::testing {
namespace {

class RecycleTest : public LifecycleFixture {
 protected:
  void TearDown() override {
    g_RecycleCopies = config::kDefaultRecycleCopies;
    LifecycleFixture::TearDown();
  }
  // Saves the held calculation `name` with a new script, `times` times.
  void SaveAgain(const std::string& name, int times) {
    ComPtr<IDispatch> calc = store::GetCalculationObject(*cmd, B(name));
    ASSERT_TRUE(calc);
    for (int i = 0; i < times; ++i) {
      Put(calc.Get(), "Script", Variant::Str("v" + std::to_string(++version_)));
      ASSERT_TRUE(store::SaveCalculationObject(*cmd, calc.Get())) << Code();
    }
  }
  std::string RecycledScript(const std::string& rel) {
    ComPtr<IDispatch> copy;
    if (com::FAILED(g_pEnvironment->LoadCalculationFile(B(g_BasePath + "/" + rel), B("x"), &copy))) return "<none>";
    return Text(copy.Get(), "Script");
  }
  int version_ = 0;
};

std::vector<std::string> Copies(const std::string& leaf, int from, int to) {
  std::vector<std::string> names;
  for (int n = from; n <= to; ++n) names.push_back(n == 0 ? leaf + ".zrc" : leaf + "." + std::to_string(n) + ".zrc");
  names.push_back(leaf + ".zrc.last");
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(RecycleTest, TheEleventhSaveRemovesTheOldestCopy) {
  StoreCalculation("Flow1", "v0");
  SaveAgain("Flow1", 10);
  EXPECT_EQ(Entries("Calc/Recycle"), Copies("Flow1", 0, 9));
  EXPECT_EQ(RecycledScript("Calc/Recycle/Flow1.zrc"), "v0");

  SaveAgain("Flow1", 1);
  EXPECT_EQ(Entries("Calc/Recycle"), Copies("Flow1", 1, 10));
  EXPECT_EQ(RecycledScript("Calc/Recycle/Flow1.10.zrc"), "v10");
  EXPECT_EQ(StoredScript("Flow1"), "v11");

  // A deletion keeps its copy under the same cap.
  ASSERT_TRUE(store::DeleteCalculationObject(*cmd, B("Flow1"), B(""), B(""))) << Code();
  EXPECT_EQ(Entries("Calc/Recycle"), Copies("Flow1", 2, 11));
  EXPECT_EQ(RecycledScript("Calc/Recycle/Flow1.11.zrc"), "v11");
}

TEST_F(RecycleTest, TheCapComesFromConfigurationAndLowersOldStores) {
  g_RecycleCopies = 3;
  StoreCalculation("Flow1", "v0");
  SaveAgain("Flow1", 5);
  EXPECT_EQ(Entries("Calc/Recycle"), Copies("Flow1", 2, 4));

  // A store from before the counter file: 15 copies, no counter. The next save lists the
  // directory once and keeps the newest three.
  fs::remove(g_BasePath + "/Calc/Recycle/Flow1.zrc.last");
  for (int n = 0; n <= 14; ++n)
    std::ofstream(g_BasePath + "/Calc/Recycle/" + (n == 0 ? std::string("Flow1.zrc") : "Flow1." + std::to_string(n) + ".zrc"))
        << "old";
  SaveAgain("Flow1", 1);
  EXPECT_EQ(Entries("Calc/Recycle"), Copies("Flow1", 13, 15));
}

TEST_F(RecycleTest, NothingToKeepMakesNoDirectory) {
  fs::create_directories(g_BasePath + "/Calc/Area3");
  fs::create_directories(g_BasePath + "/Calc/Edit/Area3");
  StoreCalculation("Area3\\Pump", "v0");
  StoreCalculation("Flow1", "v0");
  EXPECT_FALSE(Exists("Calc/Recycle"));
  SaveAgain("Area3\\Pump", 1);
  EXPECT_EQ(Entries("Calc/Recycle/Area3"), Copies("Pump", 0, 0));
}

// Counts directory listings below Recycle.
class CountingFs : public platform::FileSystemWrapper {
 public:
  CountingFs() : FileSystemWrapper(platform::RealFileSystem()) {}
  std::vector<platform::FindEntry> Find(std::string_view pattern) override {
    if (pattern.find("Recycle") != std::string_view::npos) ++recycleListings;
    return FileSystemWrapper::Find(pattern);
  }
  int recycleListings = 0;
};

TEST_F(RecycleTest, ASaveDoesNotListTheRecycleDirectory) {
  fs::create_directories(g_BasePath + "/Calc/Recycle");
  for (int i = 0; i < 10000; ++i) std::ofstream(g_BasePath + "/Calc/Recycle/Other" + std::to_string(i) + ".zrc");
  StoreCalculation("Flow1", "v0");
  SaveAgain("Flow1", 1);

  CountingFs counting;
  {
    TestEnv countingEnv("UTC0", 1765324800000, counting);
    cmd = std::make_unique<ZrCalcCmdObject>();
    SaveAgain("Flow1", 3);
    ASSERT_TRUE(store::DeleteCalculationObject(*cmd, B("Flow1"), B(""), B(""))) << Code();
    cmd.reset();
  }
  EXPECT_EQ(counting.recycleListings, 0);
  EXPECT_TRUE(Exists("Calc/Recycle/Flow1.4.zrc"));
}

// A file system without hard links (a link answers kEINVAL).
class NoLinksFs : public platform::FileSystemWrapper {
 public:
  NoLinksFs() : FileSystemWrapper(platform::RealFileSystem()) {}
  int LinkFile(std::string_view, std::string_view) override {
    ++refused;
    return platform::crt::kEINVAL;
  }
  int refused = 0;
};

TEST_F(RecycleTest, WithoutLinksTheStoredFileIsCopied) {
  StoreCalculation("Flow1", "v0");
  NoLinksFs noLinks;
  {
    TestEnv env("UTC0", 1765324800000, noLinks);
    cmd = std::make_unique<ZrCalcCmdObject>();
    SaveAgain("Flow1", 2);
    cmd.reset();
  }
  cmd = std::make_unique<ZrCalcCmdObject>();
  EXPECT_GT(noLinks.refused, 0);
  EXPECT_EQ(Entries("Calc/Recycle"), Copies("Flow1", 0, 1));
  EXPECT_EQ(RecycledScript("Calc/Recycle/Flow1.zrc"), "v0");
  EXPECT_EQ(RecycledScript("Calc/Recycle/Flow1.1.zrc"), "v1");
  EXPECT_EQ(StoredScript("Flow1"), "v2");
}

}  // namespace
}  // namespace kv::testing
