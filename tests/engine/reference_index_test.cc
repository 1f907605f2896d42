#include "engine/reference_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/calculation.h"
#include "engine/library.h"
#include "platform/folder_watch.h"
#include "engine_test_util.h"

namespace kv::engine {
namespace {

using components::SummaryPtr;
using testing::ScratchDir;

std::string CalcFile(const std::string& name, const std::string& script, const std::string& calcRef = "") {
  std::string params;
  if (!calcRef.empty())
    params = "<Parameter><Name>in</Name><Kind>2</Kind><CalcName>" + calcRef + "</CalcName><Value type=\"0\"/></Parameter>";
  return "<Calculation version=\"1\"><Name>" + name + "</Name><Script>" + script + "</Script><Parameters>" + params +
         "</Parameters></Calculation>";
}

class ReferenceIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("Calc");
    dir_.MakeDir("Lib");
    platform_.clock = &clock_;
  }
  std::vector<SummaryPtr> Ask(const std::vector<std::string>& names) {
    std::vector<SummaryPtr> out;
    EXPECT_EQ(index_->CalculationSummaries(dir_.Path(), names, &out), com::S_OK);
    return out;
  }
  int64_t MtimeMs(const std::string& rel) {
    struct stat st;
    EXPECT_EQ(::stat(platform::ToFsPath(dir_.W(rel)).c_str(), &st), 0);
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  }

  ScratchDir dir_;
  platform::FixedClock clock_{0};
  platform::Env platform_ = platform::Env::Current();
  testing::ScopedServerObjects objects_{platform_};
  com::ComPtr<ZrReferenceIndex> index_ = com::MakeCom<ZrReferenceIndex>();
};

TEST_F(ReferenceIndexTest, ReadsAFileAgainOnlyWhenItChanges) {
  dir_.Write("Calc\\A.zrc", CalcFile("A", "Out = Stats.Mean(x)", "Flow1"));
  dir_.Write("Calc\\B.zrc", CalcFile("B", "Out = 1"));
  dir_.Write("Calc\\Bad.zrc", "<Library version=\"1\"><Name>Bad</Name></Library>");
  clock_.Set(MtimeMs("Calc\\A.zrc") + 10 * 1000);

  auto first = Ask({"A", "B", "Bad", "Missing"});
  ASSERT_TRUE(first[0] && first[1]);
  EXPECT_FALSE(first[2]);  // not a calculation
  EXPECT_FALSE(first[3]);
  EXPECT_TRUE(first[0]->RefersToCalculation("Flow1"));
  EXPECT_TRUE(first[0]->RefersToFormula("Stats", "Mean"));
  EXPECT_TRUE(first[0]->RefersToFormula("Stats", ""));
  const uint64_t cold = index_->FilesRead();
  EXPECT_EQ(cold, 4u);

  auto warm = Ask({"A", "B", "Bad", "Missing"});
  EXPECT_EQ(warm[0], first[0]);  // the same summary, not read again
  EXPECT_EQ(index_->FilesRead(), cold + 1);  // only the missing file is looked for again

  dir_.Write("Calc\\A.zrc", CalcFile("A", "Out = Stats.Max(x)"));
  auto after = Ask({"A", "B"});
  EXPECT_EQ(index_->FilesRead(), cold + 2);
  EXPECT_FALSE(after[0]->RefersToFormula("Stats", "Mean"));
  EXPECT_TRUE(after[0]->RefersToFormula("Stats", "Max"));

  // "Bad" was not asked for: its entry went, so the next question reads it again.
  Ask({"Bad"});
  EXPECT_EQ(index_->FilesRead(), cold + 3);
}

TEST_F(ReferenceIndexTest, AFileModifiedWithinTheClockTickIsNotTrusted) {
  index_ = com::MakeCom<ZrReferenceIndex>(nullptr);  // no watch: every file is checked by stamp
  dir_.Write("Calc\\A.zrc", CalcFile("A", "Out = Stats.Mean(x)"));
  clock_.Set(MtimeMs("Calc\\A.zrc") + ZrReferenceIndex::kRacyWindowMs / 2);
  Ask({"A"});
  Ask({"A"});
  EXPECT_EQ(index_->FilesRead(), 2u);
  clock_.Advance(ZrReferenceIndex::kRacyWindowMs * 2);
  Ask({"A"});  // read once more, now old enough to trust
  Ask({"A"});
  EXPECT_EQ(index_->FilesRead(), 3u);
}

TEST_F(ReferenceIndexTest, LibrariesGiveEachFormulaInOrder) {
  dir_.Write("Lib\\Util.zrc",
             "<Library version=\"1\"><Name>Util</Name><Formulas>" + CalcFile("Zed", "return Stats.Mean(a)") +
                 CalcFile("Avg", "return a") + "</Formulas></Library>");
  std::vector<components::LibrarySummaryPtr> libs;
  ASSERT_EQ(index_->LibrarySummaries(dir_.Path(), {"Util"}, &libs), com::S_OK);
  ASSERT_TRUE(libs[0]);
  ASSERT_EQ(libs[0]->formulas.size(), 2u);
  EXPECT_EQ(libs[0]->formulas[0].first, "Zed");
  EXPECT_TRUE(libs[0]->formulas[0].second.RefersToFormula("Stats", "Mean"));
  EXPECT_EQ(libs[0]->formulas[1].first, "Avg");
}

TEST_F(ReferenceIndexTest, ObjectsSavedByTheEngineAreRead) {
  auto calc = com::MakeCom<ZrCalculation>();
  calc->SetName(com::Bstr::FromUtf8("Saved"));
  calc->SetScript("Out = Stats.Mean(a)");
  calc->SetLibraries({"Units"});
  ParameterFields tag{.name = "In1", .kind = components::kParamTag, .serverName = "plant7", .tagName = "FIC101"};
  ParameterFields other{.name = "In2", .kind = components::kParamCalculation, .calcName = "Flow1"};
  ASSERT_TRUE(calc->AddParameter(tag, com::Variant::R8(1)));
  ASSERT_TRUE(calc->AddParameter(other, com::Variant()));
  ASSERT_EQ(calc->SaveFile(dir_.W("Calc\\Saved.zrc")), com::S_OK);
  auto s = Ask({"Saved"});
  ASSERT_TRUE(s[0]);
  EXPECT_TRUE(s[0]->RefersToFormula("Stats", "Mean"));
  EXPECT_TRUE(s[0]->RefersToFormula("Units", ""));
  EXPECT_TRUE(s[0]->RefersToCalculation("Flow1"));
  ASSERT_EQ(s[0]->tags.size(), 1u);
  EXPECT_EQ(s[0]->tags[0].parameter, "In1");
  EXPECT_EQ(s[0]->tags[0].server, "plant7");
  EXPECT_EQ(s[0]->tags[0].tag, "FIC101");
}

// With a watch, files are looked at (stamp or read) only where an event or a doubt says so.
class WatchedIndexTest : public ReferenceIndexTest {
 protected:
  void SetUp() override {
    ReferenceIndexTest::SetUp();
    dir_.MakeDir("Calc\\Area1");
    dir_.MakeDir("Calc\\Area2");
    for (const char* name : {"A", "Area1\\B", "Area2\\C"}) dir_.Write(std::string("Calc\\") + name + ".zrc", CalcFile("X", "Out = 1"));
    clock_.Set(MtimeMs("Calc\\A.zrc") + 10 * 1000);
    auto watch = std::make_unique<platform::ManualFolderWatch>();
    watch_ = watch.get();
    index_ = com::MakeCom<ZrReferenceIndex>(std::move(watch));
  }
  // Files looked at by one question over the store.
  uint64_t Looked() {
    const uint64_t before = index_->FilesRead() + index_->StampsChecked();
    auto s = Ask(names_);
    for (const auto& summary : s) EXPECT_TRUE(summary);
    return index_->FilesRead() + index_->StampsChecked() - before;
  }

 public:  // for the cases' lambdas
  using ReferenceIndexTest::dir_;
  std::string Fs(const std::string& rel) { return platform::ToFsPath(dir_.W(rel)); }

  const std::vector<std::string> names_{"A", "Area1\\B", "Area2\\C"};
  platform::ManualFolderWatch* watch_ = nullptr;
};

TEST_F(WatchedIndexTest, LooksOnlyWhereSomethingHappened) {
  struct Case {
    const char* what;
    std::function<void(WatchedIndexTest&)> happen;
    uint64_t looked;
  };
  const Case cases[] = {
      {"nothing", [](auto&) {}, 0},
      {"a file in a subfolder", [](auto& t) { t.watch_->Post(t.dir_.W("Calc\\Area1"), "B.zrc"); }, 1},
      {"a file at the top", [](auto& t) { t.watch_->Post(t.dir_.W("Calc"), "A.zrc"); }, 1},
      {"a subfolder renamed", [](auto& t) { t.watch_->Post(t.dir_.W("Calc"), "Area1", true); }, 2},
      {"a subfolder went", [](auto& t) { t.watch_->PostSelf(t.dir_.W("Calc\\Area2")); }, 1},
      {"the top went", [](auto& t) { t.watch_->PostSelf(t.dir_.W("Calc")); }, 3},
      {"events lost", [](auto& t) { t.watch_->Overflow(); }, 3},
      // A folder above the store moved away and another put in its place: no event reaches
      // the watches, the top's path now names another folder.
      {"the store replaced", [](auto& t) {
         ASSERT_EQ(std::rename(t.Fs("Calc").c_str(), t.Fs("Old").c_str()), 0);
         std::filesystem::copy(t.Fs("Old"), t.Fs("Calc"), std::filesystem::copy_options::recursive);
       }, 6},  // each checked, then read: they are other files
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    EXPECT_EQ(Looked(), 3u);  // cold
    EXPECT_EQ(Looked(), 0u);  // nothing happened
    c.happen(*this);
    EXPECT_EQ(Looked(), c.looked);
    EXPECT_EQ(Looked(), 0u);  // trusted again once looked at
    std::filesystem::remove_all(Fs("Old"));
  }
}

TEST_F(WatchedIndexTest, WithoutAWatchEveryFileIsLookedAt) {
  watch_->refuse = true;  // the watch limit reached
  EXPECT_EQ(Looked(), 3u);
  EXPECT_EQ(Looked(), 3u);
  watch_->refuse = false;
  EXPECT_EQ(Looked(), 3u);
  EXPECT_EQ(Looked(), 0u);
}

TEST_F(WatchedIndexTest, AFileWithAnotherNameIsLookedAtEveryTime) {
  // Written through its other name, it changes with no event in the store's folders.
  dir_.MakeDir("Other");
  ASSERT_EQ(::link(Fs("Calc\\A.zrc").c_str(), Fs("Other\\A.zrc").c_str()), 0);
  EXPECT_EQ(Looked(), 3u);
  EXPECT_EQ(Looked(), 1u);
  EXPECT_EQ(Looked(), 1u);
}

TEST_F(WatchedIndexTest, NamesAreScannedAgainOnlyAfterAChange) {
  int scans = 0;
  auto scan = [&](platform::FileSystem& fs) {
    ++scans;
    std::vector<std::string> out;
    for (const char* folder : {"Calc\\*", "Calc\\Area1\\*"})
      for (const auto& e : fs.Find(dir_.W(folder))) out.push_back(e.name);
    return out;
  };
  auto names = [&] {
    std::vector<std::string> out;
    EXPECT_EQ(index_->StoreNames("calc", scan, &out), com::S_OK);
    return out;
  };
  const auto first = names();
  EXPECT_EQ(names(), first);
  EXPECT_EQ(scans, 1);
  watch_->Post(dir_.W("Calc\\Area2"), "C.zrc");  // a folder the scan did not read
  names();
  EXPECT_EQ(scans, 1);
  watch_->Post(dir_.W("Calc\\Area1"), "D.zrc");
  names();
  EXPECT_EQ(scans, 2);
  ASSERT_EQ(std::rename(Fs("Calc").c_str(), Fs("Old").c_str()), 0);  // no event reaches the watches
  std::filesystem::create_directories(Fs("Calc\\Area1"));
  EXPECT_NE(names(), first);
  EXPECT_EQ(scans, 3);
  watch_->refuse = true;
  watch_->Overflow();
  names();
  names();
  EXPECT_EQ(scans, 5);
}

}  // namespace
}  // namespace kv::engine
